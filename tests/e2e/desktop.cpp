#include "desktop.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace qax::e2e {

namespace {

constexpr int kStartTimeoutMs = 20000;
constexpr auto kToolTimeout = std::chrono::seconds(15);
// A clipboard request is answered only when the owner processes its events,
// which may wait for an operation's next progress mark.
constexpr auto kClipboardTimeout = std::chrono::seconds(30);
constexpr auto kScreenshotTimeout = std::chrono::seconds(20);
// Longer than the toolkit's double-click interval (400 ms unless the desktop
// sets another), and farther than its double-click distance.
constexpr auto kDoubleClickInterval = std::chrono::milliseconds(600);
constexpr int kDoubleClickDistance = 8;
constexpr const char* kKeyDelayMs = "30";
constexpr const char* kTypeDelayMs = "15";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

QString ToQString(const std::string& text) {
    return QString::fromStdString(text);
}

// A QProcess whose child dies with the test program. The child checks that
// its parent is still the test program once the signal is armed: had the
// test program gone between the fork and the prctl, nothing would kill it.
std::unique_ptr<QProcess> NewProcess(const QProcessEnvironment& environment) {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->setStandardInputFile(QProcess::nullDevice());
    const pid_t testProgram = ::getpid();
    process->setChildProcessModifier([testProgram] {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != testProgram) ::_exit(127);
    });
    return process;
}

void Start(QProcess& process, const QStringList& argv) {
    if (argv.isEmpty()) throw E2eFailure("no program to start");
    process.start(argv.front(), argv.mid(1));
    if (!process.waitForStarted(kStartTimeoutMs))
        throw E2eFailure("cannot start " + argv.front().toStdString() + ": " + process.errorString().toStdString());
}

}  // namespace

bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
}

void WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout, const std::string& what,
               std::chrono::milliseconds interval) {
    if (!PollUntil(condition, timeout, interval))
        throw E2eFailure("timed out after " + std::to_string(timeout.count()) + " ms waiting for " + what);
}

void KillAndReap::operator()(QProcess* process) const {
    // SIGKILL reaches a held (stopped) program too.
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(-1);
    }
    delete process;
}

Process StartProcess(const QStringList& argv, const QProcessEnvironment& environment,
                     const std::filesystem::path& workingDirectory, const std::filesystem::path& log) {
    Process process(NewProcess(environment).release());
    process->setWorkingDirectory(ToQString(workingDirectory.string()));
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(ToQString(log.string()));
    Start(*process, argv);
    return process;
}

bool HasEnded(QProcess& process) {
    if (process.state() != QProcess::NotRunning) process.waitForFinished(0);
    return process.state() == QProcess::NotRunning;
}

std::string EndDescription(QProcess& process) {
    if (!HasEnded(process)) return "still running";
    // A program ended by a signal has the signal's number as its exit code.
    return (process.exitStatus() == QProcess::CrashExit ? "killed by signal " : "exit code ") +
           std::to_string(process.exitCode());
}

void Signal(QProcess& process, int signal) {
    // An ended program has no pid any more, and kill(0) would signal the
    // test program's whole process group.
    if (!HasEnded(process) && process.processId() > 0) ::kill(static_cast<pid_t>(process.processId()), signal);
}

std::string CommandResult::Describe() const {
    return end + (errors.empty() ? std::string() : ", error output: " + errors);
}

CommandResult RunCommand(const QStringList& argv, const QProcessEnvironment& environment,
                         std::chrono::milliseconds timeout, const std::string& what) {
    const Process process(NewProcess(environment).release());
    Start(*process, argv);
    // Reads both channels while it waits, so a command that prints much
    // does not block on a full pipe.
    if (!process->waitForFinished(static_cast<int>(timeout.count())))
        throw E2eFailure("timed out after " + std::to_string(timeout.count()) + " ms: " + what);
    CommandResult result;
    result.succeeded = process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    result.end = EndDescription(*process);
    result.output = process->readAllStandardOutput().toStdString();
    result.errors = process->readAllStandardError().toStdString();
    return result;
}

Desktop::Desktop(QProcessEnvironment clientEnvironment) : environment_(std::move(clientEnvironment)) {}

CommandResult Desktop::Tool(const QStringList& argv, const std::string& what) const {
    CommandResult result = RunCommand(argv, environment_, kToolTimeout, what);
    if (!result.succeeded)
        throw E2eFailure(argv.front().toStdString() + " failed on " + what + ": " + result.Describe());
    return result;
}

std::vector<std::string> Desktop::VisibleWindows(qint64 pid, const std::string& name) const {
    // All conditions must hold (xdotool takes any one by default); it ends
    // with status 1, saying nothing, when it finds nothing.
    const CommandResult found = RunCommand(
        {"xdotool", "search", "--all", "--onlyvisible", "--pid", QString::number(pid), "--name", ToQString(name)},
        environment_, kToolTimeout, "a search for windows named '" + name + "'");
    if (!found.succeeded && !found.errors.empty()) throw E2eFailure("xdotool search failed: " + found.Describe());
    return Lines(found.output);
}

