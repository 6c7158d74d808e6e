#include "standard_input.h"

#ifndef _WIN32
#include <poll.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "stop_signals.h"

namespace qax::tool {

// Standard input to its end, in pieces handed to `take` (false: it failed,
// errno says why). A stop signal ends it at once, however long the writer
// of the input keeps it open.
InputEnd ReadStandardInput(const std::function<bool(const char*, std::size_t)>& take, int& reason) {
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
        if (StopRequested()) return InputEnd::Stopped;
#ifdef _WIN32
        errno = 0;
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), stdin);
        if (got > 0 && !take(buffer.data(), got)) {
            reason = errno != 0 ? errno : EIO;
            return InputEnd::Failed;
        }
        if (got == buffer.size()) continue;
        if (std::feof(stdin)) return InputEnd::Whole;
        if (errno == EINTR) {
            std::clearerr(stdin);
            continue;
        }
        reason = errno != 0 ? errno : EIO;
        return InputEnd::Failed;
#else
        // Waits a little at a time, so that a signal that comes just before
        // the wait still ends it soon.
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 100);
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got == 0) return InputEnd::Whole;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            reason = errno;
            return InputEnd::Failed;
        }
        if (!take(buffer.data(), static_cast<std::size_t>(got))) {
            reason = errno != 0 ? errno : EIO;
            return InputEnd::Failed;
        }
#endif
    }
}

// The entries of a list or the lines of a manifest: ended by newlines (a
// carriage return before one dropped), or by zero bytes with `null`. The
// problem's exit status goes to `status` when it cannot be read whole.
std::optional<std::vector<SourceLine>> ReadSource(const std::string& source, bool null, TerminalSink& sink,
                                                  int& status) {
    std::string bytes;
    status = kFailed;
    if (source == "-") {
        int reason = 0;
        const InputEnd end = ReadStandardInput(
            [&bytes](const char* piece, std::size_t count) {
                bytes.append(piece, count);
                return true;
            },
            reason);
        if (end == InputEnd::Failed)
            sink.Say(std::string("Could not read standard input (") + std::strerror(reason) + ")");
        if (end != InputEnd::Whole) return std::nullopt;
    } else {
        std::ifstream file(PathFromUtf8(source), std::ios::binary);
        if (!file) {
            sink.Say("Could not open " + source + " (" + std::strerror(errno) + ")");
            return std::nullopt;
        }
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (file.bad()) {
            sink.Say("Could not read " + source);
            return std::nullopt;
        }
    }
    const std::string name = source == "-" ? std::string("standard input") : source;
    const char end = null ? '\0' : '\n';
    std::vector<SourceLine> lines;
    std::size_t number = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t stop = bytes.find(end, at);
        if (stop == std::string::npos) stop = bytes.size();
        std::string text = bytes.substr(at, stop - at);
        at = stop + 1;
        ++number;
        if (!null && !text.empty() && text.back() == '\r') text.pop_back();
        const std::string where = name + (null ? ", entry " : ", line ") + std::to_string(number);
        // A zero byte would end the name where the system reads it: what
        // was meant is not what would be acted on.
        if (text.find('\0') != std::string::npos) {
            sink.Say(where + ": a name or file name cannot hold a zero byte");
            status = kBadUsage;
            return std::nullopt;
        }
        lines.push_back({std::move(text), where});
    }
    return lines;
}

}  // namespace qax::tool
