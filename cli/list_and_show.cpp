#include "catalogue.h"
#include "commands.h"
#include "member_names.h"

namespace qax::tool {

int List(FileSystem& fs, const DataSetPaths& paths, int group, const CommandLine& line, TerminalSink& sink) {
    const auto lock = ReadingLock(fs, paths, sink);
    if (!lock) return kFailed;
    const auto listing = ListGroup(fs, paths, group, sink);
    if (!listing) return kFailed;
    const std::vector<std::string> patterns(line.words.begin() + 1, line.words.end());
    // A pattern that matches nothing is told, and the others still listed.
    int status = kSuccess;
    std::vector<bool> wanted(listing->lines.size(), patterns.empty());
    for (const std::string& pattern : patterns) {
        const std::vector<int> found = LinesMatching(*listing, pattern, line.ignoreCase);
        if (found.empty()) {
            SayNoMatch(*listing, pattern, sink);
            status = kFailed;
        }
        for (const int i : found) wanted[static_cast<std::size_t>(i)] = true;
    }

    const char end = line.null ? '\0' : '\n';
    std::string out = line.json ? "[" : "";
    bool first = true;
    for (std::size_t i = 0; i < listing->lines.size(); ++i) {
        if (!wanted[i]) continue;
        const IndexEntry& entry = listing->entries[i];
        if (line.json) {
            const std::uint64_t place =
                (EntryOffset(listing->table, group, static_cast<std::uint32_t>(i)) - kIndexHeaderSize) /
                kIndexEntrySize;
            out += std::string(first ? "\n" : ",\n") + "  {\"type\": \"" + GroupWord(group) +
                   "\", \"line\": " + std::to_string(i) + ", \"entry\": " + std::to_string(place) +
                   ", \"name\": " + JsonString(listing->NameAt(i)) + ", \"size\": " + std::to_string(entry.size) +
                   ", \"offset\": " + std::to_string(entry.offset) + "}";
        } else {
            out += (line.names ? listing->NameAt(i) : listing->lines[i]) + end;
        }
        first = false;
    }
    if (line.json) out += first ? "]\n" : "\n]\n";
    return WriteOut(out, sink) ? status : kFailed;
}

int Show(FileSystem& fs, const DataSetPaths& paths, const CommandLine& line, TerminalSink& sink) {
    // One lock over the listing and the read: the line read is the line used.
    const auto lock = ReadingLock(fs, paths, sink);
    if (!lock) return kFailed;
    const int group = *line.type;
    const auto listing = ListGroup(fs, paths, group, sink);
    if (!listing) return kFailed;
    OtherTypeHint other(fs, paths, group, "show", "", sink);
    const auto found = LineNamed(*listing, line.words[1], line.ignoreCase, sink, &other);
    if (!found) return kFailed;
    const CatalogueEntry member = ReadCatalogueLine(listing->lines[static_cast<std::size_t>(*found)]);
    if (member.size < 0) {
        sink.Say("The index gives the member " + member.name + " a negative size (" + std::to_string(member.size) +
                 "); it is damaged.");
        return kFailed;
    }
    const auto bytes = ReadWholeMember(fs, paths, group, member, sink);
    if (!bytes) return kFailed;
    return WriteOut(*bytes, sink) ? kSuccess : kFailed;
}

}  // namespace qax::tool
