#include "standard_input.h"

#ifndef _WIN32
#include <poll.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "stop_signals.h"

namespace qax::tool {

namespace {

// The descriptor `fd` to its end, as ReadStandardInput reads standard
// input: a little wait at a time, so that a signal that comes just before
// the wait still ends it soon, however long the writer keeps it open.
#ifndef _WIN32
InputEnd ReadToEnd(int fd, const std::function<bool(const char*, std::size_t)>& take, int& reason) {
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
        if (StopRequested()) return InputEnd::Stopped;
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 100);
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
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
    }
}
#endif

// A named list or manifest to its end. On POSIX it is opened without
// waiting for a writer (a named pipe would otherwise hold the open until
// one comes, deaf to a stop) and read as standard input is; a pipe without
// a writer yet is waited for a little at a time.
InputEnd ReadNamedSource(const std::string& source, const std::function<bool(const char*, std::size_t)>& take,
                         int& reason) {
#ifdef _WIN32
    std::ifstream file(PathFromUtf8(source), std::ios::binary);
    if (!file) {
        reason = errno != 0 ? errno : ENOENT;
        return InputEnd::Failed;
    }
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
        if (StopRequested()) return InputEnd::Stopped;
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(file.gcount());
        if (got > 0 && !take(buffer.data(), got)) {
            reason = errno != 0 ? errno : EIO;
            return InputEnd::Failed;
        }
        if (file.bad()) {
            reason = EIO;
            return InputEnd::Failed;
        }
        if (file.eof()) return InputEnd::Whole;
    }
#else
    // Closed however the read ends.
    struct Descriptor {
        int fd = -1;
        ~Descriptor() {
            if (fd >= 0) ::close(fd);
        }
    } opened;
    do {
        errno = 0;
        opened.fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (opened.fd < 0 && errno == EINTR);
    const int fd = opened.fd;
    if (fd < 0) {
        reason = errno;
        return InputEnd::Failed;
    }
    // A named pipe that no writer has opened yet reads as ended at once:
    // with a writer of its own besides the tool's, the end comes only when
    // that writer is gone. Holding a write end would keep it open forever,
    // so a pipe is instead waited on until its first writer comes.
    struct stat status {};
    const bool pipe = ::fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode);
    if (pipe) {
        for (;;) {
            if (StopRequested()) return InputEnd::Stopped;
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 100) > 0) break;
        }
    }
    return ReadToEnd(fd, take, reason);
#endif
}

}  // namespace

// Standard input to its end, in pieces handed to `take` (false: it failed,
// errno says why). A stop signal ends it at once, however long the writer
// of the input keeps it open.
InputEnd ReadStandardInput(const std::function<bool(const char*, std::size_t)>& take, int& reason) {
#ifdef _WIN32
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
        if (StopRequested()) return InputEnd::Stopped;
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
    }
#else
    return ReadToEnd(STDIN_FILENO, take, reason);
#endif
}

namespace {

// One UTF-16 code unit of two bytes, in the order the mark said.
char32_t Utf16Unit(const std::string& bytes, std::size_t at, bool bigEndian) {
    const auto first = static_cast<unsigned char>(bytes[at]);
    const auto second = static_cast<unsigned char>(bytes[at + 1]);
    return bigEndian ? (char32_t{first} << 8 | second) : (char32_t{second} << 8 | first);
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

// Windows editors often begin a UTF-8 file with a byte-order mark, and
// PowerShell 5's `>` writes UTF-16 with one: the mark says how the text is
// written, and is no part of it. Without a mark the bytes are taken as
// they are, as every other tool here takes them.
std::optional<std::string> AsUtf8Text(std::string& bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        bytes.erase(0, 3);
        return std::nullopt;
    }
    const bool littleEndian = bytes.starts_with("\xFF\xFE");
    if (!littleEndian && !bytes.starts_with("\xFE\xFF")) return std::nullopt;
    const char* const encoding = littleEndian ? "UTF-16LE" : "UTF-16BE";
    if (bytes.size() % 2 != 0)
        return std::string("it begins with the byte-order mark of ") + encoding + " but ends in half a character";
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 2; at < bytes.size(); at += 2) {
        char32_t code = Utf16Unit(bytes, at, !littleEndian);
        if (code >= 0xD800 && code < 0xDC00 && at + 3 < bytes.size()) {
            const char32_t low = Utf16Unit(bytes, at + 2, !littleEndian);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (code >= 0xD800 && code < 0xE000)
            return std::string("it is ") + encoding + " by its byte-order mark, but its character " +
                   std::to_string(at / 2) + " is half a surrogate pair, which no text holds";
        AppendUtf8(text, code);
    }
    bytes = std::move(text);
    return std::nullopt;
}

// The entries of a list or the lines of a manifest: ended by newlines (a
// carriage return before one dropped), or by zero bytes with `null`, once
// read as text. The problem's exit status goes to `status` when it cannot
// be read whole.
std::optional<std::vector<SourceLine>> ReadSource(const std::string& source, bool null, TerminalSink& sink,
                                                  int& status) {
    std::string bytes;
    bool tooLong = false;
    status = kFailed;
    const auto take = [&bytes, &tooLong](const char* piece, std::size_t count) {
        tooLong = count > kListByteLimit - bytes.size();
        if (!tooLong) bytes.append(piece, count);
        return !tooLong;
    };
    const std::string name = source == "-" ? std::string("standard input") : source;
    int reason = 0;
    const InputEnd read = source == "-" ? ReadStandardInput(take, reason) : ReadNamedSource(source, take, reason);
    if (tooLong) {
        sink.Say(name + " holds more than " + std::to_string(kListByteLimit >> 20) +
                 " MiB, the most a manifest or a list of names may hold; nothing was read from it");
        return std::nullopt;
    }
    if (read == InputEnd::Failed) sink.Say("Could not read " + name + " (" + std::strerror(reason) + ")");
    if (read != InputEnd::Whole) return std::nullopt;
    return SplitSource(std::move(bytes), name, null, sink, status);
}

std::optional<std::vector<SourceLine>> SplitSource(std::string bytes, const std::string& name, bool null,
                                                   TerminalSink& sink, int& status) {
    status = kFailed;
    if (const auto problem = AsUtf8Text(bytes)) {
        sink.Say(name + ": " + *problem);
        status = kBadUsage;
        return std::nullopt;
    }
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
