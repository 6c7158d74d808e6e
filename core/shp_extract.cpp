// Extraction: the selected Shp member, byte for byte, to <editor dir>/<name>.SHP
// (and, for qaxtool, a Txt member to <name>.TXT).
//
// Name, size and offset come from the catalogue line, once the index has
// confirmed that the line still describes its entry. The file is written
// beside its final name and renamed over it once complete, so a failure never
// leaves a half-written file where an earlier one was.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive_ops.h"
#include "catalogue.h"
#include "file_access.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"

namespace qax {

namespace {

constexpr std::size_t kExtractBufferSize = std::size_t{1} << 20;

// The name becomes a file name in the editor's directory, so it must not be
// able to name anything else.
Refusal MemberNameRefusal(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
        return "The member name \"" + name +
               "\" cannot be used as a file name in the editor's directory.\nNothing was written.";
    return {};
}

Refusal DataFileRefusal(FileSystem& fs, const DataSetPaths& paths, const std::string& outputPath) {
    for (const std::string* dataFile : {&paths.ShpArchivePath, &paths.IndexPath, &paths.SectionPath,
                                        &paths.TxtArchivePath, &paths.PalArchivePath, &paths.TempPath}) {
        if (fs.SameFile(outputPath, *dataFile))
            return "The output file " + outputPath + " is the data file " + *dataFile +
                   " under another name.\nNothing was written.";
    }
    return {};
}

// What an extracted member's file is called after: NAME.SHP, NAME.TXT.
const char* OutputEnding(int group) {
    return group == Txt ? ".TXT" : ".SHP";
}

const std::string& ArchiveOf(const DataSetPaths& paths, int group) {
    return group == Txt ? paths.TxtArchivePath : paths.ShpArchivePath;
}

// The member name an unfinished output of `group`'s file name stands for,
// if it is one: NAME.SHP.new, or .NAME.SHP.<16 hexadecimal digits>.new.
std::optional<std::string> UnfinishedOutputOf(const std::string& fileName, int group) {
    const std::string typeEnding = OutputEnding(group);
    const std::string ending = typeEnding + ".new";
    if (fileName.size() > ending.size() &&
        fileName.compare(fileName.size() - ending.size(), ending.size(), ending) == 0)
        return fileName.substr(0, fileName.size() - ending.size());
    const std::string randomEnding = typeEnding + ".0123456789abcdef.new";
    if (fileName.size() > randomEnding.size() + 1 && fileName[0] == '.' &&
        fileName.compare(fileName.size() - 4, 4, ".new") == 0 &&
        fileName.compare(fileName.size() - randomEnding.size(), 5, typeEnding + ".") == 0) {
        const std::string hex = fileName.substr(fileName.size() - 20, 16);
        if (hex.find_first_not_of("0123456789abcdef") == std::string::npos)
            return fileName.substr(1, fileName.size() - randomEnding.size() - 1);
    }
    return std::nullopt;
}

// Whether the file at `path` (a regular file of its own) holds nothing but
// the first bytes of `member` in `archive`.
bool HoldsOnlyTheStartOf(FileSystem& fs, const std::string& path, File& archive, const IndexEntry& member) {
    auto file = fs.Open(path, OpenMode::ReadOwn);
    const std::uint64_t length = file->Length();
    if (member.size < 0 || length > static_cast<std::uint64_t>(member.size) ||
        std::uint64_t{member.offset} + length > archive.Length())
        return false;
    archive.Seek(member.offset);
    std::vector<unsigned char> mine(kExtractBufferSize), theirs(kExtractBufferSize);
    for (std::uint64_t left = length; left > 0;) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, kExtractBufferSize));
        if (!ReadExactly(*file, mine.data(), chunk) || !ReadExactly(archive, theirs.data(), chunk) ||
            !std::equal(mine.begin(), mine.begin() + static_cast<std::ptrdiff_t>(chunk), theirs.begin()))
            return false;
        left -= chunk;
    }
    return true;
}

}  // namespace

