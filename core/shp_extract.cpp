// Extraction: the selected Shp member, byte for byte, to <editor dir>/<name>.SHP
// (and, for qaxtool, a Txt member to <name>.TXT).
//
// Name, size and offset come from the catalogue line, once the index has
// confirmed that the line still describes its entry. The file is written
// beside its final name and renamed over it once complete, so a failure never
// leaves a half-written file where an earlier one was.
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
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
// able to name anything else: no other directory on any system, and on
// Windows no device, no stream of another file and no name the system
// would alter.
Refusal MemberNameRefusal(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos)
        return "The member name \"" + name +
               "\" cannot be used as a file name in the editor's directory.\nNothing was written.";
    if (const std::string problem = FileNameProblem(name); !problem.empty())
        return "The member name \"" + name + "\" cannot be used as a file name on this system: " + problem +
               ".\nNothing was written.";
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

// What keeps `member` from being written to `outputPath` at all: a name that
// is no file name, a negative size, or an output that is a data file under
// another name (only a name that is there already, `outputThere`, can be
// one).
Refusal OutputRefusal(FileSystem& fs, const DataSetPaths& paths, const CatalogueEntry& member,
                      const std::string& outputPath, bool outputThere) {
    if (Refusal refusal = MemberNameRefusal(member.name)) return refusal;
    if (member.size < 0)
        return "The line of " + member.name + " gives it a negative size (" + std::to_string(member.size) +
               ").\nNothing was written.";
    if (!outputThere) return {};
    return DataFileRefusal(fs, paths, outputPath);
}

// What an extracted member's file is called after: NAME.SHP, NAME.TXT.
const char* OutputEnding(int group) {
    return group == Txt ? ".TXT" : ".SHP";
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

// A batch extraction writes the files whose names are new straight under
// those names, and all of them reach the disk in one flush. Until then a
// power cut may keep a name without all of its bytes; so before the first
// of them is made, a note listing them is flushed to disk beside them, and
// removed once the batch is on disk. A note found later means a batch was
// cut short. What it lists is taken for that batch's only when the file is
// as the batch left it: made after the note (the system's change time of
// the file is not older than the note's, which no copy or unpacking of a
// file carries over) and holding only the first bytes of its member, fewer
// than the member has. A note planted among the user's files therefore
// finds them older than itself, and they stay.
constexpr const char* kBatchNotePrefix = ".qaxtool-extract-";
constexpr const char* kBatchNoteMagic = "QAXEXTRACT 2";
constexpr std::uint64_t kBatchNoteLimit = std::uint64_t{8} << 20;

std::string HexOf(std::uint32_t value) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) hex[static_cast<std::size_t>(i)] = kDigits[value & 0xFu];
    return hex;
}

