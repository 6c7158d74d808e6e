#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "catalogue.h"
#include "commands.h"
#include "member_names.h"
#include "replacement_inputs.h"

namespace qax::tool {

namespace {

// One group's members, resolved against the index as it is now.
std::optional<GroupReplacements> ResolveGroup(FileSystem& fs, const DataSetPaths& paths, int group,
                                              const std::vector<Pair>& pairs, const CommandLine& line,
                                              const SpooledInput& spool, TerminalSink& sink) {
    const auto listing = ListGroup(fs, paths, group, sink);
    if (!listing) return std::nullopt;
    std::vector<std::string> names;
    for (const Pair& pair : pairs) names.push_back(pair.name);
    // A manifest gives the type on its line: there the hint names the type.
    OtherTypeHint other(fs, paths, group, line.words[0] == "replace" ? "replace" : "", "=FILE", sink);
    const auto found = LinesNamed(*listing, names, line.ignoreCase, sink, &other);
    if (!found) return std::nullopt;
    GroupReplacements batch{group, {}};
    for (std::size_t i = 0; i < found->size(); ++i)
        batch.replacements.push_back({(*found)[i], pairs[i].file == "-" ? spool.Path() : pairs[i].file});
    return batch;
}

// The guards, each to the line of its member as the index lists it now.
std::optional<std::vector<MemberGuard>> ResolveGuards(FileSystem& fs, const DataSetPaths& paths,
                                                      const std::vector<GuardLine>& guards, const CommandLine& line,
                                                      TerminalSink& sink) {
    std::vector<MemberGuard> resolved;
    for (const int group : {Txt, Shp}) {
        std::vector<std::string> names;
        std::vector<const GuardLine*> ofGroup;
        for (const GuardLine& guard : guards)
            if (guard.group == group) {
                names.push_back(guard.name);
                ofGroup.push_back(&guard);
            }
        if (names.empty()) continue;
        const auto listing = ListGroup(fs, paths, group, sink);
        if (!listing) return std::nullopt;
        const auto found = LinesNamed(*listing, names, line.ignoreCase, sink, nullptr);
        if (!found) return std::nullopt;
        for (std::size_t i = 0; i < found->size(); ++i)
            resolved.push_back({group, (*found)[i], ofGroup[i]->size, ofGroup[i]->crc32});
    }
    return resolved;
}

// Why the undo will give every member its bytes back but not txt.qax and
// the index as they were: the rebuild lays txt.qax out anew from
// `changes` (TextLayoutChanges). Nothing when there are none.
std::string UndoLayoutNote(const std::string& changes, bool dryRun) {
    if (changes.empty()) return {};
    return dryRun ? "txt.qax does not lie back to back in index order, each member with bytes of its own (" + changes +
                        "), and the rebuild would lay it out so: taking the mod off would give every member its "
                        "bytes back, but txt.qax and the index would stay laid out anew, not byte for byte as they "
                        "are now."
                  : "txt.qax did not lie back to back in index order, each member with bytes of its own (" + changes +
                        "), and the rebuild has laid it out so: taking the mod off gives every member its bytes "
                        "back, but txt.qax and the index stay laid out anew, not byte for byte as they were.";
}

// What was replaced (or, in a dry run, would be): per member its place
// before and after; a dry run knows the new size, not where the rebuild
// will put the member. With an undo, whether taking the mod off leaves
// the data files byte for byte as they were, and when not, the note why.
std::string ReplacementsJson(const ArchiveContext& context, const std::vector<GroupReplacements>& batches,
                             const CommandLine& line, const std::string& layoutNote,
                             const std::function<std::string(const MemberReplacement&)>& fileOf) {
    std::string undo;
    if (!line.undoDir.empty()) {
        undo = ", \"undo\": " + JsonString(line.undoDir, JsonText::Utf8) +
               ", \"undoByteForByte\": " + (layoutNote.empty() ? "true" : "false");
        if (!layoutNote.empty()) undo += ", \"note\": " + JsonString(layoutNote, JsonText::Utf8);
    }
    std::string out = "{\"command\": \"" + line.words[0] + "\", \"dryRun\": " + (line.dryRun ? "true" : "false") +
                      undo + ", \"members\": [";
    bool first = true;
    for (const GroupReplacements& batch : batches) {
        const std::vector<std::string> after =
            line.dryRun ? std::vector<std::string>()
                        : FillCatalogue(context.fs, context.paths.IndexPath, context.table, batch.group);
        for (const MemberReplacement& member : batch.replacements) {
            const CatalogueEntry before = ReadCatalogueLine(member.selected.text);
            const auto number = static_cast<std::size_t>(member.selected.number);
            std::string afterPlace = "null";
            if (line.dryRun) {
                std::error_code ec;
                const auto size = std::filesystem::file_size(PathFromUtf8(member.replacementFileName), ec);
                if (!ec) afterPlace = JsonPlace(static_cast<std::int64_t>(size), std::nullopt);
            } else if (number < after.size()) {
                const CatalogueEntry now = ReadCatalogueLine(after[number]);
                afterPlace = JsonPlace(now.size, now.offset);
            }
            out += std::string(first ? "\n" : ",\n") + "  {\"type\": \"" + GroupWord(batch.group) +
                   "\", \"name\": " + JsonString(before.name) + ", \"line\": " + std::to_string(number) +
                   ", \"file\": " + JsonString(fileOf(member), JsonText::Utf8) + ", \"result\": \"" +
                   (line.dryRun ? "would be replaced" : "replaced") +
                   "\", \"before\": " + JsonPlace(before.size, before.offset) + ", \"after\": " + afterPlace + "}";
            first = false;
        }
    }
    return out + (first ? "]}\n" : "\n]}\n");
}

// A guard that did not hold, for the refusal's JSON document: what the
// member was to hold and what it holds.
std::string GuardFailureJson(const GuardFailure& failure) {
    const auto crc = [](std::uint32_t value) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(value));
        return "\"" + std::string(hex) + "\"";
    };
    return "{\"type\": \"" + std::string(GroupWord(failure.group)) + "\", \"name\": " + JsonString(failure.name) +
           ", \"problem\": \"guard\", \"reason\": \"" + (failure.appliedBefore ? "applied already" : "changed since") +
           "\", \"expected\": {\"size\": " + std::to_string(failure.expectedSize) +
           ", \"crc32\": " + crc(failure.expectedCrc32) +
           "}, \"found\": {\"size\": " + std::to_string(failure.foundSize) +
           ", \"crc32\": " + (failure.foundCrc32 ? crc(*failure.foundCrc32) : std::string("null")) + "}}";
}

