#include "e2e_fixture.h"

#include <signal.h>

#include <QFile>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

namespace qax::e2e {

namespace {

namespace fs = std::filesystem;

constexpr auto kWindowTimeout = std::chrono::seconds(60);
constexpr auto kWindowManagerTimeout = std::chrono::seconds(20);
constexpr auto kFrameTimeout = std::chrono::seconds(10);
constexpr auto kEndTimeout = std::chrono::seconds(20);

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string CurrentTestName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/') c = '_';
    return name;
}

// The X server the tests run on: the one the test run started, named in the
// file that QAX_E2E_DISPLAY_FILE names, or else $DISPLAY.
std::string TestDisplay() {
    if (const char* file = std::getenv("QAX_E2E_DISPLAY_FILE")) {
        std::string name = ReadText(file);
        while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
        if (name.empty())
            throw E2eFailure(std::string("no X display named in ") + file +
                             ": the test run's X server did not start (its log lies beside that file)");
        return name;
    }
    if (const char* display = std::getenv("DISPLAY"); display != nullptr && *display != '\0') return display;
    throw E2eFailure(
        "no X display to run on: run these tests with `ctest --preset default -L e2e`, which starts one, or by "
        "hand with `xvfb-run -a -s \"-screen 0 1024x768x24 -dpi 96\" build/default/tests/e2e/e2e_tests`");
}

QString PathText(const fs::path& path) {
    return QString::fromStdString(path.string());
}

// What every program on the test's display runs with, on top of the test
// program's own environment.
QProcessEnvironment ClientEnvironment(const std::string& display, const fs::path& home, const fs::path& runtime) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", QString::fromStdString(display));
    // The test runner selects the offscreen platform for the window's unit
    // tests; these programs belong on the X server.
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("HOME", PathText(home));
    environment.insert("XDG_CONFIG_HOME", PathText(home / ".config"));
    environment.insert("XDG_CACHE_HOME", PathText(home / ".cache"));
    environment.insert("XDG_RUNTIME_DIR", PathText(runtime));
    // The editor is ended by a signal, and Qt keeps font and platform
    // allocations for the life of a process: leak checking would report
    // those, not the editor's. Every other sanitizer check stays on.
    const QString asan = environment.value("ASAN_OPTIONS");
    environment.insert("ASAN_OPTIONS", asan + (asan.isEmpty() ? "" : ":") + "detect_leaks=0");
    return environment;
}

}  // namespace

void EndToEndTest::MakeProduct(const sample::SampleOptions& options) {
    productDir_ = fs::canonical(root_.Path()) / "Corvane";
    dataSet_ = sample::WriteSampleDataSet(productDir_, options);
    for (const std::string& name : kDataFiles) originals_[name] = testing::ReadBytes(DataFile(name));
    fs::create_directories(EditorDir());
}

const Bytes& EndToEndTest::Original(const std::string& name) const {
    return originals_.at(name);
}

fs::path EndToEndTest::WriteUserFile(const std::string& name, const Bytes& bytes) const {
    const fs::path path = fs::canonical(root_.Path()) / "files" / name;
    testing::WriteBytes(path, bytes);
    return path;
}

void EndToEndTest::StartEditor() {
    Start(false);
}

void EndToEndTest::StartEditorUnderWindowManager(int bottomPanel) {
    Start(true, bottomPanel);
}

void EndToEndTest::Start(bool underWindowManager, int bottomPanel) {
    const fs::path root = fs::canonical(root_.Path());
    const fs::path home = HomeDir();
    const fs::path runtime = root / "runtime";
    const fs::path logs = root / "logs";
    fs::create_directories(home);
    fs::create_directories(logs);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);

    desktop_ = std::make_unique<Desktop>(ClientEnvironment(TestDisplay(), home, runtime));
    desktop_->ClearWindowManagerTraces();
    if (underWindowManager) StartWindowManager(root / "window-manager", logs / "openbox.log", bottomPanel);
    // Under a window manager the window is probed once it is framed.
    std::optional<WindowLayout> layout;
    if (!underWindowManager)
        layout = WindowLayout::Probe(*desktop_, QAX_E2E_LAYOUT_PROBE, root / "no-product" / "QaxEdit" / "qaxedit");
    RunningEditor started = LaunchEditor(EditorDir(), "editor.log", std::move(layout));
    editor_ = std::move(started.process);
    window_ = std::move(started.window);
}

