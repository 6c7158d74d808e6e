#include "virtual_display.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "e2e_failure.h"
#include "unique_fd.h"

namespace qax::e2e {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kScreenshotTimeout = std::chrono::seconds(20);

// Reads the display number the server writes once it accepts connections.
std::string ReadDisplayNumber(int fd, ChildProcess& server) {
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (number.empty() || number.back() != '\n') {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw E2eFailure("timed out waiting for Xvfb to announce its display");
        pollfd waiting = {fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) throw E2eFailure("poll on the display pipe failed");
        if (ready == 0) continue;
        char c;
        const ssize_t got = ::read(fd, &c, 1);
        if (got <= 0) throw E2eFailure("Xvfb ended before it announced a display (" + server.EndDescription() + ")");
        number += c;
    }
    number.pop_back();
    return number;
}

}  // namespace

VirtualDisplay::VirtualDisplay(const std::filesystem::path& log) {
    Pipe announcement = OpenPipe();
    LaunchOptions options;
    // -displayfd: the server takes the first free display number and writes
    // it to the descriptor when it is ready.
    options.argv = {"Xvfb",    "-displayfd", std::to_string(announcement.write.Get()),
                    "-screen", "0",          "1024x768x24",
                    "-dpi",    "96",         "-nolisten",
                    "tcp",     "-noreset"};
    options.outputLog = log;
    options.inheritedFd = announcement.write.Get();
    server_ = std::make_unique<ChildProcess>(options);
    // Only the server holds the write end now: should it end before it
    // announces a display, the read sees the end of the pipe.
    announcement.write.Close();
    name_ = ":" + ReadDisplayNumber(announcement.read.Get(), *server_);
}

void VirtualDisplay::Screenshot(const std::filesystem::path& png) const {
    const CommandResult result = RunCommand({"import", "-window", "root", "-display", name_, png.string()}, {},
                                            kScreenshotTimeout, "a screenshot of display " + name_);
    if (!result.Succeeded()) throw E2eFailure("screenshot failed: " + result.Describe());
}

}  // namespace qax::e2e
