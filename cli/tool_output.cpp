#include "tool_output.h"

#include <cerrno>

namespace qax::tool {

// Standard output, with the system's reason when it cannot be written (a
// full disk, a closed pipe).
bool WriteOut(const std::string& bytes, TerminalSink& sink) {
    errno = 0;
    sink.NoteOutputWritten();
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0) return true;
    sink.Say(std::string("Could not write to standard output (") +
             (errno != 0 ? std::strerror(errno) : "the stream failed") + ")");
    return false;
}

// Names as JSON strings: the index holds bytes, shown as Latin-1 characters.
// Paths and sentences are the program's own UTF-8 and go as they are.
std::string JsonString(const std::string& bytes, JsonText text) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F || (byte > 0x7F && text == JsonText::Latin1)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

namespace {

// The length of the UTF-8 sequence at `at` and its code point; 0 when the
// bytes there are no UTF-8.
std::size_t Utf8Sequence(const std::string& text, std::size_t at, char32_t& code) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length == 0 || at + length > text.size()) return 0;
    code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
    return length;
}

bool Invisible(char32_t code) {
    return code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0) || code == 0xA0 || code == 0xAD ||
           (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
           (code >= 0x2060 && code <= 0x2064) || code == 0xFEFF;
}

}  // namespace

std::string Visible(const std::string& text) {
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const std::size_t length = Utf8Sequence(text, at, code);
        char escaped[12];
        if (length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X",
                          static_cast<unsigned>(static_cast<unsigned char>(text[at])));
            shown += escaped;
            ++at;
            continue;
        }
        if (Invisible(code)) {
            if (code < 0x80)
                std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(code));
            else
                std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(code));
            shown += escaped;
        } else {
            shown.append(text, at, length);
        }
        at += length;
    }
    return shown;
}

std::string RefusalJson(const std::string& command, int status, const TerminalSink& sink, const std::string& holders) {
    const std::string kind = status == kBadUsage          ? "usage"
                             : status == kBusy            ? "busy"
                             : status > 128               ? "stopped"
                             : sink.RefusalKind().empty() ? "failed"
                                                          : sink.RefusalKind();
    std::string out = "{\"command\": " + JsonString(command, JsonText::Utf8) +
                      ", \"refused\": true, \"status\": " + std::to_string(status) + ", \"kind\": \"" + kind +
                      "\", \"text\": " + JsonString(sink.Said(), JsonText::Utf8);
    if (kind == "busy") out += ", \"holders\": " + (holders.empty() ? "null" : JsonString(holders, JsonText::Utf8));
    out += ", \"members\": [";
    bool first = true;
    for (const std::string& member : sink.RefusedMembers()) {
        out += (first ? "\n  " : ",\n  ") + member;
        first = false;
    }
    return out + (first ? "]}\n" : "\n]}\n");
}

// A member's place in its archive, as the JSON documents give it; an
// offset not known yet (a dry run's) is null.
std::string JsonPlace(std::int64_t size, std::optional<std::uint32_t> offset) {
    return "{\"size\": " + std::to_string(size) +
           ", \"offset\": " + (offset ? std::to_string(*offset) : std::string("null")) + "}";
}

}  // namespace qax::tool
