#include "rebuild_transaction.h"

#include <zlib.h>

#include <exception>
#include <filesystem>
#include <optional>
#include <vector>

#include "file_access.h"

namespace qax {

namespace {

// ---------------------------------------------------------------------------
// The crash record: a small binary file with a version and a checksum of its
// own, so that a record that was torn or damaged is known for what it is.

constexpr char kRecordMagic[8] = {'Q', 'A', 'X', 'R', 'E', 'C', '\r', '\n'};
constexpr std::uint32_t kRecordVersion = 1;

std::uint32_t Checksum(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

struct RebuildRecord {
    std::string archiveName;  // "txt.qax" or "shp.qax", in the data directory
    std::string copyPath;     // the whole copy of the old archive
    std::uint64_t oldArchiveLength = 0;
    std::uint64_t newArchiveLength = 0;
    std::uint64_t oldIndexLength = 0;
    std::uint32_t oldIndexChecksum = 0;
    std::uint64_t newIndexLength = 0;
    std::uint32_t newIndexChecksum = 0;
    // The old index's bytes, kept only when the index is rewritten in place
    // (it has other hard links that a rename would leave behind): a write
    // cut short there leaves an index that is neither old nor new.
    std::string oldIndexBytes;
};

class RecordWriter {
public:
    void Number(std::uint64_t value, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
    }
    void Text(const std::string& text) {
        Number(text.size(), 4);
        bytes_ += text;
    }
    std::string Finish() {
        Number(Checksum(bytes_), 4);
        return std::move(bytes_);
    }
    std::string bytes_{kRecordMagic, sizeof kRecordMagic};
};

class RecordReader {
public:
    explicit RecordReader(const std::string& bytes, std::size_t from = sizeof kRecordMagic)
        : bytes_(bytes), at_(from) {}
    std::uint64_t Number(std::size_t bytes) {
        if (!Take(bytes)) return 0;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value |= std::uint64_t{static_cast<unsigned char>(bytes_[at_ - bytes + i])} << (8 * i);
        return value;
    }
    std::string Text() {
        const std::uint64_t length = Number(4);
        if (length > bytes_.size() || !Take(static_cast<std::size_t>(length))) return {};
        return bytes_.substr(at_ - static_cast<std::size_t>(length), static_cast<std::size_t>(length));
    }
    bool Sound() const { return sound_ && at_ == bytes_.size(); }

private:
    bool Take(std::size_t count) {
        if (count > bytes_.size() - at_) {
            sound_ = false;
            return false;
        }
        at_ += count;
        return true;
    }
    const std::string& bytes_;
    std::size_t at_;
    bool sound_ = true;
};

std::string EncodeRecord(const RebuildRecord& record) {
    RecordWriter out;
    out.Number(kRecordVersion, 4);
    out.Text(record.archiveName);
    out.Text(record.copyPath);
    out.Number(record.oldArchiveLength, 8);
    out.Number(record.newArchiveLength, 8);
    out.Number(record.oldIndexLength, 8);
    out.Number(record.oldIndexChecksum, 4);
    out.Number(record.newIndexLength, 8);
    out.Number(record.newIndexChecksum, 4);
    out.Text(record.oldIndexBytes);
    return out.Finish();
}

std::optional<RebuildRecord> DecodeRecord(const std::string& bytes) {
    constexpr std::size_t kChecksumSize = 4;
    if (bytes.size() < sizeof kRecordMagic + kChecksumSize ||
        bytes.compare(0, sizeof kRecordMagic, kRecordMagic, sizeof kRecordMagic) != 0)
        return std::nullopt;
    // The checksum covers everything before it.
    const std::string body = bytes.substr(0, bytes.size() - kChecksumSize);
    if (RecordReader(bytes, body.size()).Number(kChecksumSize) != Checksum(body)) return std::nullopt;

    RecordReader in(body);
    if (in.Number(4) != kRecordVersion) return std::nullopt;
    RebuildRecord record;
    record.archiveName = in.Text();
    record.copyPath = in.Text();
    record.oldArchiveLength = in.Number(8);
    record.newArchiveLength = in.Number(8);
    record.oldIndexLength = in.Number(8);
    record.oldIndexChecksum = static_cast<std::uint32_t>(in.Number(4));
    record.newIndexLength = in.Number(8);
    record.newIndexChecksum = static_cast<std::uint32_t>(in.Number(4));
    record.oldIndexBytes = in.Text();
    if (!in.Sound() || (record.archiveName != "txt.qax" && record.archiveName != "shp.qax") || record.copyPath.empty())
        return std::nullopt;
    return record;
}

std::string AsText(const IndexImage& image) {
    return {image.Bytes().begin(), image.Bytes().end()};
}

// Overwrites a file with `bytes` where it lies, keeping its identity.
void WriteInPlace(FileSystem& fs, const std::string& path, const std::string& bytes) {
    auto file = fs.Open(path, OpenMode::ReadUpdate);
    if (!bytes.empty()) file->Write(bytes.data(), bytes.size());
    file->SetLength(bytes.size());
    file->Flush();
    file->Close();
}

std::string FileNameOf(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

std::string DirectoryOf(const std::string& path) {
    return std::filesystem::path(path).parent_path().string();
}

void WriteRecord(FileSystem& fs, const std::string& recordPath, const RebuildRecord& record) {
    const std::string bytes = EncodeRecord(record);
    SaveFile file(fs, recordPath, SaveFile::Links::ReplaceLink);
    file.Stream().Write(bytes.data(), bytes.size());
    file.Commit();
}

// The record goes first and the copy after it: a copy without a record is
// then always harmless (made before the record, or kept after it), while a
// record without its copy would leave nothing to undo with.
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

// Removes a file the operation made and no longer needs. Returns an empty
// text, or a paragraph saying that `what` could not be removed and why.
std::string RemoveNoLongerNeeded(FileSystem& fs, const std::string& path, const std::string& what) {
    try {
        RemoveLeftover(fs, path);
    } catch (const IoError& error) {
        return "\n\n" + what + " " + path + " could not be removed (" + error.Reason().message() +
               "); it is not needed and can be deleted.";
    }
    return {};
}

std::string RemoveCopyText(FileSystem& fs, const std::string& copyPath) {
    return RemoveNoLongerNeeded(fs, copyPath, "The temporary copy");
}

// Removes the record and then the copy; a record that cannot be removed
// keeps its copy, which the next recovery needs.
std::string RemoveRecordAndCopyText(FileSystem& fs, const std::string& recordPath, const std::string& copyPath) {
    try {
        RemoveRecord(fs, recordPath);
    } catch (const IoError& error) {
        return "\n\nThe record of the replacement " + recordPath + " could not be removed (" +
               error.Reason().message() + "); the editor clears it, and the temporary copy " + copyPath +
               ", the next time it opens the data set.";
    }
    return RemoveCopyText(fs, copyPath);
}

std::unique_ptr<File> MakeSafetyCopy(FileSystem& fs, const std::string& archivePath, const std::string& copyPath,
                                     std::uint64_t archiveLength) {
    // Whatever has the copy's name now is not needed (recovery has run): a
    // link planted there is removed, never followed.
    RemoveLeftover(fs, copyPath);
    const std::uint64_t copied = fs.CopyFile(archivePath, copyPath, CopyTarget::NewFile);
    auto copy = fs.Open(copyPath, OpenMode::Read);
    // Measured again through the copy itself: the archive is rewritten on
    // the strength of this check alone.
    if (copied != archiveLength || copy->Length() != archiveLength)
        throw IoError(IoStep::Write, copyPath, MakeDataError(DataError::WrongLength));
    // The record that names the copy must never reach the disk before the
    // copy's own directory entry does.
    fs.SyncDirectoryOf(copyPath);
    return copy;
}

// After a failure that may have changed the archive: writes the copy back
// over the archive and, once that succeeded, removes record and copy.
std::string RestoreFromSafetyCopy(FileSystem& fs, const std::string& archivePath, const std::string& copyPath,
                                  const std::string& recordPath) {
    try {
        fs.CopyFile(copyPath, archivePath, CopyTarget::Overwrite);
    } catch (const IoError& error) {
        return "\n\n" + archivePath + " could not be put back: " + error.what() +
               ".\nIts complete former contents are kept in\n" + copyPath +
               "\nThe editor puts it back the next time it starts or replaces a member; until then, do not "
               "delete that file. The index is unchanged.";
    }
    return "\n\n" + archivePath + " has been put back as it was, and the index is unchanged." +
           RemoveRecordAndCopyText(fs, recordPath, copyPath);
}

}  // namespace

std::string DataDirectoryOf(const DataSetPaths& paths) {
    return DirectoryOf(paths.IndexPath);
}

std::string RebuildRecordPath(const DataSetPaths& paths) {
    return (std::filesystem::path(DataDirectoryOf(paths)) / kRebuildRecordName).string();
}

ArchiveOutcome RebuildArchive(const ArchiveContext& context, const RebuildJob& job) {
    FileSystem& fs = context.fs;
    ReportSink& sink = context.sink;
    const std::string& copyPath = context.paths.TempPath;
    const std::string& indexPath = context.paths.IndexPath;
    const std::string recordPath = RebuildRecordPath(context.paths);

    // 1 and 2: the copy and the record, both on disk before the archive is
    // touched. A failure here has changed nothing.
    std::unique_ptr<File> copy;
    // An index with other hard links is rewritten where it is, so that every
    // name keeps seeing the same file; a rename would split them.
    const std::string indexTarget = LinkTarget(indexPath);
    bool indexInPlace = false;
    try {
        indexInPlace = fs.LinkCount(indexTarget) > 1;
        copy = MakeSafetyCopy(fs, job.archivePath, copyPath, job.archiveLength);
        const IndexImage& oldIndex = *job.oldIndex;
        const IndexImage& newIndex = *job.newIndex;
        WriteRecord(fs, recordPath,
                    {.archiveName = FileNameOf(job.archivePath),
                     .copyPath = copyPath,
                     .oldArchiveLength = job.archiveLength,
                     .newArchiveLength = job.newArchiveLength,
                     .oldIndexLength = oldIndex.Length(),
                     .oldIndexChecksum = Checksum(AsText(oldIndex)),
                     .newIndexLength = newIndex.Length(),
                     .newIndexChecksum = Checksum(AsText(newIndex)),
                     .oldIndexBytes = indexInPlace ? AsText(oldIndex) : std::string()});
    } catch (const IoError& error) {
        copy.reset();
        std::string cleanUp;
        try {
            // A record whose rename went through but whose directory could
            // not be flushed describes an archive that was never touched.
            if (fs.Exists(recordPath)) RemoveRecord(fs, recordPath);
            cleanUp = RemoveCopyText(fs, copyPath);
        } catch (const IoError& removal) {
            cleanUp = "\n\nThe record " + recordPath + " could not be removed (" + removal.Reason().message() +
                      "); the editor clears it the next time it opens the data set.";
        }
        sink.ShowMessage(FailureText(error) + "\n\nThe archive and the index are unchanged." + cleanUp,
                         kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }

    // 3 and 4. The archive is rewritten in place and cut to its new length
    // at the end: the result is the same as emptying it first, but
    // overwriting pages the system already holds costs far less than freeing
    // them all and allocating them again.
    std::unique_ptr<File> archive;
    try {
        archive = fs.Open(job.archivePath, OpenMode::ReadUpdate);
    } catch (const IoError& error) {
        // An open that fails has not touched the file.
        copy.reset();
        sink.ShowMessage(FileErrorText(error) + RemoveRecordAndCopyText(fs, recordPath, copyPath), kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }
    std::optional<SaveFile> newIndex;
    bool indexTouched = false;
    try {
        job.writeArchive(*copy, *archive);
        if (archive->Position() != job.newArchiveLength)
            throw IoError(IoStep::Write, job.archivePath, MakeDataError(DataError::WrongLength));
        archive->SetLength(job.newArchiveLength);
        archive->Flush();
        archive->Close();
        archive.reset();
        copy->Close();
        copy.reset();

        const std::string bytes = AsText(*job.newIndex);
        if (indexInPlace) {
            // The record holds the old bytes: a write cut short here is
            // undone by the next recovery.
            indexTouched = true;
            WriteInPlace(fs, indexTarget, bytes);
        } else {
            newIndex.emplace(fs, indexPath, SaveFile::Links::RewriteTarget);
            if (!bytes.empty()) newIndex->Stream().Write(bytes.data(), bytes.size());
            newIndex->Commit();
        }
    } catch (const std::exception& failure) {
        // Closed before the restore writes the archive again.
        archive.reset();
        copy.reset();
        if (newIndex && newIndex->Renamed()) {
            // Only the directory flush after the rename failed: the new
            // index is in place. Record and copy stay, so that whichever
            // index a power cut leaves, the next start can match the archive
            // to it.
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
                unfinishedIndex = "\n\nThe unfinished new index " + SaveFile::PartialPathOf(indexPath) +
                                  " could not be removed (" + error.Reason().message() +
                                  "); it is not needed and can be deleted.";
            }
        }
        newIndex.reset();
        if (indexTouched) {
            // The index written in place may be part new: it goes back
            // first, and the archive only after it, so that the two never
            // disagree in a way the record cannot explain.
            try {
                WriteInPlace(fs, indexTarget, AsText(*job.oldIndex));
            } catch (const IoError& error) {
                sink.ShowMessage(FailureText(failure) + "\n\nThe index " + indexTarget +
                                     " could not be put back either (" + error.Reason().message() +
                                     "). Its former contents are kept in " + recordPath + " and those of " +
                                     job.archivePath + " in " + copyPath +
                                     "; the editor puts both back the next time it starts or replaces a member.",
                                 kFileErrorCaption);
                return ArchiveOutcome::Failed;
            }
        }
        sink.ShowMessage(
            FailureText(failure) + RestoreFromSafetyCopy(fs, job.archivePath, copyPath, recordPath) + unfinishedIndex,
            kFileErrorCaption);
        return ArchiveOutcome::Failed;
    }

    // 5. The replacement stands; what follows cannot undo it, so its
    // failures are told as warnings.
    const std::string afterwards = RemoveRecordAndCopyText(fs, recordPath, copyPath);
    if (!afterwards.empty()) sink.ShowMessage("The member was replaced." + afterwards, kReplacedWithWarningCaption);
    return ArchiveOutcome::Done;
}

namespace {

// ---------------------------------------------------------------------------
// Recovery.

struct IndexState {
    std::uint64_t length = 0;
    std::uint32_t checksum = 0;
};

RecoveryReport Unresolved(std::string text) {
    return {RecoveryState::Unresolved,
            std::move(text) + "\nNothing was changed; replacing members stays refused until this is settled."};
}

std::uint64_t LengthOf(FileSystem& fs, const std::string& path) {
    auto file = fs.Open(path, OpenMode::Read);
    const std::uint64_t length = file->Length();
    file->Close();
    return length;
}

// The names the leftovers of the editor's own writes would have, where a
// dead process could not clean them up: never needed, since nothing takes
// their name before it is complete.
std::vector<std::string> UnfinishedWritePaths(const DataSetPaths& paths) {
    std::vector<std::string> unfinished = {SaveFile::PartialPathOf(paths.IndexPath),
                                           SaveFile::PartialPathOf(RebuildRecordPath(paths))};
    std::error_code ec;
    const std::string partialSuffix = SaveFile::PartialPathOf(".SHP");
    for (const auto& entry : std::filesystem::directory_iterator(DirectoryOf(paths.TempPath), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > partialSuffix.size() &&
            name.compare(name.size() - partialSuffix.size(), partialSuffix.size(), partialSuffix) == 0)
            unfinished.push_back(entry.path().string());
    }
    return unfinished;
}

// Returns a paragraph for each leftover that could not be removed.
std::string RemoveUnfinishedWrites(FileSystem& fs, const DataSetPaths& paths) {
    std::string text;
    for (const std::string& path : UnfinishedWritePaths(paths))
        text += RemoveNoLongerNeeded(fs, path, "The unfinished file");
    return text;
}

RecoveryReport RecoverFromRecord(FileSystem& fs, const DataSetPaths& paths, const std::string& recordPath) {
    std::optional<RebuildRecord> record;
    try {
        record = DecodeRecord(ReadWholeFile(fs, recordPath));
    } catch (const IoError& error) {
        return Unresolved("The record of an interrupted replacement,\n" + recordPath + ",\ncould not be read (" +
                          error.Reason().message() + ").");
    }
    if (!record)
        return Unresolved("The record of an interrupted replacement,\n" + recordPath +
                          ",\nis damaged, so the editor cannot tell which archive it was rebuilding. If the temporary "
                          "copy " +
                          paths.TempPath +
                          " exists, it is a whole copy of txt.qax or shp.qax from before that replacement: copy it "
                          "over the archive it belongs to if that archive is damaged, then delete both files.");

    const std::string archivePath = (std::filesystem::path(DataDirectoryOf(paths)) / record->archiveName).string();
    const std::string& copyPath = record->copyPath;
    try {
        const std::string index = ReadWholeFile(fs, paths.IndexPath);
        const IndexState now{index.size(), Checksum(index)};
        const bool isOld = now.length == record->oldIndexLength && now.checksum == record->oldIndexChecksum;
        const bool isNew = now.length == record->newIndexLength && now.checksum == record->newIndexChecksum;

        if (isNew && !isOld) {
            // The archive was flushed before the new index was renamed into
            // place: the replacement is complete, only its clean-up is not.
            const std::uint64_t length = LengthOf(fs, archivePath);
            if (length != record->newArchiveLength)
                return Unresolved(
                    "The index " + paths.IndexPath + " is the one an interrupted replacement wrote, but " +
                    archivePath + " has " + std::to_string(length) + " bytes where that replacement made " +
                    std::to_string(record->newArchiveLength) +
                    ". The archive was changed since. Its former contents are in " + copyPath +
                    ", if that file exists. Restore the data set from a backup, then delete " + recordPath + ".");
            RemoveRecord(fs, recordPath);
            return {RecoveryState::Completed,
                    "The replacement in " + archivePath +
                        " had been completed when the editor stopped; it stands, and its leftovers were removed." +
                        RemoveCopyText(fs, copyPath)};
        }
        if (!isOld && !record->oldIndexBytes.empty()) {
            // The index was being rewritten in place: the record holds what
            // it was, and it is put back before the archive is.
            WriteInPlace(fs, LinkTarget(paths.IndexPath), record->oldIndexBytes);
        } else if (!isOld) {
            return Unresolved("The index " + paths.IndexPath +
                              " is neither the one from before nor the one from after "
                              "the interrupted replacement in " +
                              archivePath + ": something else changed it since. The complete former " +
                              record->archiveName + " is in " + copyPath +
                              ". If the index is the old one, copy that file over " + archivePath +
                              "; then delete it and " + recordPath + ".");
        }

        // The old index: the archive may be partly rewritten. The copy is
        // the archive as it was; copied, not renamed, since the two may lie
        // on different file systems.
        if (!fs.IsRegularFile(copyPath))
            return Unresolved(archivePath +
                              " may be partly rewritten by an interrupted replacement, and its complete "
                              "copy " +
                              copyPath + " is missing. Restore " + archivePath + " from a backup, then delete " +
                              recordPath + ".");
        const std::uint64_t copyLength = LengthOf(fs, copyPath);
        if (copyLength != record->oldArchiveLength)
            return Unresolved(archivePath + " may be partly rewritten by an interrupted replacement, and its copy " +
                              copyPath + " has " + std::to_string(copyLength) + " bytes where " +
                              std::to_string(record->oldArchiveLength) + " were expected. Restore " + archivePath +
                              " from a backup, then delete " + recordPath + " and " + copyPath + ".");
        if (fs.CopyFile(copyPath, archivePath, CopyTarget::Overwrite) != record->oldArchiveLength ||
            LengthOf(fs, archivePath) != copyLength)
            throw IoError(IoStep::Write, archivePath, MakeDataError(DataError::WrongLength));
        RemoveRecord(fs, recordPath);
        return {RecoveryState::Undone, "The interrupted replacement in " + archivePath +
                                           " was undone: the data set is as it was before it." +
                                           RemoveCopyText(fs, copyPath)};
    } catch (const IoError& error) {
        return Unresolved("The interrupted replacement in " + archivePath + " could not be finished or undone: " +
                          error.what() + ". The complete former " + record->archiveName + " is kept in " + copyPath +
                          "; the editor tries again the next time it opens the data set.");
    }
}

std::string LockFailureText(const IoError& error) {
    return "The data directory " + error.Path() + " could not be opened to lock it (" + error.Reason().message() +
           ").\nNothing was changed.";
}

constexpr const char* kDataSetBusyText =
    "Another editor is working on this data set right now. Try again when it has finished.\nNothing was changed.";

}  // namespace

RecoveryReport RecoverInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths) {
    const std::string unfinished = RemoveUnfinishedWrites(fs, paths);
    const std::string recordPath = RebuildRecordPath(paths);
    RecoveryReport report;
    if (fs.Exists(recordPath)) {
        report = RecoverFromRecord(fs, paths, recordPath);
    } else if (fs.IsRegularFile(paths.TempPath)) {
        // The copy is made before the record is written and removed after
        // it, so without a record the archive and the index agree.
        try {
            fs.Remove(paths.TempPath);
            report = {RecoveryState::CopyRemoved, "A temporary copy left by an interrupted replacement, " +
                                                      paths.TempPath +
                                                      ", was removed; the archives and the index agree."};
        } catch (const IoError& error) {
            report = {RecoveryState::CopyRemoved, "A temporary copy left by an interrupted replacement, " +
                                                      paths.TempPath + ", could not be removed (" +
                                                      error.Reason().message() +
                                                      "); the archives and the index agree, and it can be deleted."};
        }
    }
    if (!unfinished.empty()) report.text += unfinished;
    return report;
}

RecoveryReport DescribeInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths) {
    std::string unfinished;
    for (const std::string& path : UnfinishedWritePaths(paths))
        if (fs.Exists(path)) unfinished += "\nThe unfinished file " + path + " would be removed.";
    const auto with = [&](RecoveryState state, std::string text) { return RecoveryReport{state, text + unfinished}; };

    const std::string recordPath = RebuildRecordPath(paths);
    if (!fs.Exists(recordPath)) {
        if (fs.IsRegularFile(paths.TempPath))
            return with(RecoveryState::CopyRemoved, "A temporary copy left by an interrupted replacement, " +
                                                        paths.TempPath +
                                                        ", would be removed; the archives and the index agree.");
        return {unfinished.empty() ? RecoveryState::Clean : RecoveryState::CopyRemoved,
                unfinished.empty() ? std::string() : unfinished.substr(1)};
    }
    std::optional<RebuildRecord> record;
    try {
        record = DecodeRecord(ReadWholeFile(fs, recordPath));
    } catch (const IoError& error) {
        return with(RecoveryState::Unresolved, "The record of an interrupted replacement, " + recordPath +
                                                   ", cannot be read (" + error.Reason().message() +
                                                   "); recovery would leave everything as it is.");
    }
    if (!record)
        return with(RecoveryState::Unresolved, "The record of an interrupted replacement, " + recordPath +
                                                   ", is damaged; recovery would leave everything as it is.");
    const std::string archivePath = (std::filesystem::path(DataDirectoryOf(paths)) / record->archiveName).string();
    try {
        const std::string index = ReadWholeFile(fs, paths.IndexPath);
        const bool isOld = index.size() == record->oldIndexLength && Checksum(index) == record->oldIndexChecksum;
        const bool isNew = index.size() == record->newIndexLength && Checksum(index) == record->newIndexChecksum;
        if (isNew && !isOld) {
            if (LengthOf(fs, archivePath) != record->newArchiveLength)
                return with(RecoveryState::Unresolved,
                            "The index is the one an interrupted replacement in " + archivePath +
                                " wrote, but the archive was changed since; recovery would leave everything as "
                                "it is.");
            return with(RecoveryState::Completed, "An interrupted replacement in " + archivePath +
                                                      " had been completed; recovery would keep it and remove " +
                                                      recordPath + " and " + record->copyPath + ".");
        }
        if (!isOld && record->oldIndexBytes.empty())
            return with(RecoveryState::Unresolved,
                        "The index is neither the one from before nor the one from after "
                        "the interrupted replacement in " +
                            archivePath + "; recovery would leave everything as it is.");
        if (!fs.IsRegularFile(record->copyPath) || LengthOf(fs, record->copyPath) != record->oldArchiveLength)
            return with(RecoveryState::Unresolved, archivePath +
                                                       " may be partly rewritten by an interrupted "
                                                       "replacement, and its copy " +
                                                       record->copyPath +
                                                       " is missing or of the wrong length; recovery would leave "
                                                       "everything as it is.");
        return with(
            RecoveryState::Undone,
            "An interrupted replacement in " + archivePath +
                " would be undone: " + (isOld ? std::string() : "the index put back from " + recordPath + ", ") +
                "the archive copied back from " + record->copyPath + ", then " + recordPath + " and the copy removed.");
    } catch (const IoError& error) {
        return with(RecoveryState::Unresolved,
                    "The interrupted replacement in " + archivePath + " cannot be judged: " + error.what() + ".");
    }
}

RecoveryReport RecoverAtStartUp(FileSystem& fs, const DataSetPaths& paths) {
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(DataDirectoryOf(paths), LockKind::Exclusive);
    } catch (const IoError& error) {
        return Unresolved(LockFailureText(error));
    }
    if (!lock) return {};
    return RecoverInterruptedRebuild(fs, paths);
}

std::unique_ptr<DirectoryLock> LockDataSetForReading(FileSystem& fs, const std::string& dataDir, ReportSink& sink,
                                                     const char* caption) {
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(dataDir, LockKind::Shared);
    } catch (const IoError& error) {
        sink.ShowMessage(LockFailureText(error), caption);
        return nullptr;
    }
    if (!lock) {
        sink.ShowMessage(kDataSetBusyText, caption);
        return nullptr;
    }
    // Nobody is rebuilding (that would hold the lock exclusively), so a
    // record is one a dead process left: until it is recovered, an archive
    // may be half rewritten.
    const std::string recordPath = (std::filesystem::path(dataDir) / kRebuildRecordName).string();
    if (fs.Exists(recordPath)) {
        sink.ShowMessage("A replacement in this data set was interrupted and has not been recovered yet (" +
                             recordPath +
                             "). The editor recovers it when it next starts or replaces or extracts a member; "
                             "until then nothing is read from the archives.",
                         caption);
        return nullptr;
    }
    return lock;
}

std::unique_ptr<DirectoryLock> LockDataSet(const ArchiveContext& context, DataSetUse use, const char* caption) {
    const std::string dataDir = DataDirectoryOf(context.paths);
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(dataDir, LockKind::Exclusive);
    } catch (const IoError& error) {
        context.sink.ShowMessage(LockFailureText(error), caption);
        return nullptr;
    }
    if (!lock) {
        // Readers share the data set with each other; one that cannot
        // recover still reads when nothing is left to recover.
        if (use == DataSetUse::Read) return LockDataSetForReading(context.fs, dataDir, context.sink, caption);
        context.sink.ShowMessage(kDataSetBusyText, caption);
        return nullptr;
    }
    const RecoveryReport report = RecoverInterruptedRebuild(context.fs, context.paths);
    if (!report.text.empty()) context.sink.ShowMessage(report.text, caption);
    if (report.state == RecoveryState::Unresolved) return nullptr;
    if (use == DataSetUse::Read) lock->Share();
    return lock;
}

}  // namespace qax
