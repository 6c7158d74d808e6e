// The Txt replacement's results, checked against archives and indexes built
// by hand from the member list.
#include <gtest/gtest.h>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "faulty_file_system.h"
#include "little_endian.h"
#include "recording_sink.h"

namespace qax {
namespace {

using testing::AsString;
using testing::DataSetOnDisk;
using testing::FaultyFileSystem;
using testing::IndexBytes;
using testing::MemberSet;
using testing::PatternMember;
using testing::RecordingSink;
using testing::SameBytes;
using testing::TableFor;
using testing::WriteText;

MemberSet FiveTextMembers() {
    MemberSet set;
    set.txt = {{"INTRO", "Welcome, commander.\r\n"},
               {"BRIEFING", std::string(700, 'b')},
               PatternMember("MISSION1", 5000, 1),
               {"M", "x"},
               {"ENDING", "The war is over.\r\n"}};
    set.shp = {PatternMember("TANK", 900, 2), PatternMember("JEEP", 300, 3)};
    return set;
}

class TextReplacement : public ::testing::Test {
protected:
    ArchiveOutcome Replace(int line, const std::string& bytes) {
        WriteText(ReplacementPath(), bytes);
        return ReplaceTextMember(Context(), Listed(line), ReplacementPath());
    }
    ArchiveContext Context() { return {fs_, disk_.Paths(), table_, sink_}; }
    ListedLine Listed(int line) const { return testing::Listed(disk_.Paths(), table_, Txt, line); }
    std::string ReplacementPath() const { return (disk_.Dir() / "new.txt").string(); }

    void ExpectReplaced(int line, const std::string& bytes) {
        testing::ExpectDataSetHolds(disk_,
                                    testing::WithMemberReplaced(set_, Txt, static_cast<std::size_t>(line), bytes));
        EXPECT_TRUE(sink_.messages.empty()) << sink_.messages[0].text;
    }

