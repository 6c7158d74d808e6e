// Child processes for the end-to-end tests: the X server, the editor and the
// desktop tools that drive them.
//
// Every child is owned by a ChildProcess, which ends and reaps it when it
// goes out of scope, also when a test fails half-way. A child also dies with
// the test program (parent-death signal), so a test killed from outside, for
// example by a time-out of the test runner, leaves nothing running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qax::e2e {

// Variables to set (or, with no value, to remove) on top of the test
// program's own environment.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

struct LaunchOptions {
    std::vector<std::string> argv;  // argv[0] is the program, looked up in PATH when it has no '/'
    EnvironmentChanges environment;
    std::filesystem::path workingDirectory;  // empty: the test program's own
    std::filesystem::path outputLog;         // stdout and stderr; empty: /dev/null
    int inheritedFd = -1;                    // one descriptor the child keeps open under its own number
};

class ChildProcess {
public:
    // Output goes to options.outputLog.
    explicit ChildProcess(const LaunchOptions& options);
    // Output goes to the given descriptors (-1: /dev/null); the caller keeps them.
    ChildProcess(const LaunchOptions& options, int stdoutFd, int stderrFd);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // True while the child has not ended; reaps it when it has.
    bool Running();
    // How the child ended ("exit code 1", "killed by signal 6"), once it has.
    std::string EndDescription() const;
    // The raw wait status, once the child has ended and been reaped.
    std::optional<int> WaitStatus() const { return waitStatus_; }

    void Suspend();  // SIGSTOP: the child stops where it is
    void Resume();   // SIGCONT
    // SIGKILL, as a crash or a forced quit ends a program: no clean-up of
    // its own runs. Reaps it.
    void Kill();

    // Asks the child to end, waits a short while, then kills it; reaps it.
    void Stop();

private:
    pid_t pid_ = -1;
    std::optional<int> waitStatus_;
};

struct CommandResult {
    int waitStatus = 0;
    std::string output;  // stdout
    std::string errors;  // stderr
    bool Succeeded() const;
    std::string Describe() const;  // status and error output, for failure messages
};

// Runs a short-lived command to its end and returns what it printed. A
// command still running at the deadline is killed and the call throws
// E2eFailure naming `what` it was waiting for.
CommandResult RunCommand(const std::vector<std::string>& argv, const EnvironmentChanges& environment,
                         std::chrono::milliseconds timeout, const std::string& what);

}  // namespace qax::e2e
