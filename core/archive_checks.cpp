#include "archive_checks.h"

#include <cstdint>

namespace qax {

namespace {

const char* const kNothingChanged = "\nNothing was changed.";

}  // namespace

std::string StartUpRefusal(const SectionTable& table) {
    if (table != SectionTable{}) return {};
    return "The data set was not loaded when the editor started, so it is neither read nor changed.\n"
           "You must exit.";
}

std::string SelectionRefusal(int selectedLine, std::uint32_t entryCount) {
    if (selectedLine < 0)
        return std::string("No line is selected: select a member in the list first.") + kNothingChanged;
    if (static_cast<std::uint32_t>(selectedLine) >= entryCount)
        return "Line " + std::to_string(selectedLine + 1) + " is not in the list, which holds " +
               std::to_string(entryCount) + " members." + kNothingChanged;
    return {};
}

std::string SameFileRefusal(FileSystem& fs, const DataSetPaths& paths, const std::string& archivePath,
                            const std::string& replacementFileName) {
    struct Guarded {
        const std::string& path;
        const char* role;
    };
    for (const Guarded& guarded :
         {Guarded{archivePath, "the archive being rebuilt"}, Guarded{paths.IndexPath, "the index"},
          Guarded{paths.TempPath, "the temporary copy"}}) {
        if (fs.SameFile(replacementFileName, guarded.path))
            return "The replacement file\n" + replacementFileName + "\nis " + guarded.role + " (" + guarded.path +
                   "), which the replacement itself overwrites. Choose another file." + kNothingChanged;
    }
    for (const std::string* guarded : {&archivePath, &paths.IndexPath}) {
        if (fs.SameFile(paths.TempPath, *guarded))
            return "The temporary copy " + paths.TempPath + " is the data file " + *guarded +
                   " under another name; copying the archive there would destroy it." + kNothingChanged;
    }
    return {};
}

std::string LeftoverCopyRefusal(FileSystem& fs, const std::string& tempPath) {
    if (!fs.IsRegularFile(tempPath)) return {};
    return "A copy left by an earlier replacement that did not finish is still at\n" + tempPath +
           "\nIt may be the only complete copy of an archive. Check it (copy it back over its archive if that "
           "archive is damaged), then delete it and try again." +
           kNothingChanged;
}

std::string IndexGroupRefusal(const IndexImage& image, const SectionTable& table, int group,
                              const std::string& indexPath) {
    if (image.HoldsGroup(table, group)) return {};
    return "The index " + indexPath + " (" + std::to_string(image.Length()) +
           " bytes) does not hold the entries its section table describes; it does not match the data set." +
           kNothingChanged;
}

std::string MemberSizeRefusal(const std::vector<IndexEntry>& group) {
    for (const IndexEntry& entry : group) {
        if (entry.size < 0)
            return "The index gives the member " + entry.name + " a negative size (" + std::to_string(entry.size) +
                   "); it is damaged." + kNothingChanged;
    }
    return {};
}

std::string MemberBoundsRefusal(const std::vector<IndexEntry>& members, std::uint64_t archiveLength,
                                const std::string& archivePath) {
    for (const IndexEntry& entry : members) {
        const std::uint64_t end = std::uint64_t{entry.offset} + static_cast<std::uint64_t>(entry.size);
        if (end > archiveLength)
            return "The member " + entry.name + " runs past the end of " + archivePath + " (it ends at byte " +
                   std::to_string(end) + ", the archive has " + std::to_string(archiveLength) +
                   ").\nThe index does not match the archive." + kNothingChanged;
    }
    return {};
}

std::string NewSizeRefusal(std::uint64_t replacementLength, std::uint64_t newGroupLength,
                           const std::string& replacementFileName) {
    if (replacementLength > static_cast<std::uint64_t>(INT32_MAX))
        return "The replacement file " + replacementFileName + " has " + std::to_string(replacementLength) +
               " bytes; a member can hold at most " + std::to_string(INT32_MAX) + "." + kNothingChanged;
    if (newGroupLength > UINT32_MAX)
        return "With the replacement file " + replacementFileName + " the archive would grow to " +
               std::to_string(newGroupLength) + " bytes, past the 4 GiB that the index's offsets can address." +
               kNothingChanged;
    return {};
}

std::string ReplacementStartRefusal(const ArchiveContext& context, int group, const std::string& archivePath,
                                    int selectedLine, const std::string& replacementFileName) {
    std::string text = StartUpRefusal(context.table);
    if (text.empty()) text = SelectionRefusal(selectedLine, context.table.EntryCount(group));
    if (text.empty()) text = SameFileRefusal(context.fs, context.paths, archivePath, replacementFileName);
    if (text.empty()) text = LeftoverCopyRefusal(context.fs, context.paths.TempPath);
    return text;
}

ArchiveOutcome Refuse(ReportSink& sink, const std::string& text, const char* caption) {
    sink.ShowMessage(text, caption);
    return ArchiveOutcome::Refused;
}

}  // namespace qax