    MemberSet set_ = FiveTextMembers();
    DataSetOnDisk disk_{set_};
    SectionTable table_ = TableFor(set_);
    PosixFileSystem fs_;
    RecordingSink sink_;
};

TEST_F(TextReplacement, ReplacesTheFirstMiddleAndLastMember) {
    for (int line : {0, 2, 4}) {
        SCOPED_TRACE(line);
        disk_.Write(set_);
        const std::string bytes = "replacement for line " + std::to_string(line) + std::string(1000, 'r');
        EXPECT_EQ(Replace(line, bytes), ArchiveOutcome::Done);
        ExpectReplaced(line, bytes);
    }
}

TEST_F(TextReplacement, EmptyLargerSmallerAndSameSizeReplacements) {
    const std::string sameSize(set_.txt[1].bytes.size(), 's');
    for (const std::string& bytes : {std::string(), std::string(20000, 'L'), std::string("tiny"), sameSize}) {
        SCOPED_TRACE(bytes.size());
        disk_.Write(set_);
        EXPECT_EQ(Replace(1, bytes), ArchiveOutcome::Done);
        ExpectReplaced(1, bytes);
    }
}

TEST_F(TextReplacement, SameSizeLeavesTheIndexAndTheArchiveLengthAsTheyWere) {
    const std::string before = disk_.Index();
    const std::size_t length = disk_.Txt().size();
    ASSERT_EQ(Replace(2, std::string(5000, 'z')), ArchiveOutcome::Done);
    EXPECT_EQ(disk_.Index(), before);
    EXPECT_EQ(disk_.Txt().size(), length);
}

TEST_F(TextReplacement, OnlyTheSizeAndTheLaterOffsetsChange) {
    const std::string before = disk_.Index();
    ASSERT_EQ(Replace(1, std::string(1000, 'n')), ArchiveOutcome::Done);  // 300 bytes longer
    const std::string after = disk_.Index();
    ASSERT_EQ(after.size(), before.size());

    auto field = [](const std::string& index, std::uint32_t line, int at) {
        return LoadU32(reinterpret_cast<const unsigned char*>(index.data()) + 4 + 16 * line + at);
    };
    EXPECT_EQ(field(after, 1, 8), 1000u);
    EXPECT_EQ(field(after, 1, 12), field(before, 1, 12));
    for (std::uint32_t line = 2; line < 5; ++line) EXPECT_EQ(field(after, line, 12), field(before, line, 12) + 300);

    // Header, the entries before the selection, and everything after the Txt group.
    EXPECT_EQ(after.substr(0, 4 + 16 + 8), before.substr(0, 4 + 16 + 8));
    EXPECT_EQ(after.substr(table_.B[1]), before.substr(table_.B[1]));
}

TEST_F(TextReplacement, ShowsNothingAndLeavesNoTemporaryCopy) {
    sink_.pane = "the member's text";
    ASSERT_EQ(Replace(3, "y"), ArchiveOutcome::Done);
    EXPECT_EQ(sink_.pane, "the member's text");
    EXPECT_TRUE(sink_.busyHistory.empty());
    EXPECT_EQ(sink_.eventPasses, 0);
    EXPECT_FALSE(disk_.TempExists());
}

// Writes txt.qax and a Txt group of the given entries, with the two Shp
// entries and the others of FiveTextMembers after it; returns the entries
// and the section table that go with them.
struct TxtGroupOnDisk {
    std::vector<testing::RawEntry> entries;
    SectionTable table;
};

TxtGroupOnDisk WriteTxtGroup(const DataSetOnDisk& disk, const MemberSet& set, const std::string& archive,
                             std::vector<testing::RawEntry> txt) {
    testing::WriteText(disk.Paths().TxtArchivePath, archive);
    TxtGroupOnDisk group{std::move(txt), {}};
    const auto txtCount = static_cast<std::uint32_t>(group.entries.size());
    group.entries.push_back({"TANK", 900, 0});
    group.entries.push_back({"JEEP", 300, 900});
    group.entries.insert(group.entries.end(), set.others.begin(), set.others.end());
    testing::WriteBytes(disk.Paths().IndexPath, IndexBytes(set.header, group.entries));
    testing::WriteBytes(disk.Paths().SectionPath, testing::SectionBytes({txtCount, txtCount + 2, txtCount + 3,
                                                                         txtCount + 4, txtCount + 5, txtCount + 6}));
    const std::uint32_t txtEnd = 4 + 16 * txtCount;
    group.table.B = {4, txtEnd, txtEnd + 16 * 2, txtEnd + 16 * 3, txtEnd + 16 * 4, txtEnd + 16 * 5, txtEnd + 16 * 6};
    return group;
}

TEST_F(TextReplacement, AnArchiveWithGapsComesOutBackToBackWithTrueOffsets) {
    // Bytes no entry points to lie between the members and after them.
    const std::vector<testing::RawEntry> gapped = {{"A", 4, 0}, {"B", 2, 6}, {"C", 5, 11}};
    const SectionTable table = [] {
        SectionTable t;
        t.B = {4, 4 + 16 * 3, 4 + 16 * 5, 4 + 16 * 6, 4 + 16 * 7, 4 + 16 * 8, 4 + 16 * 9};
        return t;
    }();
    auto withOthers = [&](std::vector<testing::RawEntry> txt) {
        txt.push_back({"TANK", 900, 0});
        txt.push_back({"JEEP", 300, 900});
        txt.insert(txt.end(), set_.others.begin(), set_.others.end());
        return IndexBytes(set_.header, txt);
    };
    struct Case {
        int line;
        std::string archive;
        std::vector<testing::RawEntry> txt;
    };
    // Replacing A leaves B and C, which a gap parts, to be copied on their own.
    for (const Case& expected : {Case{1, "AAAAbbbCCCCC", {{"A", 4, 0}, {"B", 3, 4}, {"C", 5, 7}}},
                                 Case{0, "bbbBBCCCCC", {{"A", 3, 0}, {"B", 2, 3}, {"C", 5, 5}}}}) {
        SCOPED_TRACE(expected.line);
        WriteText(disk_.Paths().TxtArchivePath, "AAAA--BB---CCCCC***");
        testing::WriteBytes(disk_.Paths().IndexPath, withOthers(gapped));
        testing::WriteBytes(disk_.Paths().SectionPath, testing::SectionBytes({3, 5, 6, 7, 8, 9}));
        WriteText(ReplacementPath(), "bbb");
        ASSERT_EQ(ReplaceTextMember({fs_, disk_.Paths(), table, sink_},
                                    testing::Listed(disk_.Paths(), table, Txt, expected.line), ReplacementPath()),
                  ArchiveOutcome::Done);
        EXPECT_EQ(disk_.Txt(), expected.archive);
        EXPECT_TRUE(SameBytes(disk_.Index(), AsString(withOthers(expected.txt))));
    }
}

// The members before the selection that already lie back to back from
// offset 0 are neither read nor written; the first member out of place ends
// them (an empty one has no bytes to be out of place), and everything from
// there on is written.
TEST_F(TextReplacement, WritesFromTheFirstByteThatChanges) {
    struct Case {
        int line;
        std::string replacement;
        std::string newArchive;
        std::uint64_t keptLength;
    };
    // A at 0, the empty E at a stray offset, B right after A, C and D each
    // after a gap.
    const std::string archive = "AAAABB---CC--DDD*";
    const std::vector<testing::RawEntry> txt = {{"A", 4, 0}, {"E", 0, 17}, {"B", 2, 4}, {"C", 2, 9}, {"D", 3, 13}};
    const Case cases[] = {
        {0, "aa", "aaBBCCDDD", 0},      // the member at offset 0
        {1, "e", "AAAAeBBCCDDD", 4},    // the empty member itself
        {2, "bb", "AAAAbbCCDDD", 4},    // the same size
        {3, "ccc", "AAAABBcccDDD", 6},  // a gap right before the selection
        {4, "d", "AAAABBCCd", 6},       // a gap before the member before it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const SectionTable table = WriteTxtGroup(disk_, set_, archive, txt).table;
        WriteText(ReplacementPath(), c.replacement);
        PosixFileSystem real;
        FaultyFileSystem spy(real);
        ASSERT_EQ(ReplaceTextMember({spy, disk_.Paths(), table, sink_},
                                    testing::Listed(disk_.Paths(), table, Txt, c.line), ReplacementPath()),
                  ArchiveOutcome::Done);
        EXPECT_EQ(disk_.Txt(), c.newArchive);
        EXPECT_EQ(spy.BytesWrittenTo(disk_.Paths().TxtArchivePath), c.newArchive.size() - c.keptLength);
        // Only the members that are moved are read back from the copy.
        const std::uint64_t moved = c.newArchive.size() - c.keptLength - c.replacement.size();
        EXPECT_EQ(spy.BytesReadFrom(disk_.Paths().TempPath), moved);
    }
}

TEST_F(TextReplacement, AnIndexLargerThan24000BytesIsHeldWhole) {
    MemberSet big = set_;
    for (int i = 0; i < 1600; ++i) big.txt.push_back({"T" + std::to_string(i), std::string(1, static_cast<char>(i))});
    disk_.Write(big);
    ASSERT_GT(disk_.Index().size(), 24000u);
    set_ = big;
    table_ = TableFor(big);
    ASSERT_EQ(Replace(1500, "fifteen hundred"), ArchiveOutcome::Done);
    ExpectReplaced(1500, "fifteen hundred");
}

class TextReplacementOpenFailures : public TextReplacement {
protected:
    void ExpectUnchangedWithMessage(const std::string& text) {
        ASSERT_EQ(sink_.messages.size(), 1u);
        EXPECT_EQ(sink_.messages[0].text, text);
        EXPECT_EQ(sink_.messages[0].caption, "File Error");
        EXPECT_EQ(disk_.Index(), AsString(testing::IndexFor(set_)));
        EXPECT_EQ(disk_.Txt(), testing::ArchiveFor(set_.txt));
        EXPECT_FALSE(disk_.LeftoversExist());
    }
};

TEST_F(TextReplacementOpenFailures, IndexThatCannotBeOpened) {
    FaultyFileSystem faulty(fs_);
    faulty.FailOpensOf(disk_.Paths().IndexPath);
    WriteText(ReplacementPath(), "new");
    EXPECT_EQ(ReplaceTextMember({faulty, disk_.Paths(), table_, sink_}, Listed(0), ReplacementPath()),
              ArchiveOutcome::Failed);
    ExpectUnchangedWithMessage("Could not open " + disk_.Paths().IndexPath + "\n");
}

TEST_F(TextReplacementOpenFailures, ReplacementFileThatIsNotThere) {
    const std::string missing = (disk_.Dir() / "no such file.txt").string();
    EXPECT_EQ(ReplaceTextMember(Context(), Listed(0), missing), ArchiveOutcome::Failed);
    ExpectUnchangedWithMessage("Could not open " + missing + "\n");
}

TEST_F(TextReplacementOpenFailures, NoReplacementFileChosenGivesTheEmptyPath) {
    EXPECT_EQ(ReplaceTextMember(Context(), Listed(0), ""), ArchiveOutcome::Failed);
    ExpectUnchangedWithMessage("Could not open \n");
}

TEST_F(TextReplacementOpenFailures, ArchiveThatCannotBeOpenedForWriting) {
    WriteText(ReplacementPath(), "new");
    // The archive is opened for reading (to measure it), then copied, then
    // opened for writing: refuse only the open for writing.
    class RefuseWriteOpen : public FaultyFileSystem {
    public:
        RefuseWriteOpen(FileSystem& real, std::string path) : FaultyFileSystem(real), path_(std::move(path)) {}
        std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
            if (path == path_ && mode != OpenMode::Read)
                throw IoError(IoStep::Open, path, std::make_error_code(std::errc::read_only_file_system));
            return FaultyFileSystem::Open(path, mode);
        }

    private:
        std::string path_;
    } refusing(fs_, disk_.Paths().TxtArchivePath);
    EXPECT_EQ(ReplaceTextMember({refusing, disk_.Paths(), table_, sink_}, Listed(0), ReplacementPath()),
              ArchiveOutcome::Failed);
    ExpectUnchangedWithMessage("Could not open " + disk_.Paths().TxtArchivePath + "\n");
}

}  // namespace
}  // namespace qax
