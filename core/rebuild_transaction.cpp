#include "rebuild_transaction.h"

#include <exception>
#include <optional>
#include <vector>

#include "file_access.h"
#include "rebuild_record.h"

namespace qax {

namespace {

std::string AsText(const IndexImage& image) {
    return {image.Bytes().begin(), image.Bytes().end()};
}

std::string FileNameOf(const std::string& path) {
    return Utf8Of(PathFromUtf8(path).filename());
}

std::string DirectoryOf(const std::string& path) {
    return Utf8Of(PathFromUtf8(path).parent_path());
}

// The record goes last, after the copies, and its removal is flushed: a
// copy without a record is harmless (a stray the editor leaves alone),
// while a record that outlived its copies would leave nothing to undo with.
void RemoveRecord(FileSystem& fs, const std::string& recordPath) {
    RemoveLeftover(fs, recordPath);
    fs.SyncDirectoryOf(recordPath);
}

// ---------------------------------------------------------------------------
// Texts.

// What failed, for a failure that may have changed the archive: the file and
// the system's reason, also for an open.
std::string FailureText(const std::exception& failure) {
    if (const auto* io = dynamic_cast<const IoError*>(&failure)) {
        std::string text = FileErrorText(*io);
        if (io->Step() == IoStep::Open) text += "(" + io->Reason().message() + ")";
        return text;
    }
    return std::string("The replacement stopped: ") + failure.what();
}

// Removes the copies and then the record that vouches for them: a copy
// that cannot be removed keeps its record, so that the next recovery still
// knows it for its own. Returns an empty text, or a paragraph saying what
// is left and why.
std::string RemoveCopiesThenRecordText(FileSystem& fs, const std::string& recordPath,
                                       const std::vector<std::string>& copyPaths) {
    for (const std::string& copyPath : copyPaths) {
        try {
            // Flushed before the record goes: a power cut must not bring a
            // copy back once no record vouches for it.
            if (fs.Exists(copyPath)) {
                fs.Remove(copyPath);
                fs.SyncDirectoryOf(copyPath);
            }
        } catch (const IoError& error) {
            return "\n\nThe temporary copy " + copyPath + " could not be removed (" + error.Reason().message() +
                   "); the editor removes it, and its record " + recordPath + ", the next time it opens the data set.";
        }
    }
    try {
        RemoveRecord(fs, recordPath);
    } catch (const IoError& error) {
        return "\n\nThe record of the replacement " + recordPath + " could not be removed (" +
               error.Reason().message() + "); the editor clears it the next time it opens the data set.";
    }
    return {};
}

// Copies the archive to a new file named for the record's token, marks it
// and only then gives it `copyPath`. The copy is kept open: a restore
// reads from this very file, whatever happens to its name in the meantime.
std::unique_ptr<File> MakeSafetyCopy(FileSystem& fs, const std::string& archivePath, const std::string& copyPath,
                                     std::uint64_t archiveLength, const std::string& token, std::uint32_t key) {
    const std::string partial = PartialPathFor(copyPath, token);
    const std::string mark = CopyMark(token, key, archiveLength);
    const std::uint64_t copied = fs.CopyFile(archivePath, partial, CopyTarget::NewFile);
    auto copy = fs.Open(partial, OpenMode::ReadUpdate);
    // Measured again through the copy itself: the archive is rewritten on
    // the strength of this check alone.
    if (copied != archiveLength || copy->Length() != archiveLength)
        throw IoError(IoStep::Write, copyPath, MakeDataError(DataError::WrongLength));
    // Nobody else may change what a restore will read back.
    copy->RestrictWritingToOwner();
    copy->Seek(archiveLength);
    copy->Write(mark.data(), mark.size());
    copy->Flush();
    copy->Close();
    fs.Rename(partial, copyPath);
    // The record that says the copy is ready must never reach the disk
    // before the copy's own directory entry does.
    fs.SyncDirectoryOf(copyPath);
    // Opened again by the name it now has, and held: what the rebuild and
    // any restore read is this file, checked once here.
    auto ready = fs.Open(copyPath, OpenMode::ReadOwn);
    if (!IsMarkedCopy(*ready, mark, archiveLength))
        throw IoError(IoStep::Read, copyPath, MakeDataError(DataError::WrongLength));
    return ready;
}

// Writes the first `length` bytes of `copy` over the archive where it
// lies, and cuts it there.
void WriteBack(FileSystem& fs, File& copy, const std::string& archivePath, std::uint64_t length) {
    auto archive = fs.Open(archivePath, OpenMode::ReadUpdate);
    copy.Seek(0);
    std::vector<unsigned char> buffer(std::size_t{1} << 20);
    CopyExactly(copy, *archive, length, buffer);
    archive->SetLength(length);
    archive->Flush();
    archive->Close();
}

struct OpenCopy {
    const ArchiveRebuild* archive = nullptr;
    std::string copyPath;
    std::unique_ptr<File> copy;
};

// After a failure the process lived through, with the old index in place:
// every archive that may have been touched goes back from the copy this
// replacement made and still holds open, once that copy is seen to carry
// its mark; then record and copies go.
std::string RestoreFromSafetyCopies(FileSystem& fs, std::vector<OpenCopy>& copies, RebuildRecord& record,
                                    const std::string& recordPath, std::size_t touched) {
    const std::string& token = record.token;
    const std::uint32_t key = record.dataSetKey;
    std::vector<std::string> copyPaths;
    for (const OpenCopy& open : copies) copyPaths.push_back(open.copyPath);
    for (std::size_t n = 0; n < touched; ++n) {
        OpenCopy& open = copies[n];
        const std::string& archivePath = open.archive->archivePath;
        bool started = false;
        try {
            if (!IsMarkedCopy(*open.copy, CopyMark(token, key, open.archive->archiveLength),
                              open.archive->archiveLength))
                throw IoError(IoStep::Read, open.copyPath, MakeDataError(DataError::WrongLength));
            started = true;
            WriteBack(fs, *open.copy, archivePath, open.archive->archiveLength);
        } catch (const IoError& error) {
            return "\n\n" + archivePath + " could not be put back: " + error.what() + "." +
                   (started ? "\nIt is partly written; its complete former contents are kept in\n" + open.copyPath +
                                  "\nThe editor puts it back from there the next time it starts or replaces a "
                                  "member; until then, do not delete that file. The index is unchanged."
                            : "\nIt was not changed back; the record " + recordPath +
                                  " stays, and replacing members stays refused until it is settled. The index is "
                                  "unchanged.");
        }
    }
    std::string restored;
    for (std::size_t n = 0; n < touched; ++n)
        restored += copies[n].archive->archivePath + " has been put back as it was. ";
    if (touched > 0) restored = "\n\n" + restored + "The index is unchanged.";
    copies.clear();  // closed before their names go
    try {
        // From here on the copies are not needed: the record says so first,
        // so that a death while they are removed leaves nothing to undo.
        record.phase = RecordPhase::ArchivesOld;
        WriteRecord(fs, recordPath, record);
    } catch (const IoError& error) {
        return restored + "\n\nThe record " + recordPath + " could not be updated (" + error.Reason().message() +
               "); the editor clears it, and the temporary copy, the next time it opens the data set.";
    }
    return restored + RemoveCopiesThenRecordText(fs, recordPath, copyPaths);
}

}  // namespace

Refusal DataSetLayoutRefusal(FileSystem& fs, const DataSetPaths& paths, const std::vector<std::string>& archivePaths) {
    const std::string home = DataDirectoryOf(paths);
    const char* const kNothingChanged = "\nNothing was changed.";
    for (const std::string& archivePath : archivePaths) {
        if (!SameDirectory(DirectoryOf(LinkTarget(archivePath)), home))
            return archivePath + " really lies in " + DirectoryOf(LinkTarget(archivePath)) + ", and the index in " +
                   home +
                   ". A replacement is locked and recorded where the index lies, so that every editor of the data "
                   "set sees it; an archive elsewhere would not be covered. Keep the archive beside the index (or "
                   "link both from one directory) to replace members." +
                   kNothingChanged;
    }
    std::vector<std::string> dataFiles = {paths.IndexPath};
    dataFiles.insert(dataFiles.end(), archivePaths.begin(), archivePaths.end());
    for (const std::string& dataFile : dataFiles) {
        try {
            if (fs.LinkCount(dataFile) > 1)
                return dataFile +
                       " has more than one name (a hard link). A replacement would change it under every name, "
                       "while an editor that came through another name would neither wait for it nor see it if it "
                       "were interrupted. Make it a file of its own (copy it, then move the copy over it) to "
                       "replace members." +
                       kNothingChanged;
        } catch (const IoError&) {
            // A file that cannot be looked at is reported by the open that follows.
        }
    }
    if (!fs.MayWrite(home))
        return "The data directory " + home +
               " cannot be written. A replacement writes its record there first, so that any editor can finish or "
               "undo it after a crash, and then the new index beside the old one. Make the directory writable (or "
               "replace as a user who may write it)." +
               kNothingChanged;
    return {};
}

ArchiveOutcome RebuildArchive(const ArchiveContext& context, const RebuildJob& job) {
    FileSystem& fs = context.fs;
    ReportSink& sink = context.sink;
    const std::string& indexPath = context.paths.IndexPath;
    const std::string recordPath = RebuildRecordPath(context.paths);

    RebuildRecord record{.phase = RecordPhase::ArchivesOld,
                         .token = NewRecordToken(),
                         .dataSetKey = DataSetKey(context.paths),
                         .oldIndexLength = job.oldIndex->Length(),
                         .oldIndexChecksum = Checksum(AsText(*job.oldIndex)),
                         .newIndexLength = job.newIndex->Length(),
                         .newIndexChecksum = Checksum(AsText(*job.newIndex)),
                         .archives = {},
                         .undoDirectoryHint = job.undoDirectory};
    std::vector<OpenCopy> copies;
    std::vector<std::string> copyPaths;
    for (std::size_t n = 0; n < job.archives.size(); ++n) {
        const ArchiveRebuild& archive = job.archives[n];
        copies.push_back({&archive, SafetyCopyPath(context.paths, n), nullptr});
        copyPaths.push_back(copies.back().copyPath);
        record.archives.push_back(
            {FileNameOf(archive.archivePath), copyPaths.back(), archive.archiveLength, archive.newArchiveLength});
    }
    // Whatever has a copy's name now is nobody's this editor can vouch for
    // (recovery has run): it is left alone, and the replacement waits for
    // the name to be free.
    for (const std::string& copyPath : copyPaths)
        if (fs.Exists(copyPath))
            return Refuse(sink, StrayCopyText(copyPath) + "\nNothing was changed.", kReplaceCaption);

    // 1 to 3: the record, then the copies, then the record saying they are
    // ready, all on disk before any archive is touched. The record comes
    // first so that it vouches for every file the replacement makes, even
    // one a death leaves half made. A failure here has changed nothing.
    bool recordWritten = false;
    std::vector<std::string> made;
    try {
        WriteRecord(fs, recordPath, record);
        recordWritten = true;
        for (OpenCopy& open : copies) {
            const ArchiveRebuild& archive = *open.archive;
            made.push_back(PartialPathFor(open.copyPath, record.token));
            made.push_back(open.copyPath);
            open.copy = MakeSafetyCopy(fs, archive.archivePath, open.copyPath, archive.archiveLength, record.token,
                                       record.dataSetKey);
        }
        record.phase = RecordPhase::Rewriting;
        WriteRecord(fs, recordPath, record);
    } catch (const IoError& error) {
        copies.clear();
        // The copies' names are the record's own (the one in the way was
        // refused above), so what has them now was made here.
        const std::string cleanUp =
            recordWritten || fs.Exists(recordPath) ? RemoveCopiesThenRecordText(fs, recordPath, made) : std::string();
        sink.ShowMessage(FailureText(error) + "\n\nThe archive and the index are unchanged." + cleanUp,
                         kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }

    // 4 and 5. Each archive is rewritten in place and cut to its new length
    // at the end: the result is the same as emptying it first, but
    // overwriting pages the system already holds costs far less than freeing
    // them all and allocating them again. Then the new index takes the old
    // one's place, written under a name that carries the record's token.
    std::optional<SaveFile> newIndex;
    std::size_t touched = 0;
    bool beforeCommitBegun = false;
    try {
        for (OpenCopy& open : copies) {
            const ArchiveRebuild& rebuild = *open.archive;
            auto archive = fs.Open(rebuild.archivePath, OpenMode::ReadUpdate);
            ++touched;
            rebuild.writeArchive(*open.copy, *archive);
            if (archive->Position() != rebuild.newArchiveLength)
                throw IoError(IoStep::Write, rebuild.archivePath, MakeDataError(DataError::WrongLength));
            archive->SetLength(rebuild.newArchiveLength);
            archive->Flush();
            archive->Close();
        }
        if (job.beforeCommit) {
            std::vector<File*> held;
            for (OpenCopy& open : copies) held.push_back(open.copy.get());
            beforeCommitBegun = true;
            job.beforeCommit(held);
        }
        const std::string bytes = AsText(*job.newIndex);
        newIndex.emplace(fs, indexPath, SaveFile::Links::RewriteTarget,
                         PartialNameFor(FileNameOf(LinkTarget(indexPath)), record.token));
        if (!bytes.empty()) newIndex->Stream().Write(bytes.data(), bytes.size());
        newIndex->Commit();
    } catch (const std::exception& failure) {
        if (newIndex && newIndex->Renamed()) {
            // Only the directory flush after the rename failed: the new
            // index is in place. Record and copies stay, so that whichever
            // index a power cut leaves, the next start can match the
            // archives to it.
            sink.ShowMessage("The member was replaced.\n\n" + FailureText(failure) +
                                 "\nThe new index is in place but may not survive a power cut; the editor checks "
                                 "it the next time it opens the data set.",
                             kReplacedWithWarningCaption);
            return ArchiveOutcome::Done;
        }
        std::string unfinishedIndex;
        if (newIndex) {
            try {
                newIndex->Cancel();
            } catch (const IoError& error) {
                unfinishedIndex = "\n\nThe unfinished new index " + newIndex->PartialPath() +
                                  " could not be removed (" + error.Reason().message() +
                                  "); the editor removes it the next time it opens the data set.";
            }
        }
        newIndex.reset();
        std::string takenBack;
        if (beforeCommitBegun && job.takeBack) {
            try {
                takenBack = job.takeBack();
            } catch (const std::exception&) {
                // What it could not take back it names itself; the
                // archives go back all the same.
            }
        }
        // An archive that could not even be opened was not touched: its
        // open failure is told as any other.
        const auto* io = dynamic_cast<const IoError*>(&failure);
        const std::string what = touched == 0 && io != nullptr ? FileErrorText(*io) : FailureText(failure);
        const std::string text =
            what + RestoreFromSafetyCopies(fs, copies, record, recordPath, touched) + unfinishedIndex + takenBack;
        if (io != nullptr)
            sink.ShowFileError(text, kFileErrorCaption, io->Reason().message());
        else
            sink.ShowMessage(text, kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }

    // 6. The replacement stands; what follows cannot undo it, so its
    // failures are told as warnings. Where the new index is the old one
    // (every member kept its size), only the record can say that the
    // copies are done with, and it says so before they go.
    copies.clear();
    if (record.newIndexLength == record.oldIndexLength && record.newIndexChecksum == record.oldIndexChecksum) {
        try {
            record.phase = RecordPhase::Committed;
            WriteRecord(fs, recordPath, record);
        } catch (const IoError& error) {
            sink.ShowMessage("The member was replaced, but its record " + recordPath + " could not be updated (" +
                                 error.Reason().message() +
                                 "). The next time the editor opens the data set it will take the replacement for "
                                 "an interrupted one and put the former archive back from its copy.",
                             kReplacedWithWarningCaption);
            return ArchiveOutcome::Done;
        }
    }
    const std::string afterwards = RemoveCopiesThenRecordText(fs, recordPath, copyPaths);
    if (!afterwards.empty()) sink.ShowMessage("The member was replaced." + afterwards, kReplacedWithWarningCaption);
    return ArchiveOutcome::Done;
}

}  // namespace qax
