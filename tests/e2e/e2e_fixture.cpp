#include "e2e_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "e2e_failure.h"

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

// What every program on the test's display runs with.
EnvironmentChanges ClientEnvironment(const std::string& display, const fs::path& home, const fs::path& runtime) {
    EnvironmentChanges environment;
    environment["DISPLAY"] = display;
    // The test runner selects the offscreen platform for the window's unit
    // tests; these programs belong on the X server.
    environment["QT_QPA_PLATFORM"] = "xcb";
    environment["HOME"] = home.string();
    environment["XDG_CONFIG_HOME"] = (home / ".config").string();
    environment["XDG_CACHE_HOME"] = (home / ".cache").string();
    environment["XDG_RUNTIME_DIR"] = runtime.string();
    // The editor is ended by a signal, and Qt keeps font and platform
    // allocations for the life of a process: leak checking would report
    // those, not the editor's. Every other sanitizer check stays on.
    const char* asan = std::getenv("ASAN_OPTIONS");
    environment["ASAN_OPTIONS"] =
        std::string(asan != nullptr ? asan : "") + (asan != nullptr ? ":" : "") + "detect_leaks=0";
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

void EndToEndTest::StartEditorUnderWindowManager() {
    Start(true);
}

void EndToEndTest::Start(bool underWindowManager) {
    const fs::path root = fs::canonical(root_.Path());
    const fs::path home = HomeDir();
    const fs::path runtime = root / "runtime";
    const fs::path logs = root / "logs";
    fs::create_directories(home);
    fs::create_directories(logs);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);

    display_ = std::make_unique<VirtualDisplay>(logs / "xvfb.log");
    desktop_ = std::make_unique<Desktop>(ClientEnvironment(display_->Name(), home, runtime), QAX_E2E_CLIPBOARD_READER);
    if (underWindowManager) StartWindowManager(root / "window-manager", logs / "openbox.log");
    // Under a window manager the window is probed once it is framed.
    std::optional<WindowLayout> layout;
    if (!underWindowManager)
        layout = WindowLayout::Probe(*desktop_, QAX_E2E_LAYOUT_PROBE, root / "no-product" / "QaxEdit" / "qaxedit");
    RunningEditor started = LaunchEditor(EditorDir(), "editor.log", std::move(layout));
    editor_ = std::move(started.process);
    window_ = std::move(started.window);
}

void EndToEndTest::RestartEditor() {
    if (editor_->Running()) throw E2eFailure("the editor is restarted while it still runs");
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
    LaunchOptions options;
    options.argv = {program.string()};
    options.environment = desktop_->ClientEnvironment();
    options.workingDirectory = root / "home";
    options.outputLog = root / "logs" / logName;
    RunningEditor started;
    started.process = std::make_unique<ChildProcess>(options);

    const std::string window = desktop_->WaitForWindow(started.process->Pid(), "^Qax Edit$", kWindowTimeout);
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
    started.window = std::make_unique<EditorWindow>(*desktop_, started.process->Pid(), window, std::move(*layout));
    return started;
}

void EndToEndTest::StartWindowManager(const fs::path& home, const fs::path& log) {
    // Openbox with its packaged configuration (Alt+F4 closes a window), in a
    // home of its own: it keeps a log there.
    LaunchOptions manager;
    manager.argv = {"openbox", "--sm-disable"};
    manager.environment = {{"DISPLAY", display_->Name()},
                           {"HOME", home.string()},
                           {"XDG_CONFIG_HOME", (home / ".config").string()},
                           {"XDG_CACHE_HOME", (home / ".cache").string()},
                           {"XDG_DATA_HOME", (home / ".local" / "share").string()}};
    manager.outputLog = log;
    windowManager_ = std::make_unique<ChildProcess>(manager);
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

std::string EndToEndTest::WaitForEditorToEnd() {
    WaitUntil([&] { return !editor_->Running(); }, kEndTimeout, "the editor to end");
    const std::string end = editor_->EndDescription();
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

void EndToEndTest::RemoveDataFile(const std::string& name) {
    fs::remove(DataFile(name));
    originals_.erase(name);
}

void EndToEndTest::ExpectDataSetUnchanged() const {
    std::vector<std::string> present;
    for (const auto& entry : fs::directory_iterator(DataFile(""))) present.push_back(entry.path().filename().string());
    std::sort(present.begin(), present.end());
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
    if (editor_ && !editor_->Running())
        ADD_FAILURE() << "the editor ended during the test (" << editor_->EndDescription() << ")";
    if (HasFailure()) KeepArtefacts();
    window_.reset();
    editor_.reset();
    windowManager_.reset();
    desktop_.reset();
    display_.reset();
}

void EndToEndTest::KeepArtefacts() {
    const fs::path artefacts = QAX_E2E_ARTEFACT_DIR;
    std::error_code ignored;
    fs::create_directories(artefacts, ignored);
    const std::string name = CurrentTestName();
    if (display_) {
        const fs::path screenshot = artefacts / (name + ".png");
        try {
            display_->Screenshot(screenshot);
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