std::string RemoveUnfinishedExtractions(FileSystem& fs, const DataSetPaths& paths, const std::string& directory,
                                        int group) {
    struct Candidate {
        std::string path;
        std::string name;
    };
    std::vector<Candidate> candidates;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec))
        if (const auto name = UnfinishedOutputOf(entry.path().filename().string(), group))
            candidates.push_back({entry.path().string(), *name});
    if (candidates.empty()) return {};

    std::string text;
    try {
        const IndexImage index = IndexImage::Load(fs, paths.IndexPath);
        const CurrentSectionTable current = ReadCurrentSectionTable(fs, paths, index.Length());
        if (current.refusal) return {};
        auto archive = fs.Open(ArchiveOf(paths, group), OpenMode::Read);
        for (const auto& [path, name] : candidates) {
            bool proven = false;
            for (std::uint32_t line = 0; line < current.table.EntryCount(group) && !proven; ++line) {
                const IndexEntry member = index.EntryAt(EntryOffset(current.table, group, line));
                try {
                    proven = member.name == name && HoldsOnlyTheStartOf(fs, path, *archive, member);
                } catch (const IoError&) {
                    // Not a regular file of its own, or unreadable: not proven.
                }
            }
            if (!proven) continue;
            try {
                RemoveLeftover(fs, path);
                text += "\n\nAn unfinished extraction, " + path + ", was removed.";
            } catch (const IoError& error) {
                text += "\n\nAn unfinished extraction, " + path + ", could not be removed (" +
                        error.Reason().message() + "); it is not needed and can be deleted.";
            }
        }
    } catch (const IoError&) {
        // The data set cannot be read now: nothing is proven, nothing removed.
    }
    return text;
}

ArchiveOutcome ExtractShpMember(const ArchiveContext& context, const ListedLine& selected,
                                const std::string& editorDir) {
    return ExtractMember(context, Shp, selected, editorDir);
}

ArchiveOutcome ExtractMember(const ArchiveContext& context, int group, const ListedLine& selected,
                             const std::string& editorDir) {
    const CatalogueEntry member = ReadCatalogueLine(selected.text);
    FileSystem& fs = context.fs;
    ReportSink& sink = context.sink;

    if (const Refusal refusal = StartUpRefusal(context.table)) return Refuse(sink, *refusal, kExtractCaption);
    if (const Refusal refusal = MemberNameRefusal(member.name)) return Refuse(sink, *refusal, kExtractCaption);
    if (member.size < 0)
        return Refuse(sink,
                      "The line of " + member.name + " gives it a negative size (" + std::to_string(member.size) +
                          ").\nNothing was written.",
                      kExtractCaption);
    const std::string outputPath = editorDir + kPathSeparator + member.name + OutputEnding(group);
    if (const Refusal refusal = DataFileRefusal(fs, context.paths, outputPath))
        return Refuse(sink, *refusal, kExtractCaption);

    // An earlier extraction the user may not write is not replaced behind
    // their back; a link of that name is replaced, never written through.
    if (fs.IsRegularFile(outputPath) && LinkTarget(outputPath) == outputPath && !fs.MayWrite(outputPath)) {
        FileErrorReport(sink, outputPath);
        return ArchiveOutcome::Failed;
    }
    const auto lock = LockDataSet(context, DataSetUse::Read, kExtractCaption);
    if (!lock) return ArchiveOutcome::Refused;

    const std::uint64_t size = static_cast<std::uint64_t>(member.size);
    std::optional<SaveFile> output;
    try {
        // The line is trusted only while the index still gives it: another
        // program may have rewritten the data set since it was listed.
        const IndexImage index = IndexImage::Load(fs, context.paths.IndexPath);
        const CurrentSectionTable current = ReadCurrentSectionTable(fs, context.paths, index.Length());
        if (current.refusal) return Refuse(sink, *current.refusal, kExtractCaption);
        if (const Refusal refusal = StaleSelectionRefusal(index, current.table, group, selected)) {
            sink.ShowMessage(*refusal, kExtractCaption);
            return ArchiveOutcome::Stale;
        }

        const std::string& archivePath = ArchiveOf(context.paths, group);
        auto archive = fs.Open(archivePath, OpenMode::Read);
        const std::uint64_t archiveLength = archive->Length();
        // Checked before the output is touched: bytes that are not in the
        // archive must never be written as if they were the member's.
        if (std::uint64_t{member.offset} + size > archiveLength)
            return Refuse(sink,
                          "The member " + member.name + " runs past the end of " + archivePath + " (it ends at byte " +
                              std::to_string(std::uint64_t{member.offset} + size) + ", the archive has " +
                              std::to_string(archiveLength) +
                              ").\nThe list does not match the archive; nothing was written.",
                          kFileErrorCaption);
        archive->Seek(member.offset);
        output.emplace(fs, outputPath, SaveFile::Links::ReplaceLink);
        std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, kExtractBufferSize)));
        CopyExactly(*archive, output->Stream(), size, buffer);
        archive->Close();
        // Only a complete file takes the output's name.
        output->Commit();
    } catch (const IoError& error) {
        if (output && output->Renamed()) {
            sink.ShowMessage("The member was extracted to " + outputPath + ", but " + FileErrorText(error) +
                                 "\nThe file may not survive a power cut.",
                             kExtractCaption);
            return ArchiveOutcome::Done;
        }
        std::string unfinished;
        try {
            if (output) output->Cancel();
        } catch (const IoError& removal) {
            unfinished = "\n\nThe unfinished file " + SaveFile::PartialPathOf(outputPath) + " could not be removed (" +
                         removal.Reason().message() + "); it is not needed and can be deleted.";
        }
        sink.ShowFileError(FileErrorText(error) + unfinished, kFileErrorCaption, error.Reason().message());
        return ArchiveOutcome::Failed;
    }
    return ArchiveOutcome::Done;
}

