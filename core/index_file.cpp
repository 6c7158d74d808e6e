#include "index_file.h"

#include <algorithm>

#include "little_endian.h"

namespace qax {

SectionLoadResult LoadSectionTable(FileSystem& fs, const std::string& sectionPath) {
    SectionLoadResult result;
    std::unique_ptr<File> section;
    try {
        section = fs.Open(sectionPath, OpenMode::Read);
    } catch (const IoError&) {
        result.status = SectionLoadStatus::CannotOpen;
        return result;
    }
    try {
        SectionTable table;
        table.B[0] = kIndexHeaderSize;
        for (std::size_t i = 1; i <= kMemberTypeCount; ++i) {
            section->Seek(kSectionRecordSize * i - 4);
            unsigned char count[4];
            if (!ReadExactly(*section, count, sizeof count)) {
                result.status = SectionLoadStatus::TooShort;
                return result;
            }
            // Computed wide: a count this large cannot describe a real index and
            // must not wrap round into a small, plausible-looking bound.
            std::uint64_t bound = std::uint64_t{kIndexEntrySize} * LoadU32(count) + kIndexHeaderSize;
            table.B[i] = static_cast<std::uint32_t>(std::min<std::uint64_t>(bound, UINT32_MAX));
        }
        section->Close();
        result.status = SectionLoadStatus::Loaded;
        result.table = table;
    } catch (const IoError&) {
        result.status = SectionLoadStatus::Unreadable;
    }
    return result;
}

std::string SectionTableProblem(const SectionTable& table, std::uint64_t indexLength) {
    // Only the Txt and Shp groups are ever read or written, so only their
    // bounds (B[0] to B[2]) must be sound. The bounds of the other groups are
    // kept as the section file gives them: nothing reads or writes an entry
    // through them, and those groups list nothing.
    static const char* const kCheckedGroupNames[] = {"Txt", "Shp"};
    static_assert(Txt == 0 && Shp == 1);
    for (int t = Txt; t <= Shp; ++t) {
        if (table.GroupEnd(t) < table.GroupBegin(t))
            return std::string("the ") + kCheckedGroupNames[t] + " group ends before it begins";
        if (table.GroupEnd(t) > indexLength)
            return std::string("the ") + kCheckedGroupNames[t] + " group runs past the end of the index (" +
                   std::to_string(table.GroupEnd(t)) + " > " + std::to_string(indexLength) + " bytes)";
    }
    return {};
}

std::uint64_t EntryOffset(const SectionTable& table, int group, std::uint32_t line) {
    return std::uint64_t{table.GroupBegin(group)} + std::uint64_t{kIndexEntrySize} * line;
}

IndexEntry DecodeIndexEntry(const unsigned char* bytes) {
    IndexEntry entry;
    const auto* nameEnd = std::find(bytes, bytes + 8, 0);
    entry.name.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(nameEnd - bytes));
    entry.size = LoadI32(bytes + 8);
    entry.offset = LoadU32(bytes + 12);
    return entry;
}

std::vector<IndexEntry> ReadGroupEntries(File& index, const SectionTable& table, int group) {
    std::vector<IndexEntry> entries;
    const std::uint32_t begin = table.GroupBegin(group);
    // Never trust the bound beyond what the file holds: a damaged section
    // table must not make the listing allocate or read garbage.
    const std::uint64_t end = std::min<std::uint64_t>(table.GroupEnd(group), index.Length());
    if (end <= begin) return entries;

    std::vector<unsigned char> bytes(end - begin);
    index.Seek(begin);
    const std::size_t got = index.Read(bytes.data(), bytes.size());
    const std::size_t complete = got / kIndexEntrySize;
    entries.reserve(complete);
    for (std::size_t i = 0; i < complete; ++i) entries.push_back(DecodeIndexEntry(bytes.data() + i * kIndexEntrySize));
    return entries;
}

}  // namespace qax