std::uint32_t ChecksumOf(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

// The whole first line of a note: its type, and how many names and which
// bytes follow it, so that only a note written whole by this program, for
// this type, is ever taken for one.
std::string BatchNoteHeader(int group, std::size_t count, const std::string& listing) {
    return std::string(kBatchNoteMagic) + " " + OutputEnding(group) + " " + std::to_string(count) + " " +
           HexOf(ChecksumOf(listing));
}

struct BatchNote {
    enum class Kind { Ours, Empty, OtherType, NotOurs, Unreadable } kind = Kind::NotOurs;
    std::vector<std::string> names;  // the file names it lists (Ours)
    std::int64_t madeAt = 0;         // its change time (Ours)
};

// What the file at `path`, named like a note, is to a batch of `group`.
BatchNote ReadBatchNote(FileSystem& fs, const std::string& path, int group) {
    BatchNote note;
    try {
        auto file = fs.Open(path, OpenMode::ReadOwn);
        const std::uint64_t length = file->Length();
        // Empty, it lists nothing and holds nothing: what a power cut leaves
        // of a note whose bytes had not reached the disk.
        if (length == 0) {
            note.kind = BatchNote::Kind::Empty;
            return note;
        }
        if (length > kBatchNoteLimit) return note;
        std::string text(static_cast<std::size_t>(length), '\0');
        if (!ReadExactly(*file, text.data(), text.size())) return note;
        const std::size_t headerEnd = text.find('\n');
        if (headerEnd == std::string::npos) return note;
        const std::string listing = text.substr(headerEnd + 1);
        const auto count = static_cast<std::size_t>(std::count(listing.begin(), listing.end(), '\n'));
        if (!listing.empty() && listing.back() != '\n') return note;
        const std::string header = text.substr(0, headerEnd);
        const int other = group == Txt ? Shp : Txt;
        if (header == BatchNoteHeader(other, count, listing)) {
            note.kind = BatchNote::Kind::OtherType;
            return note;
        }
        const std::optional<std::int64_t> madeAt = file->ChangeTime();
        if (header != BatchNoteHeader(group, count, listing) || !madeAt) return note;
        std::size_t at = 0;
        for (std::size_t end; (end = listing.find('\n', at)) != std::string::npos; at = end + 1)
            note.names.push_back(listing.substr(at, end - at));
        note.madeAt = *madeAt;
        note.kind = BatchNote::Kind::Ours;
    } catch (const IoError&) {
        // Not a regular file of its own, or unreadable now: not ours to act
        // on, and nothing to say about it either.
        note.kind = BatchNote::Kind::Unreadable;
    }
    return note;
}

// Whether `file` holds nothing but the first bytes of `member` in `archive`.
// `shorter`: and fewer of them than the member has.
bool HoldsOnlyTheStartOf(File& file, File& archive, const IndexEntry& member, bool shorter = false) {
    const std::uint64_t length = file.Length();
    if (member.size < 0 || length > static_cast<std::uint64_t>(member.size) ||
        (shorter && length == static_cast<std::uint64_t>(member.size)) ||
        std::uint64_t{member.offset} + length > archive.Length())
        return false;
    archive.Seek(member.offset);
    file.Seek(0);
    std::vector<unsigned char> mine(kExtractBufferSize), theirs(kExtractBufferSize);
    for (std::uint64_t left = length; left > 0;) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, kExtractBufferSize));
        if (!ReadExactly(file, mine.data(), chunk) || !ReadExactly(archive, theirs.data(), chunk) ||
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
        // Listed by a note: made after this time, and short of its member.
        std::optional<std::int64_t> notMadeBefore;
        std::string note;
    };
    std::vector<Candidate> candidates;
    std::vector<std::string> notes;
    std::string text;
    const std::string ending = OutputEnding(group);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(PathFromUtf8(directory), ec)) {
        const std::string fileName = Utf8Of(entry.path().filename());
        const std::string entryPath = Utf8Of(entry.path());
        if (const auto name = UnfinishedOutputOf(fileName, group)) candidates.push_back({entryPath, *name, {}, {}});
        if (fileName.rfind(kBatchNotePrefix, 0) != 0) continue;
        const BatchNote note = ReadBatchNote(fs, entryPath, group);
        if (note.kind == BatchNote::Kind::OtherType || note.kind == BatchNote::Kind::Unreadable) continue;
        if (note.kind == BatchNote::Kind::NotOurs) {
            text += "\n\nThe file " + entryPath +
                    " has the name of an extraction's note, but it is no note this program wrote whole; it is left "
                    "alone.";
            continue;
        }
        notes.push_back(entryPath);
        for (const std::string& output : note.names)
            // Only names an extraction could have written: a note read
            // here is a file anyone may have put in the directory.
            if (output.size() > ending.size() &&
                output.compare(output.size() - ending.size(), ending.size(), ending) == 0 &&
                !MemberNameRefusal(output.substr(0, output.size() - ending.size())))
                candidates.push_back({Utf8Of(entry.path().parent_path() / PathFromUtf8(output)),
                                      output.substr(0, output.size() - ending.size()), note.madeAt, entryPath});
    }
    if (candidates.empty() && notes.empty()) return text;

    try {
        const IndexImage index = IndexImage::Load(fs, paths.IndexPath);
        const CurrentSectionTable current = ReadCurrentSectionTable(fs, paths, index.Length());
        if (current.refusal) return text;
        auto archive = fs.Open(ArchivePathOf(paths, group), OpenMode::Read);
        std::map<std::string, std::vector<IndexEntry>> membersNamed;
        for (std::uint32_t line = 0; line < current.table.EntryCount(group); ++line) {
            const IndexEntry member = index.EntryAt(EntryOffset(current.table, group, line));
            membersNamed[member.name].push_back(member);
        }
        for (const Candidate& candidate : candidates) {
            const bool listed = candidate.notMadeBefore.has_value();
            if (listed && !fs.Exists(candidate.path)) continue;
            bool proven = false;
            bool whole = false;
            try {
                auto file = fs.Open(candidate.path, OpenMode::ReadOwn);
                const std::optional<std::int64_t> madeAt = file->ChangeTime();
                const bool madeAfterNote = !listed || (madeAt && *madeAt >= *candidate.notMadeBefore);
                const auto members = membersNamed.find(candidate.name);
                if (members != membersNamed.end())
                    for (const IndexEntry& member : members->second) {
                        if (proven || whole) break;
                        proven = madeAfterNote && HoldsOnlyTheStartOf(*file, *archive, member, listed);
                        whole = listed && !proven && HoldsOnlyTheStartOf(*file, *archive, member) &&
                                file->Length() == static_cast<std::uint64_t>(member.size);
                    }
            } catch (const IoError&) {
                // Not a regular file of its own, or unreadable: not proven.
            }
            if (!proven) {
                // A whole member is what the batch finished; anything else
                // a note names is the user's as far as anyone can prove.
                if (listed && !whole)
                    text += "\n\nThe file " + candidate.path + " is listed by " + candidate.note +
                            ", the note of an extraction cut short, but it is not as that extraction left it; it is "
                            "left alone.";
                continue;
            }
            try {
                RemoveLeftover(fs, candidate.path);
                text += "\n\nAn unfinished extraction, " + candidate.path + ", was removed.";
            } catch (const IoError& error) {
                text += "\n\nAn unfinished extraction, " + candidate.path + ", could not be removed (" +
                        error.Reason().message() + "); it is not needed and can be deleted.";
            }
        }
        // Every file a note lists has been seen to: the note has done its work.
        for (const std::string& note : notes) {
            try {
                RemoveLeftover(fs, note);
            } catch (const IoError& error) {
                text += "\n\nThe note of an extraction cut short, " + note + ", could not be removed (" +
                        error.Reason().message() + "); it is not needed and can be deleted.";
            }
        }
    } catch (const IoError&) {
        // The data set cannot be read now: nothing is proven, nothing removed.
    }
    return text;
}

