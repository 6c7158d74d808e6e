#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "e2e_failure.h"
#include "unique_fd.h"

extern char** environ;

namespace qax::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::string SystemError(const std::string& step) {
    return step + ": " + std::strerror(errno);
}

std::vector<std::string> MergedEnvironment(const EnvironmentChanges& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            variables[name] = *value;
        } else {
            variables.erase(name);
        }
    }
    std::vector<std::string> merged;
    for (const auto& [name, value] : variables) merged.push_back(name + "=" + value);
    return merged;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Everything the child needs is prepared before the fork, so that between
// fork and exec it only makes system calls.
pid_t Spawn(const LaunchOptions& options, int stdoutFd, int stderrFd) {
    if (options.argv.empty()) throw E2eFailure("no program to start");
    std::vector<std::string> arguments = options.argv;
    std::vector<std::string> environment = MergedEnvironment(options.environment);
    std::vector<char*> argv = PointersTo(arguments);
    std::vector<char*> envp = PointersTo(environment);
    const std::string workingDirectory = options.workingDirectory.string();

    // The child reports a failed exec through this pipe; it closes unused
    // when the exec succeeds.
    Pipe execError = OpenPipe();
    UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (devNull.Get() < 0) throw E2eFailure(SystemError("open /dev/null"));

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw E2eFailure(SystemError("fork"));
    if (pid == 0) {
        auto fail = [&] {
            const int error = errno;
            [[maybe_unused]] const ssize_t written = ::write(execError.write.Get(), &error, sizeof error);
            ::_exit(127);
        };
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail();
        if (::getppid() != parent) ::_exit(127);  // the test program is already gone
        if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) fail();
        if (::dup2(devNull.Get(), STDIN_FILENO) < 0) fail();
        if (::dup2(stdoutFd >= 0 ? stdoutFd : devNull.Get(), STDOUT_FILENO) < 0) fail();
        if (::dup2(stderrFd >= 0 ? stderrFd : devNull.Get(), STDERR_FILENO) < 0) fail();
        if (options.inheritedFd >= 0 && ::fcntl(options.inheritedFd, F_SETFD, 0) != 0) fail();
        ::execvpe(argv[0], argv.data(), envp.data());
        fail();
    }
    execError.write.Close();
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(execError.read.Get(), &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        ::waitpid(pid, nullptr, 0);
        throw E2eFailure("cannot start " + options.argv[0] + ": " + std::strerror(childError));
    }
    return pid;
}

std::string DescribeWaitStatus(int status) {
    if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

}  // namespace

ChildProcess::ChildProcess(const LaunchOptions& options) {
    int logFd = -1;
    if (!options.outputLog.empty()) {
        logFd = ::open(options.outputLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (logFd < 0) throw E2eFailure(SystemError("open " + options.outputLog.string()));
    }
    const UniqueFd log(logFd);
    pid_ = Spawn(options, log.Get(), log.Get());
}

ChildProcess::ChildProcess(const LaunchOptions& options, int stdoutFd, int stderrFd)
    : pid_(Spawn(options, stdoutFd, stderrFd)) {}

ChildProcess::~ChildProcess() {
    Stop();
}

bool ChildProcess::Running() {
    if (waitStatus_) return false;
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid_, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == pid_) {
        waitStatus_ = status;
        return false;
    }
    return true;
}

std::string ChildProcess::EndDescription() const {
    return waitStatus_ ? DescribeWaitStatus(*waitStatus_) : std::string("still running");
}

void ChildProcess::Suspend() {
    if (Running()) ::kill(pid_, SIGSTOP);
}

void ChildProcess::Resume() {
    if (Running()) ::kill(pid_, SIGCONT);
}

void ChildProcess::Kill() {
    if (!Running()) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    waitStatus_ = status;
}

void ChildProcess::Stop() {
    if (!Running()) return;
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT);  // a stopped child acts on the signal only once it runs again
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Kill();
}

bool CommandResult::Succeeded() const {
    return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

std::string CommandResult::Describe() const {
    return DescribeWaitStatus(waitStatus) + (errors.empty() ? std::string() : ", error output: " + errors);
}

CommandResult RunCommand(const std::vector<std::string>& argv, const EnvironmentChanges& environment,
                         std::chrono::milliseconds timeout, const std::string& what) {
    Pipe out = OpenPipe();
    Pipe err = OpenPipe();
    LaunchOptions options;
    options.argv = argv;
    options.environment = environment;
    ChildProcess child(options, out.write.Get(), err.write.Get());
    // Only the child holds the write ends now: end of file means it is done.
    out.write.Close();
    err.write.Close();

    CommandResult result;
    const auto deadline = Clock::now() + timeout;
    std::string* sinks[2] = {&result.output, &result.errors};
    pollfd polls[2] = {{out.read.Get(), POLLIN, 0}, {err.read.Get(), POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) throw E2eFailure("timed out after " + std::to_string(timeout.count()) + " ms: " + what);
        const int ready = ::poll(polls, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) throw E2eFailure(SystemError("poll"));
        for (int i = 0; i < 2; ++i) {
            if (polls[i].fd < 0 || polls[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = ::read(polls[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                polls[i].fd = -1;
                --open;
            }
        }
    }
    // Both pipes closed: the command has ended or is about to.
    const auto left = std::max(std::chrono::milliseconds(1),
                               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    WaitUntil([&] { return !child.Running(); }, left, what + " (the command to end)", std::chrono::milliseconds(2));
    result.waitStatus = *child.WaitStatus();
    return result;
}

}  // namespace qax::e2e
