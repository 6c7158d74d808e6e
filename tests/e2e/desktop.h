// Real input for a program on a virtual display: mouse and keyboard events
// sent to the X server with xdotool (through its test extension, as if a
// person used the devices), window queries, and the clipboard.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"

namespace qax::e2e {

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int CenterX() const { return x + width / 2; }
    int CenterY() const { return y + height / 2; }
};

class Desktop {
public:
    // `clientEnvironment` is what every program on this display runs with.
    Desktop(EnvironmentChanges clientEnvironment, std::filesystem::path clipboardReader);

    const EnvironmentChanges& ClientEnvironment() const { return environment_; }

    // The visible windows of process `pid` whose name matches the regular
    // expression `name`.
    std::vector<std::string> VisibleWindows(pid_t pid, const std::string& name) const;
    // Waits until such a window is visible and returns its id.
    std::string WaitForWindow(pid_t pid, const std::string& name, std::chrono::milliseconds timeout) const;
    void WaitUntilGone(pid_t pid, const std::string& name, std::chrono::milliseconds timeout) const;
    std::string WindowName(const std::string& window) const;
    // Position on the screen and size of a window's inside.
    Rect Geometry(const std::string& window) const;
    // Position on the screen and size of a window with the frame the window
    // manager declares around it (none without a window manager).
    Rect FrameGeometry(const std::string& window) const;
    // A window manager has taken charge of the screen.
    bool HasWindowManager() const;

    // A left click at (x, y) inside the window.
    void Click(const std::string& window, int x, int y) const;
    // Key presses in order, each a key name with modifiers ("ctrl+c", "Down").
    void Keys(const std::vector<std::string>& keys) const;
    // Types the text character by character.
    void Type(const std::string& text) const;

    // The clipboard's text, as UTF-8.
    std::string Clipboard() const;

private:
    CommandResult Xdotool(const std::vector<std::string>& arguments, const std::string& what) const;

    // Paces clicks on one spot so that they are never taken for a double
    // click, as a person clicking the same place again pauses.
    void PaceRepeatedClick(const std::string& window, int x, int y) const;

    EnvironmentChanges environment_;
    std::filesystem::path clipboardReader_;
    struct LastClick {
        std::string window;
        int x = 0;
        int y = 0;
        std::chrono::steady_clock::time_point at;
    };
    mutable LastClick lastClick_;
};

}  // namespace qax::e2e
