// A small data set written from a plain list of members, for the archive
// operation tests. The bytes a data set must hold after an operation are
// built here the same plain way (concatenation for the archives, running sums
// for the offsets), never by the code under test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "catalogue.h"
#include "data_set.h"
#include "index_builder.h"
#include "index_file.h"
#include "temp_dir.h"
#include "system_plants.h"

namespace qax::testing {

struct Member {
    std::string name;
    std::string bytes;
};

struct MemberSet {
    std::uint32_t header = 0x51415831;
    std::vector<Member> txt;
    std::vector<Member> shp;
    // Til, Tnm, Pal and Dat entries, written as they are: the operations must
    // leave them byte for byte alone.
    std::vector<RawEntry> others = {{"TILE0001", 300, 0}, {"TNM", 12, 300}, {"PAL", 768, 0}, {"DAT", 4, 768}};
};

// A member of `size` bytes whose content tells where each byte came from.
inline Member PatternMember(const std::string& name, std::size_t size, unsigned seed) {
    Member member{name, std::string(size, '\0')};
    for (std::size_t i = 0; i < size; ++i)
        member.bytes[i] = static_cast<char>((i * 131 + seed * 7919 + i / 251) & 0xFF);
    return member;
}

inline std::string ArchiveFor(const std::vector<Member>& members) {
    std::string archive;
    for (const Member& m : members) archive += m.bytes;
    return archive;
}

inline std::vector<RawEntry> BackToBackEntries(const std::vector<Member>& members) {
    std::vector<RawEntry> entries;
    std::uint32_t offset = 0;
    for (const Member& m : members) {
        entries.push_back({m.name, static_cast<std::uint32_t>(m.bytes.size()), offset});
        offset += static_cast<std::uint32_t>(m.bytes.size());
    }
    return entries;
}

inline std::vector<RawEntry> AllEntries(const MemberSet& set) {
    std::vector<RawEntry> entries = BackToBackEntries(set.txt);
    for (const RawEntry& e : BackToBackEntries(set.shp)) entries.push_back(e);
    entries.insert(entries.end(), set.others.begin(), set.others.end());
    return entries;
}

inline std::vector<unsigned char> IndexFor(const MemberSet& set) {
    return IndexBytes(set.header, AllEntries(set));
}

// How many entries each of the groups 2..5 has: one each, or none at all
// (the Shp group then ends the index).
inline std::uint32_t OtherEntriesPerGroup(const MemberSet& set) {
    return set.others.empty() ? 0 : 1;
}

// B[0] = 4 and B[t+1] = 4 + 16 * (entries of groups 0..t).
inline SectionTable TableFor(const MemberSet& set) {
    SectionTable table;
    const std::uint32_t other = OtherEntriesPerGroup(set);
    const std::uint32_t counts[6] = {static_cast<std::uint32_t>(set.txt.size()),
                                     static_cast<std::uint32_t>(set.shp.size()),
                                     other,
                                     other,
                                     other,
                                     other};
    table.B[0] = 4;
    std::uint32_t entries = 0;
    for (int t = 0; t < 6; ++t) {
        entries += counts[t];
        table.B[static_cast<std::size_t>(t) + 1] = 4 + 16 * entries;
    }
    return table;
}

inline std::string AsString(const std::vector<unsigned char>& bytes) {
    return {bytes.begin(), bytes.end()};
}

// A whole file in one read: the fault walks read the data set back after
// every step, and a byte-by-byte read would dominate their time.
inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::string bytes(static_cast<std::size_t>(std::filesystem::file_size(path)), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return bytes;
}

// Equality of two byte strings without printing megabytes when they differ.
inline ::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << "lengths " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at;
}

// <dir>/data/... and the editor at <dir>/edit/qaxedit, as the editor derives
// them; <dir> is a fresh directory, or `product` (UTF-8, any depth) inside it.
class DataSetOnDisk {
public:
    explicit DataSetOnDisk(const MemberSet& set, const std::string& product = {})
        : product_(product.empty() ? dir_.Path() : dir_.Path() / PathFromUtf8(product)),
          paths_(DeriveDataSetPaths(Utf8Of(product_ / "edit" / "qaxedit"))) {
        std::filesystem::create_directories(product_ / "edit");
        Write(set);
    }

