#include "index_file.h"

#include <gtest/gtest.h>

#include "index_builder.h"
#include "temp_dir.h"

namespace qax {
namespace {

using testing::IndexBytes;
using testing::RawEntry;
using testing::SectionBytes;
using testing::TempDir;
using testing::WriteBytes;

class IndexFiles : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::vector<unsigned char>& bytes) {
        WriteBytes(dir_ / name, bytes);
        return (dir_ / name).string();
    }
    TempDir dir_;
    SystemFileSystem fs_;
};

TEST_F(IndexFiles, SectionCountsBecomeByteBounds) {
    const auto path = Write("ext.idx", SectionBytes({2, 5, 5, 6, 9, 1000}));
    const SectionLoadResult result = LoadSectionTable(fs_, path);
    ASSERT_EQ(result.status, SectionLoadStatus::Loaded);
    EXPECT_EQ(result.table, (SectionTable{{4, 36, 84, 84, 100, 148, 16004}}));
    EXPECT_EQ(result.table.EntryCount(Txt), 2u);
    EXPECT_EQ(result.table.EntryCount(Til), 0u);
}

TEST_F(IndexFiles, ZeroFirstCountLeavesTxtEmpty) {
    const auto path = Write("ext.idx", SectionBytes({0, 3, 3, 3, 3, 3}));
    const SectionLoadResult result = LoadSectionTable(fs_, path);
    ASSERT_EQ(result.status, SectionLoadStatus::Loaded);
    EXPECT_EQ(result.table.B[1], 4u);
    EXPECT_EQ(result.table.EntryCount(Txt), 0u);
    EXPECT_EQ(result.table.EntryCount(Shp), 3u);
}

TEST_F(IndexFiles, BytesBeyondTheSixRecordsAreIgnored) {
    auto bytes = SectionBytes({1, 2, 3, 4, 5, 6});
    bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(LoadSectionTable(fs_, Write("ext.idx", bytes)).status, SectionLoadStatus::Loaded);
}

TEST_F(IndexFiles, SectionFileFailures) {
    EXPECT_EQ(LoadSectionTable(fs_, (dir_ / "absent").string()).status, SectionLoadStatus::CannotOpen);
    auto bytes = SectionBytes({1, 2, 3, 4, 5, 6});
    for (std::size_t cut : {0u, 12u, 91u, 95u}) {
        bytes.resize(cut);
        const SectionLoadResult result = LoadSectionTable(fs_, Write("ext.idx", bytes));
        EXPECT_EQ(result.status, SectionLoadStatus::TooShort) << cut;
        EXPECT_EQ(result.table, SectionTable{}) << cut;
    }
}

TEST(SectionTableChecks, TxtAndShpBoundsMustIncreaseAndFitTheIndex) {
    EXPECT_EQ(SectionTableProblem(SectionTable{{4, 20, 20, 36, 36, 36, 52}}, 52), "");
    EXPECT_NE(SectionTableProblem(SectionTable{{4, 20, 36, 36, 36, 36, 36}}, 35), "");
    EXPECT_NE(SectionTableProblem(SectionTable{{4, 36, 20, 36, 36, 36, 52}}, 100), "");
    EXPECT_NE(SectionTableProblem(SectionTable{{4, UINT32_MAX, UINT32_MAX, 0, 0, 0, 0}}, 100), "");
    // The bounds after the Shp group are not looked at.
    EXPECT_EQ(SectionTableProblem(SectionTable{{4, 20, 20, 36, 36, 36, 52}}, 51), "");
    EXPECT_EQ(SectionTableProblem(SectionTable{{4, 20, 36, 4, 100, 0, UINT32_MAX}}, 36), "");
}

TEST(EntryOffsets, LineJOfGroupT) {
    const SectionTable table{{4, 36, 84, 84, 100, 148, 164}};
    EXPECT_EQ(EntryOffset(table, Txt, 0), 4u);
    EXPECT_EQ(EntryOffset(table, Txt, 1), 20u);
    EXPECT_EQ(EntryOffset(table, Shp, 2), 68u);
    EXPECT_EQ(EntryOffset(table, Pal, 3), 148u);
}

TEST_F(IndexFiles, NamesEndAtZeroOrAfterEightBytes) {
    const auto path =
        Write("qaxdata.idx", IndexBytes(0xDEADBEEF, {{"ABCDEFGH", 7, 0}, {"MAP", 512, 4096}, {"", 0, 0xFFFFFFFF}}));
    auto index = fs_.Open(path, OpenMode::Read);
    // The group claims a fourth entry that the index cuts off.
    const auto entries = ReadGroupEntries(*index, SectionTable{{4, 68, 68, 68, 68, 68, 68}}, Txt);
    ASSERT_EQ(entries.size(), 3u) << "an entry cut off by the end of the index is not read";
    EXPECT_EQ(entries[0].name, "ABCDEFGH");
    EXPECT_EQ(entries[0].size, 7);
    EXPECT_EQ(entries[1].name, "MAP");
    EXPECT_EQ(entries[1].offset, 4096u);
    EXPECT_EQ(entries[2].name, "");
    EXPECT_EQ(entries[2].offset, 0xFFFFFFFFu);
}

TEST_F(IndexFiles, NameWithBytesAfterItsTerminatorStopsAtTheZero) {
    auto bytes = IndexBytes(0, {{"TANK", 1, 2}});
    bytes[4 + 5] = 'X';  // garbage after the terminator must not show
    EXPECT_EQ(DecodeIndexEntry(bytes.data() + 4).name, "TANK");
}

TEST_F(IndexFiles, GroupReadListsCompleteEntriesOnly) {
    std::vector<RawEntry> entries = {{"A", 1, 0}, {"BB", 2, 1}, {"CCC", 3, 3}, {"DDDD", 4, 0}};
    auto bytes = IndexBytes(0, entries);
    const SectionTable table{{4, 52, 68, 68, 68, 68, 68}};
    auto index = fs_.Open(Write("qaxdata.idx", bytes), OpenMode::Read);

    const auto txt = ReadGroupEntries(*index, table, Txt);
    ASSERT_EQ(txt.size(), 3u);
    EXPECT_EQ(txt[2].name, "CCC");
    EXPECT_EQ(txt[2].offset, 3u);
    EXPECT_EQ(ReadGroupEntries(*index, table, Shp).size(), 1u);
    EXPECT_TRUE(ReadGroupEntries(*index, table, Til).empty());

    bytes.resize(bytes.size() - 20);  // the index now ends inside the third entry
    auto truncated = fs_.Open(Write("short.idx", bytes), OpenMode::Read);
    EXPECT_EQ(ReadGroupEntries(*truncated, table, Txt).size(), 2u);
    EXPECT_TRUE(ReadGroupEntries(*truncated, table, Shp).empty());
}

TEST_F(IndexFiles, BoundsFarPastTheIndexReadNothingExtra) {
    auto index = fs_.Open(Write("qaxdata.idx", IndexBytes(0, {{"A", 1, 0}})), OpenMode::Read);
    const SectionTable bogus{{4, 0x7FFFFFF4u, 0xFFFFFFF4u, 0, 0, 0, 0}};
    EXPECT_EQ(ReadGroupEntries(*index, bogus, Txt).size(), 1u);
    EXPECT_TRUE(ReadGroupEntries(*index, bogus, Shp).empty());
    EXPECT_TRUE(ReadGroupEntries(*index, bogus, Til).empty()) << "a bound going backwards lists nothing";
}

}  // namespace
}  // namespace qax
