#include "rebuild_transaction.h"

#include <zlib.h>

#include <array>
#include <exception>
#include <filesystem>
#include <optional>
#include <vector>

#include "file_access.h"

namespace qax {

namespace {

std::uint32_t Checksum(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

std::string AsText(const IndexImage& image) {
    return {image.Bytes().begin(), image.Bytes().end()};
}

std::string FileNameOf(const std::string& path) {
    return Utf8Of(PathFromUtf8(path).filename());
}

std::string DirectoryOf(const std::string& path) {
    return Utf8Of(PathFromUtf8(path).parent_path());
}

// The data set as one thing, whichever of its names or links an editor
// came through: a planted record or a copy made for another data set
// never matches it.
std::uint32_t DataSetKey(const DataSetPaths& paths) {
    return Checksum(DataDirectoryOf(paths));
}

// ---------------------------------------------------------------------------
// The copy's mark. Each replacement draws a token no one can know in
// advance, keeps it in its record and writes it, with the data set's key
// and the archive's length, after the archive's bytes at the end of its
// copy. A file is taken for that copy only when it is a regular file of
// its own, of exactly the archive's length and the mark's, ending in that
// very mark: a planted record may name any file it likes, but no file the
// replacement did not make ends that way.

constexpr char kCopyMarkMagic[8] = {'Q', 'A', 'X', 'C', 'O', 'P', 'Y', '\n'};
constexpr std::size_t kTokenSize = 16;
constexpr std::size_t kCopyMarkSize = kSafetyCopyMarkSize;
static_assert(kCopyMarkSize == sizeof kCopyMarkMagic + kTokenSize + 4 + 8);

void AppendNumber(std::string& out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

std::string RandomBytes(std::size_t count) {
    const std::string hex = RandomHex(count);
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string CopyMark(const std::string& token, std::uint32_t dataSetKey, std::uint64_t archiveLength) {
    std::string mark(kCopyMarkMagic, sizeof kCopyMarkMagic);
    mark += token;
    AppendNumber(mark, dataSetKey, 4);
    AppendNumber(mark, archiveLength, 8);
    return mark;
}

// Whether `copy` is the copy that carries `mark` after `archiveLength`
// bytes; judged through the open file, which is then read from.
bool IsMarkedCopy(File& copy, const std::string& mark, std::uint64_t archiveLength) {
    if (copy.Length() != archiveLength + kCopyMarkSize) return false;
    std::string found(kCopyMarkSize, '\0');
    copy.Seek(archiveLength);
    const bool marked = ReadExactly(copy, found.data(), found.size()) && found == mark;
    copy.Seek(0);
    return marked;
}

// ---------------------------------------------------------------------------
// The crash record: a small binary file with a version and a checksum of its
// own, so that a record that was torn or damaged is known for what it is.

constexpr char kRecordMagic[8] = {'Q', 'A', 'X', 'R', 'E', 'C', '\r', '\n'};
constexpr std::uint32_t kRecordVersion = 2;
// Far above what any record holds (two archives with their paths); a file
// of the record's name that is larger is not one the editor wrote.
constexpr std::uint64_t kLargestRecord = 64 * 1024;

struct RecordedArchive {
    std::string archiveName;  // "txt.qax" or "shp.qax", in the data directory
    std::string copyPath;     // the whole copy of the old archive, with its mark
    std::uint64_t oldLength = 0;
    std::uint64_t newLength = 0;
};

// How far a replacement had come when its record was last written.
enum class RecordPhase : std::uint32_t {
    // The archives hold their old bytes: the copies are being made (or,
    // after a restore, are no longer needed). Recovery only clears up.
    ArchivesOld = 1,
    // The copies are complete and marked; the archives may be rewritten.
    Rewriting = 2,
    // The new index is in place and the copies are no longer needed: written
    // only where the index alone cannot tell (the new one is the old one).
    Committed = 3
};

struct RebuildRecord {
    RecordPhase phase = RecordPhase::ArchivesOld;
    std::string token;  // kTokenSize bytes
    std::uint32_t dataSetKey = 0;
    std::uint64_t oldIndexLength = 0;
    std::uint32_t oldIndexChecksum = 0;
    std::uint64_t newIndexLength = 0;
    std::uint32_t newIndexChecksum = 0;
    std::vector<RecordedArchive> archives;
};

class RecordWriter {
public:
    void Number(std::uint64_t value, std::size_t bytes) { AppendNumber(bytes_, value, bytes); }
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
    out.Number(static_cast<std::uint32_t>(record.phase), 4);
    out.Text(record.token);
    out.Number(record.dataSetKey, 4);
    out.Number(record.oldIndexLength, 8);
    out.Number(record.oldIndexChecksum, 4);
    out.Number(record.newIndexLength, 8);
    out.Number(record.newIndexChecksum, 4);
    out.Number(record.archives.size(), 4);
    for (const RecordedArchive& archive : record.archives) {
        out.Text(archive.archiveName);
        out.Text(archive.copyPath);
        out.Number(archive.oldLength, 8);
        out.Number(archive.newLength, 8);
    }
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
    const std::uint64_t phase = in.Number(4);
    if (phase < static_cast<std::uint32_t>(RecordPhase::ArchivesOld) ||
        phase > static_cast<std::uint32_t>(RecordPhase::Committed))
        return std::nullopt;
    record.phase = static_cast<RecordPhase>(phase);
    record.token = in.Text();
    record.dataSetKey = static_cast<std::uint32_t>(in.Number(4));
    record.oldIndexLength = in.Number(8);
    record.oldIndexChecksum = static_cast<std::uint32_t>(in.Number(4));
    record.newIndexLength = in.Number(8);
    record.newIndexChecksum = static_cast<std::uint32_t>(in.Number(4));
    const std::uint64_t count = in.Number(4);
    if (count < 1 || count > 2) return std::nullopt;
    for (std::uint64_t i = 0; i < count; ++i) {
        RecordedArchive archive;
        archive.archiveName = in.Text();
        archive.copyPath = in.Text();
        archive.oldLength = in.Number(8);
        archive.newLength = in.Number(8);
        if (archive.archiveName != "txt.qax" && archive.archiveName != "shp.qax") return std::nullopt;
        if (archive.copyPath.empty()) return std::nullopt;
        record.archives.push_back(std::move(archive));
    }
    if (!in.Sound() || record.token.size() != kTokenSize) return std::nullopt;
    if (record.archives.size() == 2 && record.archives[0].archiveName == record.archives[1].archiveName)
        return std::nullopt;
    return record;
}

// The new index and the copies are written under names that carry the
// record's token until they are complete, so that only a record can vouch
// for a leftover of them.
std::string PartialNameFor(const std::string& path, const std::string& token) {
    std::string hex;
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const unsigned char c : token) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0xFu];
    }
    return FileNameOf(path) + "." + hex + ".new";
}

std::string PartialPathFor(const std::string& path, const std::string& token) {
    return Utf8Of(PathFromUtf8(path).parent_path() / PathFromUtf8(PartialNameFor(path, token)));
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

std::string StrayCopyText(const std::string& copyPath) {
    return "The file " + copyPath +
           " has the temporary copy's name, but no unfinished replacement of this data set accounts for it, so the "
           "editor leaves it alone: keep it if you need it, otherwise delete it, since a replacement needs that "
           "name free.";
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

std::string DataDirectoryOf(const DataSetPaths& paths) {
    return DirectoryOf(LinkTarget(paths.IndexPath));
}

std::string RebuildRecordPath(const DataSetPaths& paths) {
    return Utf8Of(PathFromUtf8(DataDirectoryOf(paths)) / kRebuildRecordName);
}

std::string SafetyCopyPath(const DataSetPaths& paths, std::size_t n) {
    return n == 0 ? paths.TempPath : paths.TempPath + "." + std::to_string(n + 1);
}

Refusal DataSetLayoutRefusal(FileSystem& fs, const DataSetPaths& paths, const std::vector<std::string>& archivePaths) {
    const std::string home = DataDirectoryOf(paths);
    const char* const kNothingChanged = "\nNothing was changed.";
    for (const std::string& archivePath : archivePaths) {
        if (DirectoryOf(LinkTarget(archivePath)) != home)
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
                         .token = RandomBytes(kTokenSize),
                         .dataSetKey = DataSetKey(context.paths),
                         .oldIndexLength = job.oldIndex->Length(),
                         .oldIndexChecksum = Checksum(AsText(*job.oldIndex)),
                         .newIndexLength = job.newIndex->Length(),
                         .newIndexChecksum = Checksum(AsText(*job.newIndex)),
                         .archives = {}};
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
        const std::string bytes = AsText(*job.newIndex);
        newIndex.emplace(fs, indexPath, SaveFile::Links::RewriteTarget,
                         PartialNameFor(LinkTarget(indexPath), record.token));
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
        // An archive that could not even be opened was not touched: its
        // open failure is told as any other.
        const auto* io = dynamic_cast<const IoError*>(&failure);
        const std::string what = touched == 0 && io != nullptr ? FileErrorText(*io) : FailureText(failure);
        const std::string text =
            what + RestoreFromSafetyCopies(fs, copies, record, recordPath, touched) + unfinishedIndex;
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

namespace {

// ---------------------------------------------------------------------------
// Recovery.

RecoveryReport Unresolved(std::string text) {
    return {RecoveryState::Unresolved,
            std::move(text) + "\nNothing was changed; replacing members stays refused until this is settled."};
}

// For a restore that failed after it had begun writing: something did
// change, and the record still says how to finish.
RecoveryReport UnresolvedAfterWriting(std::string text) {
    return {RecoveryState::Unresolved, std::move(text) + "\nReplacing members stays refused until then."};
}

std::uint64_t LengthOf(FileSystem& fs, const std::string& path) {
    auto file = fs.Open(path, OpenMode::Read);
    const std::uint64_t length = file->Length();
    file->Close();
    return length;
}

// What recovery found and can act on: the record, read and checked, or the
// report that ends recovery without touching anything.
struct FoundRecord {
    std::optional<RebuildRecord> record;
    std::optional<RecoveryReport> stop;
};

// The record is read only when it is a regular file of its own and of a
// size the editor writes, reached without following a link and without
// waiting: a pipe, a device or a huge file with its name says nothing.
FoundRecord ReadRecord(FileSystem& fs, const DataSetPaths& paths, const std::string& recordPath) {
    std::string bytes;
    try {
        auto file = fs.Open(recordPath, OpenMode::ReadOwn);
        const std::uint64_t length = file->Length();
        if (length > kLargestRecord) throw IoError(IoStep::Open, recordPath, MakeDataError(DataError::WrongLength));
        bytes.resize(static_cast<std::size_t>(length));
        if (!bytes.empty() && !ReadExactly(*file, bytes.data(), bytes.size()))
            throw IoError(IoStep::Read, recordPath, MakeDataError(DataError::EndedEarly));
        file->Close();
    } catch (const IoError& error) {
        return {std::nullopt,
                Unresolved("The file " + recordPath +
                           " has the name of the editor's record of an interrupted replacement, but "
                           "it cannot be read as one (" +
                           error.Reason().message() + "). If no replacement was interrupted, remove it.")};
    }
    std::optional<RebuildRecord> record = DecodeRecord(bytes);
    if (!record)
        return {std::nullopt,
                Unresolved("The record of an interrupted replacement,\n" + recordPath +
                           ",\nis damaged, so the editor cannot tell which archive it was rebuilding. If the "
                           "temporary copy " +
                           paths.TempPath +
                           " exists, it holds a whole txt.qax or shp.qax from before that replacement, followed by "
                           "the editor's mark of 36 bytes: if that archive is damaged, put all but those last bytes "
                           "back over it; then delete both files.")};
    if (record->dataSetKey != DataSetKey(paths))
        return {std::nullopt, Unresolved("The record " + recordPath +
                                         " was not written for this data set (it was copied or planted here), so "
                                         "the editor does not act on it. If no replacement was interrupted here, "
                                         "remove it.")};
    return {std::move(record), std::nullopt};
}

std::string ArchivePathOf(const DataSetPaths& paths, const RecordedArchive& archive) {
    return Utf8Of(PathFromUtf8(DataDirectoryOf(paths)) / PathFromUtf8(archive.archiveName));
}

// The copy a record names, opened for reading once it is proved to be the
// one that replacement made; nothing otherwise.
std::unique_ptr<File> OpenProvenCopy(FileSystem& fs, const RebuildRecord& record, const RecordedArchive& archive) {
    try {
        auto copy = fs.Open(archive.copyPath, OpenMode::ReadOwn);
        if (IsMarkedCopy(*copy, CopyMark(record.token, record.dataSetKey, archive.oldLength), archive.oldLength))
            return copy;
    } catch (const IoError&) {
        // Missing, a link, or unreadable: not proved, which is all that counts.
    }
    return nullptr;
}

// Removes the copies that are proved to be the record's, and the unfinished
// ones, which carry its token in their names; any other file with a copy's
// name is left alone, and said so.
std::string RemoveProvenCopies(FileSystem& fs, const RebuildRecord& record) {
    std::string text;
    for (const RecordedArchive& archive : record.archives) {
        const std::string partial = PartialPathFor(archive.copyPath, record.token);
        if (fs.Exists(partial)) {
            const std::string failed = RemoveNoLongerNeeded(fs, partial, "The unfinished copy");
            text += failed;
            // Flushed before the record goes: once it is gone, nothing
            // could tell this file for the replacement's.
            if (failed.empty()) fs.SyncDirectoryOf(partial);
        }
        if (!fs.Exists(archive.copyPath)) continue;
        if (OpenProvenCopy(fs, record, archive) == nullptr) {
            text += "\n\nThe file " + archive.copyPath +
                    " is not the copy that replacement made, so the editor left it alone.";
            continue;
        }
        const std::string failed = RemoveNoLongerNeeded(fs, archive.copyPath, "The temporary copy");
        text += failed;
        // Flushed before the record goes, as after a replacement.
        if (failed.empty()) fs.SyncDirectoryOf(archive.copyPath);
    }
    return text;
}

// The new index's unfinished file, which only a sound record can vouch for.
std::string RemoveUnfinishedIndex(FileSystem& fs, const DataSetPaths& paths, const RebuildRecord& record) {
    const std::string indexTarget = LinkTarget(paths.IndexPath);
    return RemoveNoLongerNeeded(fs, PartialPathFor(indexTarget, record.token), "The unfinished file");
}

// The record's own unfinished file, from a death while it was written: the
// replacement had not touched anything yet. It is removed only when it
// holds nothing but the start of a record, so a stranger's file of that
// name is never lost.
std::string RemoveUnfinishedRecord(FileSystem& fs, const std::string& recordPath) {
    const std::string partial = SaveFile::PartialPathOf(recordPath);
    if (!fs.Exists(partial)) return {};
    std::string bytes;
    try {
        auto file = fs.Open(partial, OpenMode::ReadOwn);
        const std::uint64_t length = std::min<std::uint64_t>(file->Length(), kLargestRecord + 1);
        bytes.resize(static_cast<std::size_t>(length));
        bytes.resize(file->Read(bytes.data(), bytes.size()));
    } catch (const IoError&) {
        return "\n\nThe file " + partial + " is not an unfinished record of the editor's; it was left alone.";
    }
    const std::string magic(kRecordMagic, sizeof kRecordMagic);
    if (bytes.size() > kLargestRecord ||
        magic.compare(0, std::min(bytes.size(), magic.size()), bytes, 0, std::min(bytes.size(), magic.size())) != 0)
        return "\n\nThe file " + partial + " is not an unfinished record of the editor's; it was left alone.";
    const std::string failed = RemoveNoLongerNeeded(fs, partial, "The unfinished file");
    // Flushed, so that a power cut does not bring it back to be judged again.
    if (failed.empty()) fs.SyncDirectoryOf(partial);
    return failed;
}

// Whether the index is the one from before the record's replacement or the
// one from after it. When the replacement gave every member its old size
// and place, the two are the same: that counts as before, since putting the
// archives back from their copies is then right either way.
struct IndexMatch {
    bool isOld = false;
    bool isNew = false;
};

IndexMatch MatchIndex(FileSystem& fs, const DataSetPaths& paths, const RebuildRecord& record) {
    const std::string index = ReadWholeFile(fs, paths.IndexPath);
    const std::uint32_t checksum = Checksum(index);
    return {index.size() == record.oldIndexLength && checksum == record.oldIndexChecksum,
            index.size() == record.newIndexLength && checksum == record.newIndexChecksum};
}

std::string ArchiveNames(const DataSetPaths& paths, const RebuildRecord& record) {
    std::string names;
    for (const RecordedArchive& archive : record.archives)
        names += (names.empty() ? "" : " and ") + ArchivePathOf(paths, archive);
    return names;
}

RecoveryReport RecoverFromRecord(FileSystem& fs, const DataSetPaths& paths, const std::string& recordPath) {
    FoundRecord found = ReadRecord(fs, paths, recordPath);
    if (found.stop) return *found.stop;
    RebuildRecord& record = *found.record;
    const std::string names = ArchiveNames(paths, record);
    const std::string unfinished = RemoveUnfinishedIndex(fs, paths, record);
    // Copies first, while the record still vouches for them.
    const auto clearUp = [&](RecoveryState state, const std::string& text) -> RecoveryReport {
        const std::string copies = RemoveProvenCopies(fs, record);
        try {
            RemoveRecord(fs, recordPath);
        } catch (const IoError& error) {
            return UnresolvedAfterWriting(text + " But its record " + recordPath + " could not be removed (" +
                                          error.Reason().message() + "); the editor removes it the next time.");
        }
        return {state, text + copies + unfinished};
    };
    if (record.phase == RecordPhase::ArchivesOld)
        return clearUp(RecoveryState::Undone, "The interrupted replacement in " + names +
                                                  " was undone: it had not touched the archives yet, and the data "
                                                  "set is as it was before it.");

    IndexMatch match;
    try {
        match = MatchIndex(fs, paths, record);
        if (record.phase == RecordPhase::Committed && !match.isNew)
            return Unresolved("The index " + paths.IndexPath + " is not the one the replacement in " + names +
                              " wrote before it stopped: something else changed it since. Restore the data set from "
                              "a backup, then delete " +
                              recordPath + ".");
        if (match.isNew && (!match.isOld || record.phase == RecordPhase::Committed)) {
            // The archives were flushed before the new index was renamed
            // into place: the replacement is complete, only its clean-up
            // is not.
            for (const RecordedArchive& archive : record.archives) {
                const std::string archivePath = ArchivePathOf(paths, archive);
                if (LengthOf(fs, archivePath) != archive.newLength)
                    return Unresolved("The index " + paths.IndexPath +
                                      " is the one an interrupted replacement wrote, but " + archivePath +
                                      " is not the archive it wrote: it was changed since. Restore the data set from a "
                                      "backup, then delete " +
                                      recordPath + ".");
            }
            return clearUp(RecoveryState::Completed, "The replacement in " + names +
                                                         " had been completed when the editor stopped; it stands, "
                                                         "and its leftovers were removed.");
        }
    } catch (const IoError& error) {
        return Unresolved("The interrupted replacement in " + names + " could not be judged: " + error.what() + ".");
    }
    if (!match.isOld)
        return Unresolved(
            "The index " + paths.IndexPath +
            " is neither the one from before nor the one from after the interrupted replacement in " + names +
            ": something else changed it since. Restore the data set from a backup, then delete " + recordPath + ".");

    // The old index: the archives may be partly rewritten. Each goes back
    // from its copy, once every copy is proved to be the one made for it;
    // the copies are read, not renamed, since they may lie on another file
    // system.
    std::vector<std::unique_ptr<File>> copies;
    for (const RecordedArchive& archive : record.archives) {
        copies.push_back(OpenProvenCopy(fs, record, archive));
        if (copies.back() == nullptr)
            return Unresolved(ArchivePathOf(paths, archive) +
                              " may be partly rewritten by an interrupted replacement, and the copy that replacement "
                              "made of it is not at " +
                              archive.copyPath + " (it is missing, or that file is not the copy). Restore " +
                              ArchivePathOf(paths, archive) + " from a backup, then delete " + recordPath + ".");
    }
    for (std::size_t n = 0; n < copies.size(); ++n) {
        const RecordedArchive& archive = record.archives[n];
        const std::string archivePath = ArchivePathOf(paths, archive);
        try {
            WriteBack(fs, *copies[n], archivePath, archive.oldLength);
        } catch (const IoError& error) {
            return UnresolvedAfterWriting(
                "The interrupted replacement in " + names + " could not be undone: " + error.what() + ". " +
                archivePath + " is partly written; its complete former contents are kept in " + archive.copyPath +
                ", and the editor puts them back the next time it opens the data set.");
        }
    }
    copies.clear();
    try {
        // The copies are no longer needed: the record says so before they go.
        record.phase = RecordPhase::ArchivesOld;
        WriteRecord(fs, recordPath, record);
    } catch (const IoError& error) {
        return UnresolvedAfterWriting("The interrupted replacement in " + names + " was undone, but its record " +
                                      recordPath + " could not be updated (" + error.Reason().message() +
                                      "); the editor clears it up the next time.");
    }
    return clearUp(RecoveryState::Undone,
                   "The interrupted replacement in " + names + " was undone: the data set is as it was before it.");
}

std::string LockFailureText(const IoError& error) {
    return "The data directory " + error.Path() + " could not be opened to lock it (" + error.Reason().message() +
           ").\nNothing was changed.";
}

// Names the holder where the system tells it.
std::string DataSetBusyText(const std::string& dataDir) {
    const std::string holders = DirectoryLock::DescribeHolders(dataDir);
    return "Another editor is working on this data set right now" +
           (holders.empty() ? std::string() : " (" + holders + ")") +
           ". Try again when it has finished.\nNothing was changed.";
}

}  // namespace

RecoveryReport RecoverInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths) {
    const std::string recordPath = RebuildRecordPath(paths);
    RecoveryReport report;
    try {
        const std::string unfinished = RemoveUnfinishedRecord(fs, recordPath);
        if (fs.Exists(recordPath)) {
            report = RecoverFromRecord(fs, paths, recordPath);
        } else if (fs.Exists(paths.TempPath)) {
            // The copy is made before the record is written and removed
            // after it, so without a record the archives and the index
            // agree; but a file of that name may just as well be the user's.
            report = {RecoveryState::StrayCopy, StrayCopyText(paths.TempPath)};
        }
        if (!unfinished.empty()) report.text += unfinished;
        // Extractions into the editor's own directory that died half way;
        // only once the archive is known to be whole again.
        if (report.state != RecoveryState::Unresolved)
            report.text += RemoveUnfinishedExtractions(fs, paths, DirectoryOf(paths.TempPath));
    } catch (const std::exception& failure) {
        report = Unresolved(std::string("The editor could not look for an interrupted replacement: ") + failure.what() +
                            ".");
    }
    if (report.state == RecoveryState::Clean && !report.text.empty())
        report.text.erase(0, report.text.find_first_not_of('\n'));
    return report;
}

RecoveryReport DescribeInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths) {
    const std::string recordPath = RebuildRecordPath(paths);
    try {
        if (!fs.Exists(recordPath)) {
            if (fs.Exists(paths.TempPath)) return {RecoveryState::StrayCopy, StrayCopyText(paths.TempPath)};
            return {};
        }
        FoundRecord found = ReadRecord(fs, paths, recordPath);
        if (found.stop) return {RecoveryState::Unresolved, found.stop->text};
        const RebuildRecord& record = *found.record;
        const std::string names = ArchiveNames(paths, record);
        if (record.phase == RecordPhase::ArchivesOld)
            return {RecoveryState::Undone, "An interrupted replacement in " + names +
                                               " had not touched the archives yet; recovery would remove " +
                                               recordPath + " and what it made."};
        const IndexMatch match = MatchIndex(fs, paths, record);
        if (record.phase == RecordPhase::Committed && !match.isNew)
            return {RecoveryState::Unresolved, "The index is not the one the replacement in " + names +
                                                   " wrote; recovery would leave everything as it is."};
        if (match.isNew && (!match.isOld || record.phase == RecordPhase::Committed)) {
            for (const RecordedArchive& archive : record.archives)
                if (LengthOf(fs, ArchivePathOf(paths, archive)) != archive.newLength)
                    return {RecoveryState::Unresolved,
                            "The index is the one an interrupted replacement in " + names +
                                " wrote, but the archive was changed since; recovery would leave everything as it is."};
            return {RecoveryState::Completed, "An interrupted replacement in " + names +
                                                  " had been completed; recovery would keep it and remove " +
                                                  recordPath + " and its copies."};
        }
        if (!match.isOld)
            return {RecoveryState::Unresolved,
                    "The index is neither the one from before nor the one from after the interrupted replacement in " +
                        names + "; recovery would leave everything as it is."};
        for (const RecordedArchive& archive : record.archives)
            if (OpenProvenCopy(fs, record, archive) == nullptr)
                return {RecoveryState::Unresolved, ArchivePathOf(paths, archive) +
                                                       " may be partly rewritten by an interrupted replacement, and "
                                                       "the copy it made is not at " +
                                                       archive.copyPath +
                                                       "; recovery would leave everything as it is."};
        return {RecoveryState::Undone, "An interrupted replacement in " + names +
                                           " would be undone: each archive copied back from its copy, then " +
                                           recordPath + " and the copies removed."};
    } catch (const std::exception& failure) {
        return {RecoveryState::Unresolved,
                std::string("The interrupted replacement cannot be judged: ") + failure.what() + "."};
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
        sink.ShowMessage(DataSetBusyText(dataDir), kDataSetBusyCaption);
        return nullptr;
    }
    // Nobody is rebuilding (that would hold the lock exclusively), so a
    // record is one a dead process left: until it is recovered, an archive
    // may be half rewritten.
    const std::string recordPath = Utf8Of(PathFromUtf8(dataDir) / kRebuildRecordName);
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
        context.sink.ShowMessage(DataSetBusyText(dataDir), kDataSetBusyCaption);
        return nullptr;
    }
    if (use == DataSetUse::Rehearse) {
        // What recovery would do is told; the rehearsal goes on only where
        // the real run would, on the index and archives as they stand: an
        // undone replacement leaves the index as it is now, a completed one
        // too.
        const RecoveryReport report = DescribeInterruptedRebuild(context.fs, context.paths);
        if (!report.text.empty()) context.sink.ShowMessage(report.text, caption);
        if (report.state == RecoveryState::Unresolved || report.state == RecoveryState::StrayCopy) return nullptr;
        return lock;
    }
    const RecoveryReport report = RecoverInterruptedRebuild(context.fs, context.paths);
    // A stray copy matters only to a replacement, which refuses with it.
    if (!report.text.empty() && report.state != RecoveryState::StrayCopy)
        context.sink.ShowMessage(report.text, caption);
    if (report.state == RecoveryState::Unresolved) return nullptr;
    if (use == DataSetUse::Read) lock->Share();
    return lock;
}

}  // namespace qax
