#include "desktop.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "e2e_failure.h"

namespace qax::e2e {

namespace {

constexpr auto kToolTimeout = std::chrono::seconds(15);
// A clipboard request is answered only when the owner processes its events,
// which may wait for an operation's next progress mark.
constexpr auto kClipboardTimeout = std::chrono::seconds(30);
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

}  // namespace

Desktop::Desktop(EnvironmentChanges clientEnvironment, std::filesystem::path clipboardReader)
    : environment_(std::move(clientEnvironment)), clipboardReader_(std::move(clipboardReader)) {}

CommandResult Desktop::Xdotool(const std::vector<std::string>& arguments, const std::string& what) const {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunCommand(argv, environment_, kToolTimeout, what);
}

std::vector<std::string> Desktop::VisibleWindows(pid_t pid, const std::string& name) const {
    // All conditions must hold (xdotool takes any one by default); it ends
    // with status 1 when it finds nothing.
    const CommandResult found =
        Xdotool({"search", "--all", "--onlyvisible", "--pid", std::to_string(pid), "--name", name},
                "a search for windows named '" + name + "'");
    if (!found.Succeeded() && !found.errors.empty()) throw E2eFailure("xdotool search failed: " + found.Describe());
    return Lines(found.output);
}

std::string Desktop::WaitForWindow(pid_t pid, const std::string& name, std::chrono::milliseconds timeout) const {
    std::vector<std::string> windows;
    WaitUntil([&] { return !(windows = VisibleWindows(pid, name)).empty(); }, timeout,
              "a window named '" + name + "' to appear", std::chrono::milliseconds(50));
    return windows.front();
}

void Desktop::WaitUntilGone(pid_t pid, const std::string& name, std::chrono::milliseconds timeout) const {
    WaitUntil([&] { return VisibleWindows(pid, name).empty(); }, timeout, "the window named '" + name + "' to close",
              std::chrono::milliseconds(50));
}

std::string Desktop::WindowName(const std::string& window) const {
    const CommandResult result = Xdotool({"getwindowname", window}, "the name of window " + window);
    if (!result.Succeeded()) throw E2eFailure("xdotool getwindowname failed: " + result.Describe());
    const std::vector<std::string> lines = Lines(result.output);
    return lines.empty() ? std::string() : lines.front();
}

Rect Desktop::Geometry(const std::string& window) const {
    const CommandResult result = Xdotool({"getwindowgeometry", "--shell", window}, "the geometry of window " + window);
    if (!result.Succeeded()) throw E2eFailure("xdotool getwindowgeometry failed: " + result.Describe());
    Rect rect;
    for (const std::string& line : Lines(result.output)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const int value = std::stoi(line.substr(equals + 1));
        if (key == "X") rect.x = value;
        if (key == "Y") rect.y = value;
        if (key == "WIDTH") rect.width = value;
        if (key == "HEIGHT") rect.height = value;
    }
    return rect;
}

Rect Desktop::FrameGeometry(const std::string& window) const {
    // xwininfo, not xdotool: xdotool counts a framed window's offset inside
    // its frame twice.
    const CommandResult info =
        RunCommand({"xwininfo", "-id", window}, environment_, kToolTimeout, "the geometry of window " + window);
    if (!info.Succeeded()) throw E2eFailure("xwininfo failed: " + info.Describe());
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

    // "_NET_FRAME_EXTENTS(CARDINAL) = left, right, top, bottom", or a line
    // saying the property is not set.
    const CommandResult extents = RunCommand({"xprop", "-id", window, "_NET_FRAME_EXTENTS"}, environment_, kToolTimeout,
                                             "the frame extents of window " + window);
    if (!extents.Succeeded()) throw E2eFailure("xprop failed: " + extents.Describe());
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
    return result.Succeeded() && result.output.find("window id") != std::string::npos;
}

void Desktop::PaceRepeatedClick(const std::string& window, int x, int y) const {
    const bool sameSpot = window == lastClick_.window && std::abs(x - lastClick_.x) <= kDoubleClickDistance &&
                          std::abs(y - lastClick_.y) <= kDoubleClickDistance;
    const auto since = std::chrono::steady_clock::now() - lastClick_.at;
    if (sameSpot && since < kDoubleClickInterval) std::this_thread::sleep_for(kDoubleClickInterval - since);
}

void Desktop::Click(const std::string& window, int x, int y) const {
    PaceRepeatedClick(window, x, y);
    const CommandResult result =
        Xdotool({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"},
                "a click at " + std::to_string(x) + "," + std::to_string(y));
    if (!result.Succeeded()) throw E2eFailure("xdotool click failed: " + result.Describe());
    lastClick_ = {window, x, y, std::chrono::steady_clock::now()};
}

void Desktop::Keys(const std::vector<std::string>& keys) const {
    std::vector<std::string> arguments = {"key", "--delay", kKeyDelayMs};
    arguments.insert(arguments.end(), keys.begin(), keys.end());
    const CommandResult result = Xdotool(arguments, "key presses");
    if (!result.Succeeded()) throw E2eFailure("xdotool key failed: " + result.Describe());
}

void Desktop::Type(const std::string& text) const {
    const CommandResult result = Xdotool({"type", "--delay", kTypeDelayMs, "--", text}, "typing '" + text + "'");
    if (!result.Succeeded()) throw E2eFailure("xdotool type failed: " + result.Describe());
}

std::string Desktop::Clipboard() const {
    const CommandResult result =
        RunCommand({clipboardReader_.string()}, environment_, kClipboardTimeout, "the clipboard's text");
    if (!result.Succeeded()) throw E2eFailure("reading the clipboard failed: " + result.Describe());
    return result.output;
}

}  // namespace qax::e2e
