#include <filesystem>
#include <set>
#include <unordered_map>

#include "catalogue.h"
#include "commands.h"
#include "member_names.h"

namespace qax::tool {

namespace {

// Two members that would be written to one file (one name twice in the
// index, or two names that differ only in case, which many file systems
// take for one): the message naming them, or nothing.
std::optional<std::string> SameOutputProblem(const Listing& listing, const std::vector<int>& chosen) {
    std::unordered_map<std::string, std::vector<int>> byFile;
    std::vector<std::string> order;
    for (const int i : chosen) {
        auto& lines = byFile[Folded(listing.NameAt(static_cast<std::size_t>(i)))];
        if (lines.size() == 1) order.push_back(Folded(listing.NameAt(static_cast<std::size_t>(i))));
        lines.push_back(i);
    }
    if (order.empty()) return std::nullopt;
    std::string text;
    for (const std::string& file : order) {
        std::string names;
        const std::vector<int>& lines = byFile[file];
        for (std::size_t k = 0; k < lines.size(); ++k)
            names += std::string(k == 0                  ? ""
                                 : k + 1 == lines.size() ? " and "
                                                         : ", ") +
                     listing.NameAt(static_cast<std::size_t>(lines[k])) + " (line " + std::to_string(lines[k] + 1) +
                     ")";
        text += "\nThe members " + names + " would be extracted to the same file.";
    }
    return "Two members of one name cannot both be extracted:" + text + "\nNothing was extracted.";
}

}  // namespace

int Extract(const ArchiveContext& context, const CommandLine& line, const CommandInput& input, TerminalSink& sink) {
    const int group = *line.type;
    const std::vector<std::string>& patterns = input.patterns;
    // One shared lock over the whole batch: no replacement can come between
    // two members, and each extraction's own lock is then always granted.
    const auto lock = ReadingLock(context.fs, context.paths, sink);
    if (!lock) return kFailed;
    const auto listing = ListGroup(context.fs, context.paths, group, sink);
    if (!listing) return kFailed;

    // Every member once, in list order for --all, in the order asked for
    // otherwise; a pattern that matches nothing is told and the rest go on.
    int status = kSuccess;
    std::vector<std::string> unmatched;
    std::vector<int> chosen;
    std::vector<bool> seen(listing->lines.size(), false);
    const auto choose = [&](int i) {
        if (!seen[static_cast<std::size_t>(i)]) chosen.push_back(i);
        seen[static_cast<std::size_t>(i)] = true;
    };
    if (line.all)
        for (std::size_t i = 0; i < listing->lines.size(); ++i) choose(static_cast<int>(i));
    OtherTypeHint other(context.fs, context.paths, group, "extract", "", sink);
    for (const std::string& pattern : patterns) {
        const std::vector<int> found = LinesMatching(*listing, pattern, line.ignoreCase);
        if (found.empty()) {
            SayNoMatch(*listing, pattern, sink, &other, line.ignoreCase);
            unmatched.push_back(pattern);
            status = kFailed;
        }
        for (const int i : found) choose(i);
    }

    if (line.toStdout) {
        if (chosen.size() != 1) {
            sink.Say("--stdout takes exactly one member; " + std::to_string(chosen.size()) + " were named.");
            return kFailed;
        }
        const CatalogueEntry member = ReadCatalogueLine(listing->lines[static_cast<std::size_t>(chosen[0])]);
        if (member.size < 0) {
            sink.Say("The index gives the member " + member.name + " a negative size; it is damaged.");
            return kFailed;
        }
        const auto bytes = ReadWholeMember(context.fs, context.paths, group, member, sink);
        if (!bytes || !WriteOut(*bytes, sink)) return kFailed;
        return status;
    }
    // Refused before anything is written: one file would hold whichever
    // member came last, and the other would be extracted nowhere.
    if (const auto problem = SameOutputProblem(*listing, chosen)) {
        sink.Say(*problem);
        return kFailed;
    }

    std::filesystem::path outDir = line.outDir.empty()
                                       ? std::filesystem::current_path()
                                       : std::filesystem::absolute(PathFromUtf8(line.outDir)).lexically_normal();
    if (outDir.filename().empty()) outDir = outDir.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    if (ec) {
        sink.Say("The output directory " + Utf8Of(outDir) + " could not be made (" + ec.message() +
                 ").\nNothing was written.");
        return kFailed;
    }
    const std::string directory = Utf8Of(outDir);
    // Every path the tool prints is as the user gave it, relative to where
    // it was given: an extracted file is the output directory as --out gave
    // it (none: the current directory, so the file's name alone) and the
    // file's name.
    std::string givenDirectory = line.outDir;
    if (!givenDirectory.empty() && givenDirectory.back() != '/' && givenDirectory.back() != kPathSeparator)
        givenDirectory += kPathSeparator;
    const auto shown = [&](const std::string& path) { return givenDirectory + path.substr(directory.size() + 1); };
    // What an extraction of this type into the same directory left half
    // written when it died goes first, once, while the archive is whole.
    const std::string removed = RemoveUnfinishedExtractions(context.fs, context.paths, directory, group);
    if (!removed.empty()) sink.Note(removed.substr(2));

    // The member's name is bytes from the index, joined to the directory as
    // the extraction joins it.
    const char* ending = group == Txt ? ".TXT" : ".SHP";
    std::vector<ListedLine> members;
    std::set<int> kept;
    for (const int i : chosen) {
        const std::string name = listing->NameAt(static_cast<std::size_t>(i));
        const std::string output = directory + kPathSeparator + name + ending;
        // A name that cannot be the file's (on Windows, CON.SHP is the
        // console, there or not) is for the extraction to refuse, not kept.
        if (line.keepOld && IsExtractableName(name) && context.fs.Exists(output)) {
            sink.Note("kept " + shown(output) + ", which is there already");
            kept.insert(i);
            continue;
        }
        members.push_back({i, listing->lines[static_cast<std::size_t>(i)]});
    }
    std::vector<std::string> written;
    if (!members.empty() && ExtractMembers(context, group, members, directory, written) != ArchiveOutcome::Done)
        status = kFailed;
    std::string out;
    for (const std::string& path : written) {
        if (line.verbose) sink.Say("extracted " + shown(path));
        out += shown(path) + "\n";
    }
    if (line.json) {
        const std::set<std::string> done(written.begin(), written.end());
        out = "{\"command\": \"extract\", \"type\": \"" + std::string(GroupWord(group)) + "\", \"unmatched\": [";
        for (std::size_t k = 0; k < unmatched.size(); ++k) out += (k == 0 ? "" : ", ") + JsonString(unmatched[k]);
        out += "], \"members\": [";
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            const auto i = static_cast<std::size_t>(chosen[k]);
            const CatalogueEntry member = ReadCatalogueLine(listing->lines[i]);
            const std::string file = directory + kPathSeparator + listing->NameAt(i) + ending;
            out += std::string(k == 0 ? "\n" : ",\n") + "  {\"name\": " + JsonString(listing->NameAt(i)) +
                   ", \"line\": " + std::to_string(i) + ", \"member\": " + JsonPlace(member.size, member.offset) +
                   ", \"file\": " + JsonString(shown(file), JsonText::Utf8) + ", \"result\": \"" +
                   (done.count(file)        ? "extracted"
                    : kept.count(chosen[k]) ? "kept"
                                            : "not extracted") +
                   "\"}";
        }
        out += chosen.empty() ? "]}\n" : "\n]}\n";
    }
    if (!WriteOut(out, sink)) return kFailed;
    return status;
}

}  // namespace qax::tool