std::string Desktop::WaitForWindow(qint64 pid, const std::string& name, std::chrono::milliseconds timeout) const {
    std::vector<std::string> windows;
    WaitUntil([&] { return !(windows = VisibleWindows(pid, name)).empty(); }, timeout,
              "a window named '" + name + "' to appear", std::chrono::milliseconds(50));
    return windows.front();
}

std::string Desktop::WindowName(const std::string& window) const {
    const std::vector<std::string> lines =
        Lines(Tool({"xdotool", "getwindowname", ToQString(window)}, "the name of window " + window).output);
    return lines.empty() ? std::string() : lines.front();
}

Rect Desktop::Geometry(const std::string& window) const {
    // xwininfo, not xdotool: xdotool counts a framed window's offset inside
    // its frame twice.
    const CommandResult info = Tool({"xwininfo", "-id", ToQString(window)}, "the geometry of window " + window);
    Rect inside;
    const std::pair<std::string, int*> fields[] = {{"Absolute upper-left X:", &inside.x},
                                                   {"Absolute upper-left Y:", &inside.y},
                                                   {"Width:", &inside.width},
                                                   {"Height:", &inside.height}};
    for (std::string line : Lines(info.output)) {
        line.erase(0, line.find_first_not_of(' '));
        for (const auto& [key, field] : fields)
            if (line.rfind(key, 0) == 0) *field = std::stoi(line.substr(key.size()));
    }
    return inside;
}

Rect Desktop::FrameGeometry(const std::string& window) const {
    const Rect inside = Geometry(window);
    // "_NET_FRAME_EXTENTS(CARDINAL) = left, right, top, bottom", or a line
    // saying the property is not set.
    const CommandResult extents =
        Tool({"xprop", "-id", ToQString(window), "_NET_FRAME_EXTENTS"}, "the frame extents of window " + window);
    int left = 0, right = 0, top = 0, bottom = 0;
    const auto equals = extents.output.find('=');
    if (equals != std::string::npos &&
        std::sscanf(extents.output.c_str() + equals + 1, "%d, %d, %d, %d", &left, &right, &top, &bottom) != 4)
        throw E2eFailure("unexpected frame extents: " + extents.output);
    return {inside.x - left, inside.y - top, inside.width + left + right, inside.height + top + bottom};
}

bool Desktop::HasWindowManager() const {
    const CommandResult result = RunCommand({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, environment_, kToolTimeout,
                                            "the window manager's check window");
    return result.succeeded && result.output.find("window id") != std::string::npos;
}

void Desktop::ClearWindowManagerTraces() const {
    // One line a property, "NAME(TYPE) = value" or "NAME(TYPE): ...", values
    // that span lines indented. A fresh server's root window has none of
    // these, and no program but a window manager sets them.
    QStringList remove = {"xprop", "-root"};
    for (const std::string& line : Lines(Tool({"xprop", "-root"}, "the root window's properties").output)) {
        const std::string name = line.substr(0, line.find('('));
        if (name.starts_with("_NET_") || name.starts_with("_OB_") || name.starts_with("_OPENBOX_"))
            remove << "-remove" << ToQString(name);
    }
    if (remove.size() > 2) Tool(remove, "the removal of a window manager's root window properties");
}

void Desktop::Click(const std::string& window, int x, int y) const {
    const bool sameSpot = window == lastClick_.window && std::abs(x - lastClick_.x) <= kDoubleClickDistance &&
                          std::abs(y - lastClick_.y) <= kDoubleClickDistance;
    const auto since = std::chrono::steady_clock::now() - lastClick_.at;
    if (sameSpot && since < kDoubleClickInterval) std::this_thread::sleep_for(kDoubleClickInterval - since);
    Tool({"xdotool", "mousemove", "--window", ToQString(window), QString::number(x), QString::number(y), "click", "1"},
         "a click at " + std::to_string(x) + "," + std::to_string(y));
    lastClick_ = {window, x, y, std::chrono::steady_clock::now()};
}

void Desktop::Keys(const std::vector<std::string>& keys) const {
    QStringList argv = {"xdotool", "key", "--delay", kKeyDelayMs};
    for (const std::string& key : keys) argv.append(ToQString(key));
    Tool(argv, "key presses");
}

void Desktop::Type(const std::string& text) const {
    Tool({"xdotool", "type", "--delay", kTypeDelayMs, "--", ToQString(text)}, "typing '" + text + "'");
}

std::string Desktop::Clipboard() const {
    // With nothing on the clipboard xclip fails, saying that no owner offers
    // the target: that is an empty text.
    const CommandResult result = RunCommand({"xclip", "-o", "-selection", "clipboard", "-target", "UTF8_STRING"},
                                            environment_, kClipboardTimeout, "the clipboard's text");
    if (!result.succeeded && result.errors.find("not available") != std::string::npos) return {};
    if (!result.succeeded) throw E2eFailure("reading the clipboard failed: " + result.Describe());
    return result.output;
}

void Desktop::Screenshot(const std::filesystem::path& png) const {
    const QString display = environment_.value("DISPLAY");
    const CommandResult result = RunCommand({"import", "-window", "root", "-display", display, ToQString(png.string())},
                                            environment_, kScreenshotTimeout, "a screenshot");
    if (!result.succeeded) throw E2eFailure("screenshot failed: " + result.Describe());
}

}  // namespace qax::e2e