void EndToEndTest::RestartEditor() {
    if (!HasEnded(*editor_)) throw E2eFailure("the editor is restarted while it still runs");
    RunningEditor started = LaunchEditor(EditorDir(), "editor-restarted.log", window_->Layout());
    window_ = std::move(started.window);
    editor_ = std::move(started.process);
}

RunningEditor EndToEndTest::StartAnotherEditor(const std::string& directory) {
    return LaunchEditor(productDir_ / directory, directory + ".log", window_->Layout());
}

RunningEditor EndToEndTest::LaunchEditor(const fs::path& editorDir, const std::string& logName,
                                         std::optional<WindowLayout> layout) {
    // A copy, not a link: the editor finds the data set from its own
    // resolved path.
    fs::create_directories(editorDir);
    const fs::path program = editorDir / "qaxedit";
    fs::copy_file(QAX_E2E_EDITOR, program, fs::copy_options::overwrite_existing);
    fs::permissions(program, fs::perms::owner_all, fs::perm_options::add);

    const fs::path root = fs::canonical(root_.Path());
    fs::path started_as = program;
    if (QString::fromStdString(program.string()).toStdString() != program.string()) {
        fs::create_directories(root / "links");
        started_as = root / "links" /
                     ("qaxedit-" +
                      std::to_string(std::distance(fs::directory_iterator(root / "links"), fs::directory_iterator())));
        fs::create_symlink(program, started_as);
    }
    RunningEditor started;
    started.process =
        StartProcess({PathText(started_as)}, desktop_->ClientEnvironment(), HomeDir(), root / "logs" / logName);

    const std::string window = desktop_->WaitForWindow(started.process->processId(), "^Qax Edit$", kWindowTimeout);
    if (windowManager_ != nullptr) {
        // The window fits its inside to the frame once it is framed; the
        // controls are then laid out in that smaller inside.
        WaitForDesignedFrame(window);
        if (!layout)
            layout = WindowLayout::Probe(*desktop_, QAX_E2E_LAYOUT_PROBE, root / "no-product" / "QaxEdit" / "qaxedit",
                                         desktop_->Geometry(window));
    }
    const Rect shown = desktop_->Geometry(window);
    const Rect& probed = layout->Of("Window");
    if (shown.width != probed.width || shown.height != probed.height)
        throw E2eFailure("the editor's window is " + std::to_string(shown.width) + "x" + std::to_string(shown.height) +
                         " but the layout probe measured " + std::to_string(probed.width) + "x" +
                         std::to_string(probed.height) + ": the clicks would miss their controls");
    started.window =
        std::make_unique<EditorWindow>(*desktop_, started.process->processId(), window, std::move(*layout));
    return started;
}

void EndToEndTest::StartWindowManager(const fs::path& home, const fs::path& log, int bottomPanel) {
    // Openbox with its packaged configuration (Alt+F4 closes a window), in a
    // home of its own: it keeps a log there.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", desktop_->ClientEnvironment().value("DISPLAY"));
    environment.insert("HOME", PathText(home));
    environment.insert("XDG_CONFIG_HOME", PathText(home / ".config"));
    environment.insert("XDG_CACHE_HOME", PathText(home / ".cache"));
    environment.insert("XDG_DATA_HOME", PathText(home / ".local" / "share"));
    fs::create_directories(home);
    if (bottomPanel > 0) {
        // The packaged configuration with a margin at the bottom, which
        // openbox keeps free and leaves out of the screen's work area.
        QFile packaged(QStringLiteral("/etc/xdg/openbox/rc.xml"));
        if (!packaged.open(QIODevice::ReadOnly)) throw E2eFailure("openbox's packaged rc.xml cannot be read");
        QString config = QString::fromUtf8(packaged.readAll());
        const QString margin = QStringLiteral("<bottom>0</bottom>");
        if (!config.contains(margin)) throw E2eFailure("openbox's rc.xml has no bottom margin to set");
        config.replace(margin, QStringLiteral("<bottom>%1</bottom>").arg(bottomPanel));
        fs::create_directories(home / ".config" / "openbox");
        testing::WriteText(home / ".config" / "openbox" / "rc.xml", config.toStdString());
    }
    windowManager_ = StartProcess({"openbox", "--sm-disable"}, environment, home, log);
    WaitUntil([&] { return desktop_->HasWindowManager(); }, kWindowManagerTimeout,
              "openbox to take charge of the screen", std::chrono::milliseconds(50));
}

