// Qax Edit: creates the application and the main window, whose creation runs
// the start-up check, and runs the event loop until the window is closed.
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data_set.h"
#include "error_box.h"
#include "file_access.h"
#include "main_form.h"
#include "user_prompts.h"

namespace {

#ifndef _WIN32
// Set by the handler of SIGINT, SIGTERM and SIGHUP, which also writes a byte
// to `stopPipe` so that the event loop hears of it: a signal handler can
// reach nothing else.
volatile std::sig_atomic_t stopSignal = 0;
int stopPipe[2] = {-1, -1};

extern "C" void RequestStop(int signal) {
    stopSignal = signal;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
}

// A polite stop closes the window as a click on its close box would: a
// replacement under way first fails at its next write and puts the archive
// back (the file layer sees the request), and the window closes once it has.
void StopPolitelyOnSignals(QObject& owner, qax::ui::DesktopPrompts& prompts) {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &owner);
    QObject::connect(notifier, &QSocketNotifier::activated, &owner, [&prompts] {
        char bytes[16];
        while (::read(stopPipe[0], bytes, sizeof bytes) > 0) {
        }
        // Every window, a message box included, as if each were closed by
        // hand: the main window itself waits for a replacement to end. The
        // replacement's own report may come after this, and must not keep
        // the program waiting for an answer.
        prompts.WriteMessagesInsteadOfBoxes();
        QApplication::closeAllWindows();
    });
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

const char* SignalName(int signal) {
    return strsignal(signal);
}
#else
// A windowed program on Windows is sent no signals: closing its window (or
// the session's end, which Qt turns into a close) is its polite stop.
constexpr std::sig_atomic_t stopSignal = 0;
void StopPolitelyOnSignals(QObject&, qax::ui::DesktopPrompts&) {}
const char* SignalName(int) {
    return "none";
}
#endif

// The command line. The editor takes two options of its own, which answer
// without a window and so without a display, as an unknown option does.
// Qt's own options (-platform, -style and the like) go on to Qt, which takes
// them when the application is created. A file given to the editor, as a
// file manager's "Open with" does, is not refused: the editor always works
// on the data set beside it, so the file is named as ignored and the window
// opens.
constexpr const char* kHelpText =
    "Usage: qaxedit [OPTION]...\n"
    "Lists, shows, replaces and extracts the members of the data set in the data\n"
    "directory one level above the editor's own directory, in a window. It takes no\n"
    "files: one given to it is ignored, and the window opens on that data set.\n"
    "\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "\n"
    "Qt's own options (-platform, -style, -reverse and the like) are passed to Qt.\n"
    "From the command line and in scripts: qaxtool (man qaxtool).\n";

// The options Qt's application takes from the command line, with one dash or
// two; those with a value take it as the next argument or after '='.
constexpr std::string_view kToolkitOptionsWithValue[] = {
    "platform",   "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry", "geometry", "qwindowtitle",
    "title",      "qwindowicon",        "icon",          "session", "display",         "name",     "style",
    "stylesheet", "qmljsdebugger"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

// Whether `argument` is one of Qt's options that takes its value from the
// next argument; nothing when it is none of Qt's options.
std::optional<bool> ToolkitOptionTakesNext(std::string_view argument) {
    argument.remove_prefix(argument.starts_with("--") ? 2 : 1);
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    for (const std::string_view known : kToolkitOptionsWithValue)
        if (known == name) return equals == std::string_view::npos;
    for (const std::string_view known : kToolkitFlags)
        if (known == name && equals == std::string_view::npos) return false;
    return std::nullopt;
}

struct CommandLine {
    std::optional<int> answered;       // the status, when the command line was answered without a window
    std::vector<std::string> ignored;  // files given, which the editor does not take
};

CommandLine ReadCommandLine(int argc, char* argv[]) {
    CommandLine line;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const bool isOption = !optionsEnd && argument.size() > 1 && argument.front() == '-';
        if (!isOption) {
            line.ignored.emplace_back(argument);
        } else if (argument == "--") {
            optionsEnd = true;
        } else if (argument == "--help" || argument == "-h") {
            line.answered = std::fputs(kHelpText, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
            return line;
        } else if (argument == "--version" || argument == "-V") {
            line.answered = std::printf("qaxedit %s\n", QAX_VERSION) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
            return line;
        } else if (const std::optional<bool> takesNext = ToolkitOptionTakesNext(argument)) {
            if (*takesNext) ++i;
        } else {
            std::fprintf(stderr, "qaxedit: unknown option '%s'\nTry 'qaxedit --help'.\n", argv[i]);
            line.answered = 2;
            return line;
        }
    }
    return line;
}

void NoteIgnoredFiles(const std::vector<std::string>& ignored) {
    if (ignored.empty()) return;
    std::string named;
    for (const std::string& file : ignored) named += " '" + file + "'";
    std::fprintf(stderr,
                 "qaxedit: takes no files, so ignores%s; it opens the data set in the data directory above its "
                 "own directory\n",
                 named.c_str());
}

// Qt ends the program when its platform cannot start, as on a machine with
// no display, with an abort (status 134) after lines of its own. While the
// application is created its messages are held back: if it cannot start,
// one line says that a display is needed and the status is 1; if it starts,
// the held messages go on as they would have. Qt's message handler takes no
// context of its own, so what it holds lives here, for the creation only.
class StartMessages {
public:
    StartMessages() : previous_(qInstallMessageHandler(&Hold)) {}
    ~StartMessages() {
        qInstallMessageHandler(previous_);
        for (const auto& [type, text] : Held()) previous_(type, QMessageLogContext(), text);
        Held().clear();
    }
    StartMessages(const StartMessages&) = delete;
    StartMessages& operator=(const StartMessages&) = delete;

private:
    static std::vector<std::pair<QtMsgType, QString>>& Held() {
        static std::vector<std::pair<QtMsgType, QString>> held;
        return held;
    }

    static void Hold(QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtFatalMsg) {
            Held().emplace_back(type, text);
            return;
        }
#ifndef _WIN32
        const auto variable = [](const char* name) {
            const char* value = std::getenv(name);
            return value != nullptr && *value != '\0' ? std::optional<std::string>(value) : std::nullopt;
        };
        const std::optional<std::string> display = variable("DISPLAY");
        const std::optional<std::string> wayland = variable("WAYLAND_DISPLAY");
        if (!display && !wayland) {
            std::fputs("qaxedit: needs a display for its window, and neither DISPLAY nor WAYLAND_DISPLAY is set\n",
                       stderr);
        } else {
            std::fprintf(stderr, "qaxedit: needs a display for its window, and none could be opened (%s)\n",
                         (display ? "DISPLAY=" + *display : "WAYLAND_DISPLAY=" + *wayland).c_str());
        }
#else
        std::fputs("qaxedit: needs a display for its window, and none could be opened\n", stderr);
#endif
        std::fflush(stderr);
        std::_Exit(1);
    }

    QtMessageHandler previous_;
};

}  // namespace

