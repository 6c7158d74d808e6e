#include "tool_output.h"

#include <cerrno>

namespace qax::tool {

// Standard output, with the system's reason when it cannot be written (a
// full disk, a closed pipe).
bool WriteOut(const std::string& bytes, TerminalSink& sink) {
    errno = 0;
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

// A member's place in its archive, as the JSON documents give it; an
// offset not known yet (a dry run's) is null.
std::string JsonPlace(std::int64_t size, std::optional<std::uint32_t> offset) {
    return "{\"size\": " + std::to_string(size) +
           ", \"offset\": " + (offset ? std::to_string(*offset) : std::string("null")) + "}";
}

}  // namespace qax::tool