void EndToEndTest::WaitForDesignedFrame(const std::string& window) const {
    Rect frame;
    const bool designed = PollUntil(
        [&] {
            frame = desktop_->FrameGeometry(window);
            return frame.width == kDesignedWindowFrame.width && frame.height == kDesignedWindowFrame.height;
        },
        kFrameTimeout, std::chrono::milliseconds(50));
    if (!designed)
        throw E2eFailure("the framed window is " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                         " at " + std::to_string(frame.x) + "," + std::to_string(frame.y) + ", not " +
                         std::to_string(kDesignedWindowFrame.width) + "x" +
                         std::to_string(kDesignedWindowFrame.height));
}

void EndToEndTest::SuspendEditor() {
    Signal(*editor_, SIGSTOP);
}

void EndToEndTest::ResumeEditor() {
    Signal(*editor_, SIGCONT);
}

void EndToEndTest::KillEditor() {
    Signal(*editor_, SIGKILL);
    editor_->waitForFinished(-1);
}

std::string EndToEndTest::WaitForEditorToEnd() {
    WaitUntil([&] { return HasEnded(*editor_); }, kEndTimeout, "the editor to end");
    const std::string end = EndDescription(*editor_);
    window_.reset();
    editor_.reset();
    return end;
}

Rect EndToEndTest::WindowFrame() const {
    return desktop_->FrameGeometry(window_->Id());
}

fs::path EndToEndTest::HomeDir() const {
    return fs::canonical(root_.Path()) / "home";
}

std::vector<std::string> EndToEndTest::FilesBesideEditor() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(EditorDir()))
        if (entry.path().filename() != "qaxedit") names.push_back(entry.path().filename().string());
    return names;
}

std::vector<std::string> EndToEndTest::DataDirectoryNames() const {
    std::vector<std::string> names;
    // The lock file is the one name an editor adds, empty and never written.
    for (const auto& entry : fs::directory_iterator(DataFile("")))
        if (entry.path().filename() != "~qaxedit.lck" || entry.file_size() != 0)
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void EndToEndTest::RemoveDataFile(const std::string& name) {
    fs::remove(DataFile(name));
    originals_.erase(name);
}

void EndToEndTest::ExpectDataSetUnchanged() const {
    const std::vector<std::string> present = DataDirectoryNames();
    std::vector<std::string> expected;
    for (const auto& [name, bytes] : originals_) expected.push_back(name);
    EXPECT_EQ(present, expected) << "the files of the data directory";
    ExpectUnchanged(expected);
}

void EndToEndTest::ExpectUnchanged(const std::vector<std::string>& names) const {
    for (const std::string& name : names) {
        if (!fs::exists(DataFile(name))) {
            ADD_FAILURE() << name << " is gone";
        } else {
            EXPECT_TRUE(testing::ReadBytes(DataFile(name)) == Original(name)) << name << " changed";
        }
    }
}

void EndToEndTest::TearDown() {
    if (editor_ && HasEnded(*editor_))
        ADD_FAILURE() << "the editor ended during the test (" << EndDescription(*editor_) << ")";
    if (HasFailure()) KeepArtefacts();
    window_.reset();
    editor_.reset();
    windowManager_.reset();
    desktop_.reset();
}

void EndToEndTest::KeepArtefacts() {
    const fs::path artefacts = QAX_E2E_ARTEFACT_DIR;
    std::error_code ignored;
    fs::create_directories(artefacts, ignored);
    const std::string name = CurrentTestName();
    if (desktop_) {
        const fs::path screenshot = artefacts / (name + ".png");
        try {
            desktop_->Screenshot(screenshot);
            std::cerr << "screenshot of the failing test: " << screenshot.string() << "\n";
        } catch (const E2eFailure& error) {
            std::cerr << "no screenshot: " << error.what() << "\n";
        }
    }
    const fs::path logs = fs::canonical(root_.Path()) / "logs";
    for (const auto& entry : fs::directory_iterator(logs, ignored)) {
        const std::string log = entry.path().filename().string();
        const fs::path kept = artefacts / (name + "." + log);
        fs::copy_file(entry.path(), kept, fs::copy_options::overwrite_existing, ignored);
        std::cerr << log << " of the failing test: " << kept.string() << "\n" << ReadText(entry.path()) << "\n";
    }
}

}  // namespace qax::e2e
