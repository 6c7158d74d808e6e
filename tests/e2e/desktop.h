// What the end-to-end tests stand on: the programs they start (QProcess), and
// the X display those programs share, used through the desktop's own tools:
// xdotool for real mouse and keyboard events (sent through the server's test
// extension, as if a person used the devices) and window searches, xwininfo
// and xprop for geometry and properties, xclip for the clipboard, import for
// screenshots.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qax::e2e {

// How the end-to-end helpers end a test: an exception with a message that
// says what was expected, which the test framework reports as the failure.
struct E2eFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Polls `condition` until it holds or `timeout` has passed; says which.
bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

// Polls `condition` until it holds. Fails the test with "timed out after ...
// waiting for <what>" when it does not hold within `timeout`.
void WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout, const std::string& what,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

// A started program. Its owner kills and reaps it when it goes, also when a
// test fails half-way (QProcess's own destructor would too, with a warning
// for every program a test leaves running). It also dies with the test
// program, so a test killed from outside, by a time-out of the test runner,
// leaves nothing running.
struct KillAndReap {
    void operator()(QProcess* process) const;
};
using Process = std::unique_ptr<QProcess, KillAndReap>;

// Starts `argv` (the program looked up in PATH when it has no '/') with
// `environment`, in `workingDirectory`, its output and error output into
// `log`. Fails the test when the program cannot be started.
Process StartProcess(const QStringList& argv, const QProcessEnvironment& environment,
                     const std::filesystem::path& workingDirectory, const std::filesystem::path& log);

// Whether the program has ended. There is no event loop to report it, so
// this asks the process itself, without waiting.
bool HasEnded(QProcess& process);
// How it ended ("exit code 1", "killed by signal 9"), or "still running".
std::string EndDescription(QProcess& process);
// Sends a signal to a program that has not ended (SIGSTOP holds it where it
// is, SIGCONT lets it go on).
void Signal(QProcess& process, int signal);

struct CommandResult {
    bool succeeded = false;        // ended with exit code 0
    std::string end;               // EndDescription
    std::string output;            // stdout
    std::string errors;            // stderr
    std::string Describe() const;  // how it ended and its error output, for failure messages
};

// Runs a short command to its end and returns what it printed. A command
// still running at the deadline is killed and the test fails, naming `what`
// it was waiting for.
CommandResult RunCommand(const QStringList& argv, const QProcessEnvironment& environment,
                         std::chrono::milliseconds timeout, const std::string& what);

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
    // `clientEnvironment` is what every program on this display runs with;
    // its DISPLAY names the display.
    explicit Desktop(QProcessEnvironment clientEnvironment);

    const QProcessEnvironment& ClientEnvironment() const { return environment_; }

    // The visible windows of process `pid` whose name matches the regular
    // expression `name`.
    std::vector<std::string> VisibleWindows(qint64 pid, const std::string& name) const;
    // Waits until such a window is visible and returns its id.
    std::string WaitForWindow(qint64 pid, const std::string& name, std::chrono::milliseconds timeout) const;
    std::string WindowName(const std::string& window) const;
    // Position on the screen and size of a window's inside.
    Rect Geometry(const std::string& window) const;
    // Position on the screen and size of a window with the frame the window
    // manager declares around it (none without a window manager).
    Rect FrameGeometry(const std::string& window) const;

    // A window manager has taken charge of the screen: the root window names
    // its check window.
    bool HasWindowManager() const;
    // Removes what a window manager of an earlier test, ended by a signal,
    // left on the shared display's root window. Its check window's name
    // would pass for a new window manager having taken charge, and its list
    // of supported features makes programs ask it to activate their windows
    // instead of setting the keyboard focus themselves, so that typed keys
    // would go to no window.
    void ClearWindowManagerTraces() const;

    // A left click at (x, y) inside the window.
    void Click(const std::string& window, int x, int y) const;
    // Key presses in order, each a key name with modifiers ("ctrl+c", "Down").
    void Keys(const std::vector<std::string>& keys) const;
    // Types the text character by character.
    void Type(const std::string& text) const;

    // The clipboard's text, as UTF-8; empty when there is none.
    std::string Clipboard() const;

    // Saves a picture of the whole screen.
    void Screenshot(const std::filesystem::path& png) const;

private:
    // Runs a desktop tool on this display; fails the test unless it succeeds.
    CommandResult Tool(const QStringList& argv, const std::string& what) const;

    QProcessEnvironment environment_;
    // Clicks on one spot are paced so that they are never taken for a double
    // click, as a person clicking the same place again pauses.
    struct LastClick {
        std::string window;
        int x = 0;
        int y = 0;
        std::chrono::steady_clock::time_point at;
    };
    mutable LastClick lastClick_;
};

}  // namespace qax::e2e
