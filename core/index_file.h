// The index (qaxdata.idx), the section file (ext.idx) and the section table
// that bounds each member type's run of entries in the index.
//
// Index: a 4-byte header kept byte for byte, then 16-byte entries
// (8-byte name, 32-bit size, 32-bit offset, little-endian), grouped by type.
// Section file: six 16-byte records; bytes 12..15 of record t hold E[t], the
// number of the first entry after group t.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file_access.h"

namespace qax {

// The member type is the item index of the File Type group.
enum MemberType : int { Txt = 0, Shp = 1, Til = 2, Tnm = 3, Pal = 4, Dat = 5 };
inline constexpr int kMemberTypeCount = 6;

inline constexpr std::uint32_t kIndexHeaderSize = 4;
inline constexpr std::uint32_t kIndexEntrySize = 16;
inline constexpr std::uint32_t kSectionRecordSize = 16;
inline constexpr std::uint32_t kSectionFileMinimumSize = kSectionRecordSize * kMemberTypeCount;

// B[0] .. B[6]: byte offsets into the index; group t spans [B[t], B[t+1]).
// All zero until a start-up succeeded.
struct SectionTable {
    std::array<std::uint32_t, kMemberTypeCount + 1> B{};

    std::uint32_t GroupBegin(int group) const { return B[static_cast<std::size_t>(group)]; }
    std::uint32_t GroupEnd(int group) const { return B[static_cast<std::size_t>(group) + 1]; }
    std::uint32_t EntryCount(int group) const {
        return GroupEnd(group) > GroupBegin(group) ? (GroupEnd(group) - GroupBegin(group)) / kIndexEntrySize : 0;
    }
    bool operator==(const SectionTable&) const = default;
};

struct IndexEntry {
    std::string name;  // up to 8 bytes, cut at the first zero byte
    std::int32_t size = 0;
    std::uint32_t offset = 0;
};

enum class SectionLoadStatus {
    Loaded,
    CannotOpen,  // the file could not be opened for reading
    TooShort,    // a record's count cannot be read
    Unreadable   // a read failed
};

struct SectionLoadResult {
    SectionLoadStatus status = SectionLoadStatus::CannotOpen;
    SectionTable table;  // all zero unless Loaded
};

// Reads the six counts of the section file and turns them into byte bounds:
// B[0] = 4, B[t+1] = 16 * E[t] + 4.
SectionLoadResult LoadSectionTable(FileSystem& fs, const std::string& sectionPath);

// Why a loaded table cannot be trusted with an index of `indexLength` bytes,
// or an empty text when it can: the bounds of the Txt and Shp groups, the
// only ones read or written, must lie inside the index and none of them may
// go back before the one preceding it. The other groups' bounds are not
// looked at.
std::string SectionTableProblem(const SectionTable& table, std::uint64_t indexLength);

// The byte offset of line `line` of group `group` in the index.
std::uint64_t EntryOffset(const SectionTable& table, int group, std::uint32_t line);

// Decodes one 16-byte entry.
IndexEntry DecodeIndexEntry(const unsigned char* bytes);

// All entries of one group, read in one pass. Entries that the index does not
// hold completely are left out, so a truncated index lists what it has.
std::vector<IndexEntry> ReadGroupEntries(File& index, const SectionTable& table, int group);

}  // namespace qax