int main(int argc, char* argv[]) {
    const CommandLine line = ReadCommandLine(argc, argv);
    if (line.answered) return *line.answered;
    NoteIgnoredFiles(line.ignored);
    qax::ui::DesktopPrompts prompts;
    // Created inside the guarded steps, so that an error in its creation is
    // caught too; held outside them, so that it is still there to show the
    // error box once an error has ended them.
    std::optional<QApplication> application;

    // An error that escapes the entry's steps is shown like one raised in a
    // handler, and the program then ends with 0.
    return qax::ui::RunEntryReportingErrors(prompts, argv[0], [&] {
        {
            const StartMessages held;
            application.emplace(argc, argv);
        }
        // Taken from the system as bytes: a directory name in another
        // encoding than the locale's must not be lost in decoding, or the
        // data set would be looked for somewhere else entirely.
        const std::optional<std::string> programPath = qax::RunningProgramPath();
        if (!programPath)
            throw std::runtime_error(
                "The editor cannot tell where its own program file lies, so it cannot find the data set beside it; "
                "it stops");
        qax::SystemFileSystem disk;
        qax::StoppableFileSystem fileSystem(disk, [] { return stopSignal != 0; });
        qax::ui::TMainForm mainForm(*programPath, fileSystem, prompts);
        StopPolitelyOnSignals(*application, prompts);
        mainForm.show();
        const int status = QApplication::exec();
        if (stopSignal == 0) return status;
        std::fprintf(stderr, "qaxedit: stopped by a signal (%s)%s\n", SignalName(stopSignal),
                     fileSystem.Stopped() ? "; the replacement under way was undone first" : "");
        return 128 + stopSignal;
    });
}
