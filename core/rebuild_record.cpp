#include "rebuild_record.h"

#include <zlib.h>

#include <algorithm>
#include <utility>

namespace qax {

namespace {

std::string FileNameOf(const std::string& path) {
    return Utf8Of(PathFromUtf8(path).filename());
}

void AppendNumber(std::string& out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

constexpr char kCopyMarkMagic[8] = {'Q', 'A', 'X', 'C', 'O', 'P', 'Y', '\n'};
static_assert(kSafetyCopyMarkSize == sizeof kCopyMarkMagic + kRecordTokenSize + 4 + 8);

// The record: a small binary file with a version and a checksum of its
// own, so that a record that was torn or damaged is known for what it is.
constexpr char kRecordMagic[8] = {'Q', 'A', 'X', 'R', 'E', 'C', '\r', '\n'};
// A record with an undo directory is of the next version, which adds it
// at the end; every other record is still written as version 2, which
// editors from before undos read.
constexpr std::uint32_t kRecordVersion = 2;
constexpr std::uint32_t kRecordVersionWithUndo = 3;

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

}  // namespace

std::string DataDirectoryOf(const DataSetPaths& paths) {
    return Utf8Of(PathFromUtf8(LinkTarget(paths.IndexPath)).parent_path());
}

std::string RebuildRecordPath(const DataSetPaths& paths) {
    return Utf8Of(PathFromUtf8(DataDirectoryOf(paths)) / kRebuildRecordName);
}

std::string SafetyCopyPath(const DataSetPaths& paths, std::size_t n) {
    return n == 0 ? paths.TempPath : paths.TempPath + "." + std::to_string(n + 1);
}

std::string SafetyCopyName(std::size_t n) {
    const std::string first = "~temp.fpc";
    return n == 0 ? first : first + "." + std::to_string(n + 1);
}

std::uint32_t Checksum(const std::string& bytes) {
    return static_cast<std::uint32_t>(
        crc32_z(crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

std::uint32_t DataSetKey(const DataSetPaths& paths) {
    return Checksum(DataDirectoryOf(paths));
}

std::string NewRecordToken() {
    const std::string hex = RandomHex(kRecordTokenSize);
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string EncodeRecord(const RebuildRecord& record) {
    RecordWriter out;
    const bool withUndo = !record.undoDirectoryHint.empty();
    out.Number(withUndo ? kRecordVersionWithUndo : kRecordVersion, 4);
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
        out.Text(archive.copyPathHint);
        out.Number(archive.oldLength, 8);
        out.Number(archive.newLength, 8);
    }
    if (withUndo) out.Text(record.undoDirectoryHint);
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
    const std::uint64_t version = in.Number(4);
    if (version != kRecordVersion && version != kRecordVersionWithUndo) return std::nullopt;
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
        archive.copyPathHint = in.Text();
        archive.oldLength = in.Number(8);
        archive.newLength = in.Number(8);
        if (archive.archiveName != "txt.qax" && archive.archiveName != "shp.qax") return std::nullopt;
        record.archives.push_back(std::move(archive));
    }
    if (version == kRecordVersionWithUndo) {
        record.undoDirectoryHint = in.Text();
        if (record.undoDirectoryHint.empty()) return std::nullopt;
    }
    if (!in.Sound() || record.token.size() != kRecordTokenSize) return std::nullopt;
    if (record.archives.size() == 2 && record.archives[0].archiveName == record.archives[1].archiveName)
        return std::nullopt;
    return record;
}

bool StartsLikeRecord(const std::string& bytes) {
    const std::string magic(kRecordMagic, sizeof kRecordMagic);
    const std::size_t compared = std::min(bytes.size(), magic.size());
    return bytes.size() <= kLargestRecord && magic.compare(0, compared, bytes, 0, compared) == 0;
}

void WriteRecord(FileSystem& fs, const std::string& recordPath, const RebuildRecord& record) {
    const std::string bytes = EncodeRecord(record);
    SaveFile file(fs, recordPath, SaveFile::Links::ReplaceLink);
    // Whatever the user's file mask, nobody else may change what recovery
    // will rely on: a record others may write proves nothing.
    file.Stream().RestrictWritingToOwner();
    file.Stream().Write(bytes.data(), bytes.size());
    file.Commit();
}

std::string PartialNameFor(const std::string& fileName, const std::string& token) {
    std::string hex;
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const unsigned char c : token) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0xFu];
    }
    return fileName + "." + hex + ".new";
}

std::string PartialPathFor(const std::string& path, const std::string& token) {
    return Utf8Of(PathFromUtf8(path).parent_path() / PathFromUtf8(PartialNameFor(FileNameOf(path), token)));
}

std::string CopyMark(const std::string& token, std::uint32_t dataSetKey, std::uint64_t archiveLength) {
    std::string mark(kCopyMarkMagic, sizeof kCopyMarkMagic);
    mark += token;
    AppendNumber(mark, dataSetKey, 4);
    AppendNumber(mark, archiveLength, 8);
    return mark;
}

bool IsMarkedCopy(File& copy, const std::string& mark, std::uint64_t archiveLength) {
    if (copy.Length() != archiveLength + kSafetyCopyMarkSize) return false;
    std::string found(kSafetyCopyMarkSize, '\0');
    copy.Seek(archiveLength);
    const bool marked = ReadExactly(copy, found.data(), found.size()) && found == mark;
    copy.Seek(0);
    return marked;
}

std::string StrayCopyText(const std::string& copyPath) {
    return "The file " + copyPath +
           " has the temporary copy's name, but no unfinished replacement of this data set accounts for it, so the "
           "editor leaves it alone: keep it if you need it, otherwise delete it, since a replacement needs that "
           "name free.";
}

Unproved CheckClaim(const FileFacts& facts, Claim claim) {
    if (!facts.regular) return Unproved::NotAPlainFile;
    if (facts.links != 1) return Unproved::SeveralNames;
    if (claim != Claim::MadeByThisUser) return Unproved::No;
    if (!facts.ownedByProcess) return Unproved::AnotherUsers;
    if (facts.othersMayWrite) return Unproved::OthersMayWrite;
    return Unproved::No;
}

std::string UnprovedReason(Unproved unproved) {
    switch (unproved) {
        case Unproved::No:
            return {};
        case Unproved::NotAPlainFile:
            return "it is not a plain file (a link, a pipe, a device or a directory)";
        case Unproved::SeveralNames:
            return "it has more than one name (a hard link)";
        case Unproved::AnotherUsers:
            return "it belongs to another user";
        case Unproved::OthersMayWrite:
            return "users other than its owner may change it";
    }
    return {};
}

}  // namespace qax
