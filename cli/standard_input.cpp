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