// ---------------------------------------------------------------------------
// Many members at once (qaxtool extract): one lock, one reading of the index
// and the section file, one open archive; every file written beside its name
// and closed, then one wait for the disk for all of them, then each takes its
// name, and the directory is flushed once. A crash before the renames leaves
// only unfinished files (removed by the next extraction into the same
// directory, once proved to be the members' own bytes); after them, whole
// files.

ArchiveOutcome ExtractMembers(const ArchiveContext& context, int group, const std::vector<ListedLine>& members,
                              const std::string& directory, std::vector<std::string>& written) {
    FileSystem& fs = context.fs;
    ReportSink& sink = context.sink;
    if (const Refusal refusal = StartUpRefusal(context.table)) return Refuse(sink, *refusal, kExtractCaption);
    const auto lock = LockDataSet(context, DataSetUse::Read, kExtractCaption);
    if (!lock) return ArchiveOutcome::Refused;

    bool allWritten = true;
    struct Output {
        std::unique_ptr<SaveFile> file;
        std::string path;
    };
    std::vector<Output> outputs;
    try {
        const IndexImage index = IndexImage::Load(fs, context.paths.IndexPath);
        const CurrentSectionTable current = ReadCurrentSectionTable(fs, context.paths, index.Length());
        if (current.refusal) return Refuse(sink, *current.refusal, kExtractCaption);
        const std::string& archivePath = ArchiveOf(context.paths, group);
        auto archive = fs.Open(archivePath, OpenMode::Read);
        const std::uint64_t archiveLength = archive->Length();
        std::vector<unsigned char> buffer(kExtractBufferSize);
        for (const ListedLine& selected : members) {
            const CatalogueEntry member = ReadCatalogueLine(selected.text);
            const std::string outputPath = directory + kPathSeparator + member.name + OutputEnding(group);
            Refusal refusal = MemberNameRefusal(member.name);
            if (!refusal && member.size < 0)
                refusal = "The line of " + member.name + " gives it a negative size (" + std::to_string(member.size) +
                          ").\nNothing was written.";
            // Only a name that is there already can be a data file's, or
            // one the user may not write.
            const bool outputThere = fs.Exists(outputPath);
            if (!refusal && outputThere) refusal = DataFileRefusal(fs, context.paths, outputPath);
            if (!refusal) refusal = StaleSelectionRefusal(index, current.table, group, selected);
            const std::uint64_t size = member.size < 0 ? 0 : static_cast<std::uint64_t>(member.size);
            if (!refusal && std::uint64_t{member.offset} + size > archiveLength)
                refusal = "The member " + member.name + " runs past the end of " + archivePath +
                          ".\nThe list does not match the archive; nothing was written.";
            if (!refusal && outputThere && fs.IsRegularFile(outputPath) && LinkTarget(outputPath) == outputPath &&
                !fs.MayWrite(outputPath))
                refusal = "The file " + outputPath + " is there already and may not be written.\nNothing was written.";
            if (refusal) {
                sink.ShowMessage(*refusal, kExtractCaption);
                allWritten = false;
                continue;
            }
            outputs.push_back({std::make_unique<SaveFile>(fs, outputPath, SaveFile::Links::ReplaceLink), outputPath});
            archive->Seek(member.offset);
            CopyExactly(*archive, outputs.back().file->Stream(), size, buffer);
            outputs.back().file->Close();
        }
        archive->Close();
        if (!outputs.empty()) {
            fs.SyncFileSystemOf(directory);
            for (Output& output : outputs) {
                output.file->CommitDurable();
                written.push_back(output.path);
            }
            fs.SyncDirectoryOf(outputs.back().path);
        }
    } catch (const IoError& error) {
        std::string unfinished;
        for (Output& output : outputs) {
            try {
                output.file->Cancel();
            } catch (const IoError& removal) {
                unfinished += "\n\nThe unfinished file " + output.file->PartialPath() + " could not be removed (" +
                              removal.Reason().message() + "); it is not needed and can be deleted.";
            }
        }
        sink.ShowFileError(FileErrorText(error) + unfinished, kFileErrorCaption, error.Reason().message());
        return ArchiveOutcome::Failed;
    }
    return allWritten ? ArchiveOutcome::Done : ArchiveOutcome::Failed;
}

}  // namespace qax
