// The papers of a batch extraction: see batch_note.h.
#include "batch_note.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <optional>

#include "catalogue.h"
#include "data_set.h"

namespace qax {

namespace {

constexpr const char* kBatchNoteMagic = "QAXEXTRACT 3";
// An earlier version's note lists the files it wrote under their final
// names and records nothing that proves them its own: what it lists is
// named, never removed.
constexpr const char* kEarlierBatchNoteMagic = "QAXEXTRACT 2";
constexpr const char* kBatchRecordMagic = "QAXEXTRACT MADE";
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

// The whole first line of a note: its version and type, and how many names
// and which bytes follow it, so that only a note written whole by this
// program, for this type, is ever taken for one.
std::string BatchNoteHeader(const char* magic, int group, std::size_t count, const std::string& listing) {
    return std::string(magic) + " " + OutputEnding(group) + " " + std::to_string(count) + " " +
           HexOf(ChecksumOf(listing));
}

// The first line of a note's record: how many identities follow, of the
// files of which listing, and which bytes they are.
std::string BatchRecordHeader(std::size_t count, const std::string& noteListing, const std::string& identities) {
    return std::string(kBatchRecordMagic) + " " + std::to_string(count) + " " + HexOf(ChecksumOf(noteListing)) + " " +
           HexOf(ChecksumOf(identities));
}

// The file's whole text, when it is a regular file of its own within the
// limit; Empty, NotOurs (too long) or Unreadable otherwise.
PaperKind ReadPaper(FileSystem& fs, const std::string& path, std::string& text,
                    std::optional<std::int64_t>* changed = nullptr) {
    try {
        auto file = fs.Open(path, OpenMode::ReadOwn);
        const std::uint64_t length = file->Length();
        // Empty, it holds nothing: what a power cut leaves of a note or a
        // record whose bytes had not reached the disk.
        if (length == 0) return PaperKind::Empty;
        if (length > kBatchNoteLimit) return PaperKind::NotOurs;
        text.assign(static_cast<std::size_t>(length), '\0');
        if (!ReadExactly(*file, text.data(), text.size())) return PaperKind::NotOurs;
        if (changed != nullptr) *changed = file->ChangeTime();
        return PaperKind::Ours;
    } catch (const IoError&) {
        // Not a regular file of its own, or unreadable now: not ours to act
        // on, and nothing to say about it either.
        return PaperKind::Unreadable;
    }
}

// Splits `text` into its first line and the lines after it, each ended by
// a line feed; false when it is not made so.
bool SplitPaper(const std::string& text, std::string& header, std::string& listing, std::vector<std::string>& lines) {
    const std::size_t headerEnd = text.find('\n');
    if (headerEnd == std::string::npos) return false;
    header = text.substr(0, headerEnd);
    listing = text.substr(headerEnd + 1);
    if (!listing.empty() && listing.back() != '\n') return false;
    std::size_t at = 0;
    for (std::size_t end; (end = listing.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(listing.substr(at, end - at));
    return true;
}

}  // namespace

const char* OutputEnding(int group) {
    return group == Txt ? ".TXT" : ".SHP";
}

std::string PaperNamed(const std::string& path, const char* fromPrefix, const char* toPrefix) {
    const std::filesystem::path file = PathFromUtf8(path);
    return Utf8Of(file.parent_path() /
                  PathFromUtf8(toPrefix + Utf8Of(file.filename()).substr(std::strlen(fromPrefix))));
}

FoundNote ReadBatchNote(FileSystem& fs, const std::string& path, int group) {
    FoundNote note;
    std::string text;
    std::optional<std::int64_t> madeAt;
    note.kind = ReadPaper(fs, path, text, &madeAt);
    if (note.kind != PaperKind::Ours) return note;
    note.kind = PaperKind::NotOurs;
    std::string header;
    if (!SplitPaper(text, header, note.listing, note.names)) return note;
    const int other = group == Txt ? Shp : Txt;
    const std::size_t count = note.names.size();
    for (const char* magic : {kBatchNoteMagic, kEarlierBatchNoteMagic})
        if (header == BatchNoteHeader(magic, other, count, note.listing)) {
            note.kind = PaperKind::OtherType;
            return note;
        }
    if (!madeAt) return note;
    note.madeAt = *madeAt;
    if (header == BatchNoteHeader(kBatchNoteMagic, group, count, note.listing))
        note.kind = PaperKind::Ours;
    else if (header == BatchNoteHeader(kEarlierBatchNoteMagic, group, count, note.listing))
        note.kind = PaperKind::Earlier;
    return note;
}

FoundRecord ReadBatchRecord(FileSystem& fs, const std::string& path) {
    FoundRecord record;
    std::string text;
    record.kind = ReadPaper(fs, path, text);
    if (record.kind != PaperKind::Ours) return record;
    const std::string start = std::string(kBatchRecordMagic) + " ";
    const std::size_t compared = std::min(start.size(), text.size());
    record.kind = text.compare(0, compared, start, 0, compared) == 0 ? PaperKind::Torn : PaperKind::NotOurs;
    std::string header;
    std::string body;
    std::vector<std::string> lines;
    if (!SplitPaper(text, header, body, lines)) return record;
    for (const std::string& line : lines) {
        FileIdentity identity;
        const char* end = line.data() + line.size();
        const auto device = std::from_chars(line.data(), end, identity.device);
        if (device.ec != std::errc{} || device.ptr == end || *device.ptr != ' ') return record;
        const auto index = std::from_chars(device.ptr + 1, end, identity.index);
        if (index.ec != std::errc{} || index.ptr != end) return record;
        record.identities.push_back(identity);
    }
    // The header names the note's listing by its checksum, which the record
    // cannot check by itself: it is taken whole when the rest matches.
    const std::string prefix = std::string(kBatchRecordMagic) + " " + std::to_string(lines.size()) + " ";
    if (header.size() != prefix.size() + 17 || header.compare(0, prefix.size(), prefix) != 0) return record;
    record.noteChecksum = header.substr(prefix.size(), 8);
    if (header != prefix + record.noteChecksum + " " + HexOf(ChecksumOf(body))) return record;
    record.kind = PaperKind::Ours;
    return record;
}

bool IsRecordOf(const FoundRecord& record, const FoundNote& note) {
    return record.kind == PaperKind::Ours && record.noteChecksum == HexOf(ChecksumOf(note.listing)) &&
           record.identities.size() == note.names.size();
}

BatchPapers StartBatch(FileSystem& fs, const std::string& directory, int group,
                       const std::vector<std::string>& hiddenNames) {
    BatchPapers papers;
    for (const std::string& name : hiddenNames) papers.listing += name + "\n";
    const std::string text =
        BatchNoteHeader(kBatchNoteMagic, group, hiddenNames.size(), papers.listing) + "\n" + papers.listing;
    const std::string hex = RandomHex(8);
    papers.notePath = directory + kPathSeparator + kBatchNotePrefix + hex;
    auto note = fs.Open(papers.notePath, OpenMode::CreateNew);
    bool recordMade = false;
    try {
        note->Write(text.data(), text.size());
        note->Flush();
        note->Close();
        papers.recordPath = directory + kPathSeparator + kBatchRecordPrefix + hex;
        papers.record = fs.Open(papers.recordPath, OpenMode::CreateNew);
        recordMade = true;
        fs.SyncDirectoryOf(papers.notePath);
    } catch (const IoError&) {
        note.reset();
        papers.record.reset();
        try {
            if (recordMade) RemoveLeftover(fs, papers.recordPath);
            RemoveLeftover(fs, papers.notePath);
        } catch (const IoError&) {
            // The failure the user must see is the one being thrown.
        }
        throw;
    }
    return papers;
}

void RecordMadeFiles(BatchPapers& papers, const std::vector<FileIdentity>& made) {
    std::string identities;
    for (const FileIdentity& identity : made)
        identities += std::to_string(identity.device) + " " + std::to_string(identity.index) + "\n";
    const std::string text = BatchRecordHeader(made.size(), papers.listing, identities) + "\n" + identities;
    papers.record->Write(text.data(), text.size());
    papers.record->Flush();
    papers.record->Close();
    papers.record.reset();
}

}  // namespace qax