    void Write(const MemberSet& set) {
        const std::uint32_t t = static_cast<std::uint32_t>(set.txt.size());
        const std::uint32_t s = t + static_cast<std::uint32_t>(set.shp.size());
        WriteBytes(PathFromUtf8(paths_.IndexPath), IndexFor(set));
        const std::uint32_t o = OtherEntriesPerGroup(set);
        WriteBytes(PathFromUtf8(paths_.SectionPath), SectionBytes({t, s, s + o, s + 2 * o, s + 3 * o, s + 4 * o}));
        WriteText(PathFromUtf8(paths_.TxtArchivePath), ArchiveFor(set.txt));
        WriteText(PathFromUtf8(paths_.ShpArchivePath), ArchiveFor(set.shp));
        WriteText(PathFromUtf8(paths_.PalArchivePath), std::string(768, '\x11'));
    }

    const DataSetPaths& Paths() const { return paths_; }
    std::string EditorDir() const { return Utf8Of(product_ / "edit"); }
    std::filesystem::path Dir() const { return product_; }

    std::string Index() const { return ReadWholeFile(PathFromUtf8(paths_.IndexPath)); }
    std::string Txt() const { return ReadWholeFile(PathFromUtf8(paths_.TxtArchivePath)); }
    std::string Shp() const { return ReadWholeFile(PathFromUtf8(paths_.ShpArchivePath)); }
    bool TempExists() const { return std::filesystem::exists(PathFromUtf8(paths_.TempPath)); }
    std::filesystem::path RecordPath() const { return product_ / "data" / "~qaxedit.rec"; }
    // Files the operations may create and must not leave behind: the
    // record, the copies, and any unfinished new file in the data directory.
    bool LeftoversExist() const {
        if (NameExists(RecordPath())) return true;
        if (TempExists() || std::filesystem::exists(PathFromUtf8(paths_.TempPath + ".2"))) return true;
        for (const auto& entry : std::filesystem::directory_iterator(product_ / "data"))
            if (entry.path().extension() == ".new") return true;
        return false;
    }

private:
    TempDir dir_;
    std::filesystem::path product_;
    DataSetPaths paths_;
};

// Line `line` of group `group` as the list shows it for the index on disk,
// the way the window hands a selection to an operation; no text when the
// list has no such line.
inline ListedLine Listed(const DataSetPaths& paths, const SectionTable& table, int group, int line) {
    SystemFileSystem fs;
    const std::vector<std::string> lines = FillCatalogue(fs, paths.IndexPath, table, group);
    const bool listed = line >= 0 && static_cast<std::size_t>(line) < lines.size();
    return {line, listed ? lines[static_cast<std::size_t>(line)] : std::string()};
}

// A line given as text, at the place the list shows it (-1 when it does not).
inline ListedLine ListedText(const DataSetPaths& paths, const SectionTable& table, int group, std::string_view text) {
    SystemFileSystem fs;
    const std::vector<std::string> lines = FillCatalogue(fs, paths.IndexPath, table, group);
    const auto found = std::find(lines.begin(), lines.end(), text);
    return {found == lines.end() ? -1 : static_cast<int>(found - lines.begin()), std::string(text)};
}

// The set with member `member` of group `group` (Txt or Shp) given new bytes.
inline MemberSet WithMemberReplaced(MemberSet set, int group, std::size_t member, std::string bytes) {
    (group == Txt ? set.txt : set.shp).at(member).bytes = std::move(bytes);
    return set;
}

// The data set on disk holds exactly what `expected` describes, and nothing
// an operation makes for itself is left behind.
inline void ExpectDataSetHolds(const DataSetOnDisk& disk, const MemberSet& expected) {
    EXPECT_TRUE(SameBytes(disk.Index(), AsString(IndexFor(expected))));
    EXPECT_TRUE(SameBytes(disk.Txt(), ArchiveFor(expected.txt)));
    EXPECT_TRUE(SameBytes(disk.Shp(), ArchiveFor(expected.shp)));
    EXPECT_FALSE(disk.LeftoversExist());
}

}  // namespace qax::testing