// The replaced members' new lines, for the script's log, in the order
// given; with --dry-run, what would be done.
int ReplaceBatches(const ArchiveContext& context, const std::vector<GroupReplacements>& batches,
                   const CommandLine& line, const CommandInput& input, std::vector<MemberGuard> guards,
                   TerminalSink& sink) {
    const SpooledInput& spool = input.spool;
    std::vector<GuardFailure> failedGuards;
    std::string layoutChanges;
    std::string undoReplaced;
    const ModOptions options{.mode = line.dryRun ? RunMode::DryRun : RunMode::Apply,
                             .guards = std::move(guards),
                             .guardFailures = &failedGuards,
                             .undoDirectory = line.undoDir,
                             .textLayoutChanges = &layoutChanges,
                             .undoReplaced = &undoReplaced};
    if (ReplaceMembers(context, batches, options) != ArchiveOutcome::Done) {
        for (const GuardFailure& failure : failedGuards) sink.AddRefusedMember(GuardFailureJson(failure));
        if (!failedGuards.empty()) sink.SetRefusalKind("guard");
        return kFailed;
    }
    if (!undoReplaced.empty()) sink.Note(undoReplaced);
    // The undo of an undo puts back what the undo took off: the mod.
    if (!line.undoDir.empty() && !line.dryRun)
        sink.Note("The undo is in " + line.undoDir + ": qaxtool apply " + line.undoDir +
                  (input.undo ? " puts the mod back on." : " takes the mod off again."));
    // Only an undo promises the files back: without one there is no round
    // trip to tell about.
    const std::string layoutNote = line.undoDir.empty() ? std::string() : UndoLayoutNote(layoutChanges, line.dryRun);
    if (!layoutNote.empty()) sink.Note(layoutNote);
    std::size_t count = 0;
    for (const GroupReplacements& batch : batches) count += batch.replacements.size();
    // Each file as the user gave it (a manifest's as the manifest writes
    // it, relative to the manifest's directory): one rule for every path
    // the tool prints.
    std::map<std::string, std::string> given;
    for (const Pair& pair : input.pairs)
        if (!pair.given.empty()) given[pair.file] = pair.given;
    const auto fileOf = [&spool, &given](const MemberReplacement& member) {
        if (spool.Filled() && member.replacementFileName == spool.Path()) return std::string("standard input");
        const auto found = given.find(member.replacementFileName);
        return found == given.end() ? member.replacementFileName : found->second;
    };
    if (line.json)
        return WriteOut(ReplacementsJson(context, batches, line, layoutNote, fileOf), sink) ? kSuccess : kFailed;
    if (line.dryRun) {
        for (const GroupReplacements& batch : batches)
            for (const MemberReplacement& member : batch.replacements)
                if (line.verbose)
                    sink.Say("would replace " + ReadCatalogueLine(member.selected.text).name + " (" +
                             GroupWord(batch.group) + ") with " + fileOf(member));
        sink.Note(count == 1
                      ? std::string("Dry run: the replacement would go ahead; nothing was changed.")
                      : "Dry run: all " + std::to_string(count) + " replacements would go ahead; nothing was changed.");
        return kSuccess;
    }
    std::string out;
    for (const GroupReplacements& batch : batches) {
        const std::vector<std::string> after =
            FillCatalogue(context.fs, context.paths.IndexPath, context.table, batch.group);
        for (const MemberReplacement& member : batch.replacements) {
            const auto number = static_cast<std::size_t>(member.selected.number);
            if (number < after.size()) out += after[number] + "\n";
            if (line.verbose)
                sink.Say("replaced " + ReadCatalogueLine(member.selected.text).name + " (" + GroupWord(batch.group) +
                         ") with " + fileOf(member));
        }
    }
    return WriteOut(out, sink) ? kSuccess : kFailed;
}