bool IsExtractableName(const std::string& name) {
    return !MemberNameRefusal(name);
}

ArchiveOutcome ExtractShpMember(const ArchiveContext& context, const ListedLine& selected,
                                const std::string& editorDir) {
    constexpr int group = Shp;
    const CatalogueEntry member = ReadCatalogueLine(selected.text);
    FileSystem& fs = context.fs;
    ReportSink& sink = context.sink;

    if (const Refusal refusal = StartUpRefusal(context.table)) return Refuse(sink, *refusal, kExtractCaption);
    const std::string outputPath = editorDir + kPathSeparator + member.name + OutputEnding(group);
    if (const Refusal refusal = OutputRefusal(fs, context.paths, member, outputPath, fs.Exists(outputPath)))
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

        const std::string& archivePath = ArchivePathOf(context.paths, group);
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
// and the section file, one open archive, and one wait for the disk. A file
// whose name is new is written under that name, after the batch's note (see
// above) is on disk; a file that replaces one already there is written
// beside it and takes its name once the batch is on disk, the directory then
// flushed once more. A crash leaves whole files, the files that were there,
// and what the next extraction into the same directory removes once it has
// proved it to be the start of a member's bytes.

namespace {

// Writes and flushes the note of a batch: the names of the files it is about
// to make, none of which is there now.
std::string WriteBatchNote(FileSystem& fs, const std::string& directory, int group,
                           const std::vector<std::string>& fileNames) {
    std::string listing;
    for (const std::string& fileName : fileNames) listing += fileName + "\n";
    const std::string text = BatchNoteHeader(group, fileNames.size(), listing) + "\n" + listing;
    const std::string path = directory + kPathSeparator + kBatchNotePrefix + RandomHex(8);
    auto note = fs.Open(path, OpenMode::CreateNew);
    try {
        note->Write(text.data(), text.size());
        note->Flush();
        note->Close();
        fs.SyncDirectoryOf(path);
    } catch (const IoError&) {
        // Made here with an exclusive create: its own to remove.
        note.reset();
        try {
            RemoveLeftover(fs, path);
        } catch (const IoError&) {
            // The failure the user must see is the one being thrown.
        }
        throw;
    }
    return path;
}

}  // namespace

ArchiveOutcome ExtractMembers(const ArchiveContext& context, int group, const std::vector<ListedLine>& members,
                              const std::string& directory, std::vector<std::string>& written) {
    FileSystem& fs = context.fs;
    ReportSink& sink = context.sink;
    if (const Refusal refusal = StartUpRefusal(context.table)) return Refuse(sink, *refusal, kExtractCaption);
    const auto lock = LockDataSet(context, DataSetUse::Read, kExtractCaption);
    if (!lock) return ArchiveOutcome::Refused;

    bool allWritten = true;
    // A file whose name is new is written under that name (`file`); one
    // that replaces a file of the user's is written beside it (`replacing`)
    // and takes its name only once its bytes are on disk.
    struct Output {
        std::unique_ptr<File> file;
        std::unique_ptr<SaveFile> replacing;
        std::string path;
    };
    std::vector<Output> outputs;
    std::string notePath;
    bool onDisk = false;
    // Which outputs are there already, asked once: the note lists only the
    // files the batch makes, never one of the user's.
    std::vector<bool> there;
    std::vector<std::string> newFileNames;
    for (const ListedLine& selected : members) {
        const std::string fileName = ReadCatalogueLine(selected.text).name + OutputEnding(group);
        there.push_back(fs.Exists(directory + kPathSeparator + fileName));
        if (!there.back()) newFileNames.push_back(fileName);
    }
    try {
        const IndexImage index = IndexImage::Load(fs, context.paths.IndexPath);
        const CurrentSectionTable current = ReadCurrentSectionTable(fs, context.paths, index.Length());
        if (current.refusal) return Refuse(sink, *current.refusal, kExtractCaption);
        const std::string& archivePath = ArchivePathOf(context.paths, group);
        auto archive = fs.Open(archivePath, OpenMode::Read);
        const std::uint64_t archiveLength = archive->Length();
        std::vector<unsigned char> buffer(kExtractBufferSize);
        for (std::size_t m = 0; m < members.size(); ++m) {
            const ListedLine& selected = members[m];
            const CatalogueEntry member = ReadCatalogueLine(selected.text);
            const std::string outputPath = directory + kPathSeparator + member.name + OutputEnding(group);
            const bool outputThere = there[m];
            Refusal refusal = OutputRefusal(fs, context.paths, member, outputPath, outputThere);
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
            if (outputThere) {
                outputs.push_back(
                    {nullptr, std::make_unique<SaveFile>(fs, outputPath, SaveFile::Links::ReplaceLink), outputPath});
            } else {
                if (notePath.empty()) notePath = WriteBatchNote(fs, directory, group, newFileNames);
                outputs.push_back({fs.Open(outputPath, OpenMode::CreateNew), nullptr, outputPath});
            }
            File& stream = outputs.back().file ? *outputs.back().file : outputs.back().replacing->Stream();
            archive->Seek(member.offset);
            CopyExactly(*archive, stream, size, buffer);
            if (outputs.back().file)
                outputs.back().file->Close();
            else
                outputs.back().replacing->Close();
        }
        archive->Close();
        if (!outputs.empty()) {
            // One wait for the disk: every new file, name and bytes, and
            // every replacing file's bytes.
            fs.SyncFileSystemOf(directory);
            onDisk = true;
            bool replaced = false;
            for (Output& output : outputs) {
                if (output.replacing) {
                    output.replacing->CommitDurable();
                    replaced = true;
                }
            }
            // A file of the user's that was replaced is on disk under its
            // name before anything is told done or the note goes.
            if (replaced) fs.SyncDirectoryOf(outputs.back().path);
            for (const Output& output : outputs) written.push_back(output.path);
        }
        if (!notePath.empty()) {
            try {
                fs.Remove(notePath);
            } catch (const IoError& error) {
                // Left, it only makes the next extraction here check what it
                // lists, which it finds whole.
                sink.ShowMessage("The members were extracted, but the note " + notePath + " could not be removed (" +
                                     error.Reason().message() + "); the next extraction into that folder removes it.",
                                 kExtractCaption);
            }
        }
    } catch (const IoError& error) {
        std::string unfinished;
        for (Output& output : outputs) {
            try {
                if (output.replacing) {
                    output.replacing->Cancel();
                } else if (!onDisk) {
                    // Made by this batch with an exclusive create: its own.
                    output.file.reset();
                    RemoveLeftover(fs, output.path);
                }
            } catch (const IoError& removal) {
                unfinished += "\n\nThe unfinished file " +
                              (output.replacing ? output.replacing->PartialPath() : output.path) +
                              " could not be removed (" + removal.Reason().message() +
                              "); the next extraction into that folder removes it.";
            }
        }
        if (!notePath.empty() && (onDisk || unfinished.empty())) {
            try {
                fs.Remove(notePath);
            } catch (const IoError&) {
                // Left, it only makes the next extraction check what it lists.
            }
        }
        sink.ShowFileError(FileErrorText(error) + unfinished, kFileErrorCaption, error.Reason().message());
        return ArchiveOutcome::Failed;
    }
    return allWritten ? ArchiveOutcome::Done : ArchiveOutcome::Failed;
}

}  // namespace qax
