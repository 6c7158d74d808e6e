// Extraction: the selected Shp member, byte for byte, to <editor dir>/<name>.SHP
// (and, for qaxtool, a Txt member to <name>.TXT).
//
// Name, size and offset come from the catalogue line, once the index has
// confirmed that the line still describes its entry. The file is written
// beside its final name and renamed over it once complete, so a failure never
// leaves a half-written file where an earlier one was.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive_ops.h"
#include "batch_note.h"
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

// A batch extraction writes each file whose name is new under a hidden name
// of its own beside it, .NAME.SHP.<16 hexadecimal digits>.part, and gives
// it its name, never over anything, only once every file of the batch is
// on disk: a name the batch takes holds its member whole. Before the first
// hidden file is made, a note listing them (.qaxtool-extract-<hex>) is
// flushed to disk; the hidden files are then made, empty, and the record of
// which files they are (their identities, in .qaxtool-made-<hex>, made with
// the note) is flushed before a byte goes into any of them. Both go once
// the batch is on disk under its names. A note found later means a batch
// was cut short. A hidden file it lists is taken for that batch's only when
// it is the very file the record names, the system saw it change after the
// note was written (no copy or unpacking of a file carries its change time
// over, so a note planted among the user's files finds them older than
// itself), and it holds nothing but the first bytes of its member. Anything
// else is left and named. A file under a final name is never a note's to
// remove: the batch gave none its name before its bytes were whole.
constexpr const char* kHiddenOutputEnding = ".part";

// The hidden name a batch writes the file `fileName` under.
std::string HiddenOutputName(const std::string& fileName) {
    return "." + fileName + "." + RandomHex(8) + kHiddenOutputEnding;
}