// Replace and apply alike: the pairs by group, each group in the order it
// first comes, resolved and replaced in one transaction.
}  // namespace

int ReplacePairs(const ArchiveContext& context, const CommandLine& line, const CommandInput& input,
                 TerminalSink& sink) {
    std::vector<int> order;
    std::map<int, std::vector<Pair>> byGroup;
    for (const Pair& pair : input.pairs) {
        if (!byGroup.count(pair.group)) order.push_back(pair.group);
        byGroup[pair.group].push_back(pair);
    }
    std::vector<GroupReplacements> batches;
    for (const int group : order) {
        const auto batch = ResolveGroup(context.fs, context.paths, group, byGroup[group], line, input.spool, sink);
        if (!batch) return kFailed;
        batches.push_back(*batch);
    }
    auto guards = ResolveGuards(context.fs, context.paths, input.guards, line, sink);
    if (!guards) return kFailed;
    if (input.undoSource == nullptr) return ReplaceBatches(context, batches, line, input, std::move(*guards), sink);
    // An undo's own files are read through its held directory, and proved
    // at every open.
    UndoReadingFileSystem undoFiles(context.fs, *input.undoSource, input.undoFiles);
    const ArchiveContext reading{undoFiles, context.paths, context.table, context.sink};
    return ReplaceBatches(reading, batches, line, input, std::move(*guards), sink);
}

}  // namespace qax::tool