// The member a hidden output name of `group` stands for, if it is one, of
// a member whose name can name a file.
std::optional<std::string> HiddenOutputOf(const std::string& hiddenName, int group) {
    const std::string typeEnding = std::string(OutputEnding(group)) + ".";
    const std::string ending = kHiddenOutputEnding;
    const std::size_t tail = typeEnding.size() + 16 + ending.size();
    if (hiddenName.size() <= tail + 1 || hiddenName[0] != '.' ||
        hiddenName.compare(hiddenName.size() - ending.size(), ending.size(), ending) != 0 ||
        hiddenName.compare(hiddenName.size() - tail, typeEnding.size(), typeEnding) != 0)
        return std::nullopt;
    const std::string hex = hiddenName.substr(hiddenName.size() - 16 - ending.size(), 16);
    if (hex.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
    std::string member = hiddenName.substr(1, hiddenName.size() - tail - 1);
    if (MemberNameRefusal(member)) return std::nullopt;
    return member;
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
    // A file named as a single extraction's output is while it is written.
    struct Candidate {
        std::string path;
        std::string name;
    };
    // A file a note lists: a hidden file of its batch, or (an earlier
    // version's note) a file under its final name.
    struct Listed {
        std::string fileName;
        std::string member;
        std::string note;
        std::int64_t notMadeBefore = 0;
        std::optional<FileIdentity> made;  // as the note's record has it
        bool earlier = false;
    };
    std::vector<Candidate> candidates;
    std::vector<Listed> listed;
    std::vector<std::string> papers;  // notes and records to remove once what they list is seen to
    std::vector<std::string> records;
    std::set<std::string> notesFound;
    std::string text;
    const std::string ending = OutputEnding(group);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(PathFromUtf8(directory), ec)) {
        const std::string fileName = Utf8Of(entry.path().filename());
        const std::string entryPath = Utf8Of(entry.path());
        if (const auto name = UnfinishedOutputOf(fileName, group)) candidates.push_back({entryPath, *name});
        if (fileName.rfind(kBatchRecordPrefix, 0) == 0) records.push_back(entryPath);
        if (fileName.rfind(kBatchNotePrefix, 0) != 0) continue;
        notesFound.insert(entryPath);
        const FoundNote note = ReadBatchNote(fs, entryPath, group);
        if (note.kind == PaperKind::OtherType || note.kind == PaperKind::Unreadable) continue;
        if (note.kind == PaperKind::NotOurs) {
            text += "\n\nThe file " + entryPath +
                    " has the name of an extraction's note, but it is no note this program wrote whole; it is left "
                    "alone.";
            continue;
        }
        papers.push_back(entryPath);
        std::optional<std::vector<FileIdentity>> made;
        if (note.kind == PaperKind::Ours) {
            const std::string recordPath = PaperNamed(entryPath, kBatchNotePrefix, kBatchRecordPrefix);
            const FoundRecord record = ReadBatchRecord(fs, recordPath);
            if (IsRecordOf(record, note)) made = record.identities;
        }
        for (std::size_t i = 0; i < note.names.size(); ++i) {
            const std::string& output = note.names[i];
            // Only names an extraction could have written: a note read
            // here is a file anyone may have put in the directory.
            std::optional<std::string> member;
            if (note.kind == PaperKind::Ours)
                member = HiddenOutputOf(output, group);
            else if (output.size() > ending.size() &&
                     output.compare(output.size() - ending.size(), ending.size(), ending) == 0 &&
                     !MemberNameRefusal(output.substr(0, output.size() - ending.size())))
                member = output.substr(0, output.size() - ending.size());
            if (!member) continue;
            listed.push_back({output, *member, entryPath, note.madeAt,
                              made ? std::optional<FileIdentity>((*made)[i]) : std::nullopt,
                              note.kind == PaperKind::Earlier});
        }
    }
    // A record goes with its note, whole or as a write cut short left it;
    // one whose note is gone (its removal reached the disk, the record's
    // did not) lists nothing anyone needs.
    for (const std::string& record : records) {
        const std::string note = PaperNamed(record, kBatchRecordPrefix, kBatchNotePrefix);
        if (notesFound.count(note) != 0 && std::find(papers.begin(), papers.end(), note) == papers.end()) continue;
        const PaperKind kind = ReadBatchRecord(fs, record).kind;
        if (kind == PaperKind::Ours || kind == PaperKind::Empty || kind == PaperKind::Torn)
            papers.push_back(record);
        else if (kind == PaperKind::NotOurs)
            text += "\n\nThe file " + record +
                    " has the name of an extraction's record, but it is no record this program wrote whole; it is "
                    "left alone.";
    }
    if (candidates.empty() && papers.empty()) return text;

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
        // Whether `file` holds only the start of a member named `name`
        // (`shorter`: fewer bytes than it), or all of one.
        const auto startOf = [&](File& file, const std::string& name, bool shorter) {
            const auto members = membersNamed.find(name);
            if (members != membersNamed.end())
                for (const IndexEntry& member : members->second)
                    if (HoldsOnlyTheStartOf(file, *archive, member, shorter)) return true;
            return false;
        };
        const auto wholeMember = [&](File& file, const std::string& name) {
            const auto members = membersNamed.find(name);
            if (members != membersNamed.end())
                for (const IndexEntry& member : members->second)
                    if (file.Length() == static_cast<std::uint64_t>(member.size) &&
                        HoldsOnlyTheStartOf(file, *archive, member))
                        return true;
            return false;
        };
        for (const Candidate& candidate : candidates) {
            bool proven = false;
            try {
                auto file = fs.Open(candidate.path, OpenMode::ReadOwn);
                proven = startOf(*file, candidate.name, false);
            } catch (const IoError&) {
                // Not a regular file of its own, or unreadable: not proven.
            }
            if (!proven) continue;
            try {
                RemoveLeftover(fs, candidate.path);
                text += "\n\nAn unfinished extraction, " + candidate.path + ", was removed.";
            } catch (const IoError& error) {
                text += "\n\nAn unfinished extraction, " + candidate.path + ", could not be removed (" +
                        error.Reason().message() + "); it is not needed and can be deleted.";
            }
        }
        // A listed file is looked at, and removed, through the directory
        // held here: the proof holds for the file that name has now.
        std::unique_ptr<Directory> folder;
        if (!listed.empty()) folder = fs.OpenDirectory(directory);
        for (const Listed& file : listed) {
            if (!folder->HasEntry(file.fileName)) continue;
            const std::string path = folder->PathOf(file.fileName);
            std::string whyNot;
            std::optional<FileIdentity> proved;
            try {
                auto opened = folder->OpenEntry(file.fileName, EntryAccess::Read);
                const FileIdentity identity = opened->Facts().identity;
                const std::optional<std::int64_t> changed = opened->ChangeTime();
                if (file.earlier) {
                    // What the batch finished needs no word.
                    if (wholeMember(*opened, file.member)) continue;
                    whyNot =
                        "an earlier version of this program wrote that note, which keeps no proof of the files "
                        "it made";
                } else if (!file.made) {
                    whyNot = "the note's record of which files that extraction made is missing or incomplete";
                } else if (identity != *file.made) {
                    whyNot = "it is not the file that extraction made";
                } else if (!changed || *changed < file.notMadeBefore) {
                    whyNot = "it is older than the note";
                } else if (!startOf(*opened, file.member, false)) {
                    whyNot = "it holds bytes that are not its member's";
                } else {
                    proved = identity;
                }
            } catch (const IoError& error) {
                whyNot = error.Reason().message();
            }
            if (!proved) {
                text += "\n\nThe file " + path + " is listed by " + file.note +
                        ", the note of an extraction cut short, but it cannot be proved to be that extraction's "
                        "unfinished file (" +
                        whyNot + "); it is left alone. If you did not make it, it can be deleted.";
                continue;
            }
            try {
                folder->RemoveEntry(file.fileName, *proved);
                text += "\n\nAn unfinished extraction, " + path + ", was removed.";
            } catch (const IoError& error) {
                text += "\n\nAn unfinished extraction, " + path + ", could not be removed (" +
                        error.Reason().message() + "); it is not needed and can be deleted.";
            }
        }
        // Every file a note lists has been seen to: the note and its record
        // have done their work.
        for (const std::string& paper : papers) {
            try {
                RemoveLeftover(fs, paper);
            } catch (const IoError& error) {
                text += "\n\nThe note of an extraction cut short, " + paper + ", could not be removed (" +
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
// and the section file, one open archive, and a fixed number of waits for
// the disk whatever the number of files. A file whose name is new is
// written under a hidden name of its own once the batch's note and record
// (see above) are on disk, and takes its name once the batch is on disk; a
// file that replaces one already there is written beside it and takes its
// name then too; the directory is then flushed once more. A crash leaves
// whole files, the files that were there, and hidden files that the next
// extraction into the same directory removes once it has proved them the
// batch's own.

ArchiveOutcome ExtractMembers(const ArchiveContext& context, int group, const std::vector<ListedLine>& members,
                              const std::string& directory, std::vector<std::string>& written) {
    FileSystem& fs = context.fs;
    ReportSink& sink = context.sink;
    if (const Refusal refusal = StartUpRefusal(context.table)) return Refuse(sink, *refusal, kExtractCaption);
    const auto lock = LockDataSet(context, DataSetUse::Read, kExtractCaption);
    if (!lock) return ArchiveOutcome::Refused;

    bool allWritten = true;
    // A file whose name is new is written under a hidden name (`hiddenName`,
    // the file made there `made`) and given its name once the batch is on
    // disk; one that replaces a file of the user's is written beside it
    // (`replacing`) and takes its name then.
    struct Output {
        CatalogueEntry member;
        std::string path;
        std::string hiddenName;
        bool created = false;
        std::optional<FileIdentity> made;
        bool named = false;
        std::unique_ptr<SaveFile> replacing;
    };
    std::vector<Output> outputs;
    std::unique_ptr<Directory> folder;
    BatchPapers papers;
    bool recorded = false;
    try {
        const IndexImage index = IndexImage::Load(fs, context.paths.IndexPath);
        const CurrentSectionTable current = ReadCurrentSectionTable(fs, context.paths, index.Length());
        if (current.refusal) return Refuse(sink, *current.refusal, kExtractCaption);
        const std::string& archivePath = ArchivePathOf(context.paths, group);
        auto archive = fs.Open(archivePath, OpenMode::Read);
        const std::uint64_t archiveLength = archive->Length();
        // Every refusal first: the note lists only files the batch makes.
        std::vector<std::string> hiddenNames;
        for (const ListedLine& selected : members) {
            const CatalogueEntry member = ReadCatalogueLine(selected.text);
            const std::string fileName = member.name + OutputEnding(group);
            const std::string outputPath = directory + kPathSeparator + fileName;
            const bool outputThere = fs.Exists(outputPath);
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
            Output& output = outputs.emplace_back();
            output.member = member;
            output.path = outputPath;
            if (outputThere) continue;
            output.hiddenName = HiddenOutputName(fileName);
            hiddenNames.push_back(output.hiddenName);
        }
        if (!hiddenNames.empty()) {
            folder = fs.OpenDirectory(directory);
            papers = StartBatch(fs, directory, group, hiddenNames);
            std::vector<FileIdentity> made;
            for (Output& output : outputs) {
                if (output.hiddenName.empty()) continue;
                auto file = fs.Open(folder->PathOf(output.hiddenName), OpenMode::CreateNew);
                output.created = true;
                output.made = file->Facts().identity;
                file->Close();
                made.push_back(*output.made);
            }
            RecordMadeFiles(papers, made);
            recorded = true;
        }
        std::vector<unsigned char> buffer(kExtractBufferSize);
        for (Output& output : outputs) {
            archive->Seek(output.member.offset);
            const auto size = static_cast<std::uint64_t>(output.member.size);
            if (output.made) {
                // Written only while its name still holds the file made there.
                auto file = folder->OpenEntry(output.hiddenName, EntryAccess::Update);
                if (file->Facts().identity != *output.made)
                    throw IoError(IoStep::Open, file->Path(), MakeDataError(DataError::Replaced));
                CopyExactly(*archive, *file, size, buffer);
                file->Close();
            } else {
                output.replacing = std::make_unique<SaveFile>(fs, output.path, SaveFile::Links::ReplaceLink);
                CopyExactly(*archive, output.replacing->Stream(), size, buffer);
                output.replacing->Close();
            }
        }
        archive->Close();
        if (!outputs.empty()) {
            // One wait for the disk: every file's bytes, and the hidden
            // files' names.
            fs.SyncFileSystemOf(directory);
            for (Output& output : outputs) {
                if (output.made) {
                    fs.RenameNew(folder->PathOf(output.hiddenName), output.path);
                    output.named = true;
                } else {
                    output.replacing->CommitDurable();
                }
            }
            // Every file is on disk under its name before anything is told
            // done or the note goes.
            fs.SyncDirectoryOf(outputs.back().path);
            for (const Output& output : outputs) written.push_back(output.path);
        }
        for (const std::string* paper : {&papers.recordPath, &papers.notePath}) {
            if (paper->empty()) continue;
            try {
                fs.Remove(*paper);
            } catch (const IoError& error) {
                // Left, it only makes the next extraction here look for what
                // the note lists, which it finds gone.
                sink.ShowMessage("The members were extracted, but " + *paper +
                                     ", which lists them while they are written, could not be removed (" +
                                     error.Reason().message() + "); the next extraction into that folder removes it.",
                                 kExtractCaption);
            }
        }
    } catch (const IoError& error) {
        std::string unfinished;
        bool hiddenLeft = false;
        for (Output& output : outputs) {
            try {
                if (output.replacing) {
                    output.replacing->Cancel();
                } else if (output.created && !output.named) {
                    // Made by this batch with an exclusive create, and
                    // removed only while its name still holds that file
                    // (one whose identity could not be had is its own by
                    // that create alone).
                    if (output.made)
                        folder->RemoveEntry(output.hiddenName, *output.made);
                    else
                        RemoveLeftover(fs, folder->PathOf(output.hiddenName));
                }
            } catch (const IoError& removal) {
                const bool hidden = !output.replacing;
                hiddenLeft = hiddenLeft || hidden;
                unfinished += "\n\nThe unfinished file " +
                              (hidden ? folder->PathOf(output.hiddenName) : output.replacing->PartialPath()) +
                              " could not be removed (" + removal.Reason().message() + "); " +
                              (!hidden || recorded ? "the next extraction into that folder removes it."
                                                   : "it is empty and can be deleted.");
            }
        }
        // The note goes once no file it lists is left and every name the
        // batch gave or removed is on disk: until then it is what lets the
        // next extraction prove a file left here the batch's own.
        if (!papers.notePath.empty() && !hiddenLeft) {
            try {
                papers.record.reset();
                folder->Sync();
                for (const std::string* paper : {&papers.recordPath, &papers.notePath}) fs.Remove(*paper);
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
