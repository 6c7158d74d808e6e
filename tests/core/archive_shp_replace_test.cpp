// The Shp replacement: its results against hand-built archives and indexes,
// its texts and busy cursor, and the exact places of its progress marks.
#include <gtest/gtest.h>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "faulty_file_system.h"
#include "recording_sink.h"

namespace qax {
namespace {

using testing::AsString;
using testing::DataSetOnDisk;
using testing::FaultyFileSystem;
using testing::Member;
using testing::MemberSet;
using testing::PatternMember;
using testing::RecordingSink;
using testing::SameBytes;
using testing::TableFor;
using testing::WriteText;

MemberSet WithShp(std::vector<Member> shp) {
    MemberSet set;
    set.txt = {{"INTRO", "Welcome.\r\n"}, {"END", "Bye.\r\n"}};
    set.shp = std::move(shp);
    return set;
}

class ShpReplacement : public ::testing::Test {
protected:
    explicit ShpReplacement(MemberSet set = WithShp({PatternMember("TANK", 70000, 1),
                                                     PatternMember("SOLDIER1", 1234, 2),
                                                     PatternMember("JEEP", 140000, 3), PatternMember("A", 10, 4)}))
        : set_(std::move(set)), disk_(set_), table_(TableFor(set_)) {}

    ArchiveOutcome Replace(int line, const std::string& bytes, FileSystem* fs = nullptr) {
        WriteText(ReplacementPath(), bytes);
        return ReplaceShpMember({fs != nullptr ? *fs : fs_, disk_.Paths(), table_, sink_},
                                testing::Listed(disk_.Paths(), table_, Shp, line), ReplacementPath());
    }
    std::string ReplacementPath() const { return (disk_.Dir() / "new.shp").string(); }

    void ExpectReplaced(int line, const std::string& bytes) {
        testing::ExpectDataSetHolds(disk_,
                                    testing::WithMemberReplaced(set_, Shp, static_cast<std::size_t>(line), bytes));
        EXPECT_TRUE(sink_.messages.empty()) << sink_.messages[0].text;
    }

    MemberSet set_;
    DataSetOnDisk disk_;
    SectionTable table_;
    PosixFileSystem fs_;
    RecordingSink sink_;
};

TEST_F(ShpReplacement, ReplacesTheFirstMiddleAndLastMember) {
    for (int line : {0, 2, 3}) {
        SCOPED_TRACE(line);
        disk_.Write(set_);
        const std::string bytes = PatternMember("NEW", 100000 + static_cast<std::size_t>(line), 9).bytes;
        EXPECT_EQ(Replace(line, bytes), ArchiveOutcome::Done);
        ExpectReplaced(line, bytes);
    }
}

TEST_F(ShpReplacement, EmptyLargerSmallerAndSameSizeReplacements) {
    for (std::size_t size : {std::size_t{0}, std::size_t{300000}, std::size_t{5}, std::size_t{1234}}) {
        SCOPED_TRACE(size);
        disk_.Write(set_);
        const std::string bytes = PatternMember("NEW", size, 8).bytes;
        EXPECT_EQ(Replace(1, bytes), ArchiveOutcome::Done);
        ExpectReplaced(1, bytes);
    }
}

// The bytes before the selected member are neither read nor written: the
// member at offset 0 rewrites everything, the last only itself.
TEST_F(ShpReplacement, WritesFromTheSelectedMembersOffsetOn) {
    struct Case {
        int line;
        std::size_t size;
    };
    for (const Case c : {Case{0, 500}, Case{1, 1234}, Case{3, 10}, Case{3, 0}}) {
        SCOPED_TRACE(c.line);
        disk_.Write(set_);
        const std::string bytes = PatternMember("NEW", c.size, 7).bytes;
        PosixFileSystem real;
        FaultyFileSystem spy(real);
        ASSERT_EQ(Replace(c.line, bytes, &spy), ArchiveOutcome::Done);
        ExpectReplaced(c.line, bytes);
        std::uint64_t offset = 0;
        for (int k = 0; k < c.line; ++k) offset += set_.shp[static_cast<std::size_t>(k)].bytes.size();
        const std::uint64_t oldLength = testing::ArchiveFor(set_.shp).size();
        const std::uint64_t oldSize = set_.shp[static_cast<std::size_t>(c.line)].bytes.size();
        EXPECT_EQ(spy.BytesWrittenTo(disk_.Paths().ShpArchivePath), oldLength - oldSize + c.size - offset);
        EXPECT_EQ(spy.BytesReadFrom(disk_.Paths().TempPath), oldLength - oldSize - offset);
    }
}

TEST_F(ShpReplacement, HeaderAndEveryEntryOutsideTheShpGroupStayByteForByte) {
    const std::string before = disk_.Index();
    ASSERT_EQ(Replace(1, std::string(99, 'q')), ArchiveOutcome::Done);
    const std::string after = disk_.Index();
    EXPECT_EQ(after.substr(0, table_.B[1]), before.substr(0, table_.B[1]));
    EXPECT_EQ(after.substr(table_.B[2]), before.substr(table_.B[2]));
}

TEST_F(ShpReplacement, TextsAndBusyCursorOfARunWithoutMarks) {
    sink_.pane = "whatever was shown";
    ASSERT_EQ(Replace(2, "small"), ArchiveOutcome::Done);
    ASSERT_EQ(sink_.paneHistory.size(), 2u);
    EXPECT_EQ(sink_.paneHistory[0], "This takes awhile. Please be patient. ");
    EXPECT_EQ(sink_.paneHistory[1], "Finally done with the new shp.qax");
    EXPECT_EQ(sink_.pane, "Finally done with the new shp.qax");
    EXPECT_EQ(sink_.clears, 2);
    EXPECT_EQ(sink_.busyHistory, (std::vector<bool>{true, false}));
    EXPECT_EQ(sink_.eventPasses, 1);  // once before the copy, no mark in 211,244 bytes
}

TEST_F(ShpReplacement, BytesAfterTheLastMemberAreCarriedOver) {
    WriteText(disk_.Paths().ShpArchivePath, testing::ArchiveFor(set_.shp) + "trailer");
    ASSERT_EQ(Replace(1, "xyz"), ArchiveOutcome::Done);
    MemberSet expected = set_;
    expected.shp[1].bytes = "xyz";
    EXPECT_TRUE(SameBytes(disk_.Shp(), testing::ArchiveFor(expected.shp) + "trailer"));
    EXPECT_TRUE(SameBytes(disk_.Index(), AsString(testing::IndexFor(expected))));
}

TEST_F(ShpReplacement, AnIndexLargerThan24000BytesIsHeldWhole) {
    for (int i = 0; i < 1600; ++i) set_.txt.push_back({"T" + std::to_string(i), "t"});
    disk_.Write(set_);
    table_ = TableFor(set_);
    ASSERT_GT(disk_.Index().size(), 24000u);
    ASSERT_EQ(Replace(3, "the last"), ArchiveOutcome::Done);
    ExpectReplaced(3, "the last");
}

TEST_F(ShpReplacement, EntriesThatDoNotLieBackToBackAreRefused) {
    std::vector<testing::RawEntry> entries = testing::AllEntries(set_);
    entries[2 + 2].offset += 16;  // JEEP, after the two Txt entries
    testing::WriteBytes(disk_.Paths().IndexPath, testing::IndexBytes(set_.header, entries));
    const std::string index = disk_.Index();
    EXPECT_EQ(Replace(1, "new"), ArchiveOutcome::Refused);
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_NE(sink_.messages[0].text.find("back to back"), std::string::npos);
    EXPECT_EQ(disk_.Index(), index);
    EXPECT_EQ(disk_.Shp(), testing::ArchiveFor(set_.shp));
    // Refused before the copy was announced: no busy cursor, no start text.
    EXPECT_TRUE(sink_.busyHistory.empty());
    EXPECT_TRUE(sink_.paneHistory.empty());
}

// Each time the window is let process events: what the pane showed, and how
// many bytes of the temporary copy had been read by then. The bytes before the
// selected member are never read (they stay in the archive as they are), so
// the marks they are worth all come before the first byte is read.
struct EventPass {
    std::string pane;
    std::uint64_t bytesRead;
    bool operator==(const EventPass&) const = default;
};

void PrintTo(const EventPass& pass, std::ostream* out) {
    *out << "{\"" << pass.pane << "\", " << pass.bytesRead << "}";
}

class ShpProgressMarks : public ShpReplacement {
protected:
    explicit ShpProgressMarks(MemberSet set) : ShpReplacement(std::move(set)) {}

    std::vector<EventPass> RecordPasses(int line, const std::string& bytes) {
        PosixFileSystem real;
        FaultyFileSystem spy(real);
        std::vector<EventPass> passes;
        sink_.onProcessEvents = [&] { passes.push_back({sink_.pane, spy.BytesReadFrom(disk_.Paths().TempPath)}); };
        EXPECT_EQ(Replace(line, bytes, &spy), ArchiveOutcome::Done);
        return passes;
    }

    static std::string Start(int marks) {
        std::string text = kShpStartText;
        for (int i = 0; i < marks; ++i) text += "* ";
        return text;
    }
};

class HeadCopyOfThreeMillionBytes : public ShpProgressMarks {
protected:
    HeadCopyOfThreeMillionBytes()
        : ShpProgressMarks(WithShp(
              {PatternMember("BIG", 3000000, 1), PatternMember("SMALL", 5000, 2), PatternMember("TAIL", 10000, 3)})) {}
};

// The head marks when copied is strictly past 1,000,000 and 2,000,000
// (blocks ending at 1,048,576 and 2,031,616) but not at its end, exactly
// 3,000,000; the first tail block, tested with "greater or equal", adds the
// third mark once the 10,000 bytes after the old member have been read.
TEST_F(HeadCopyOfThreeMillionBytes, MarksWhereThePartsThresholdsPutThem) {
    const auto passes = RecordPasses(1, std::string(777, 'n'));
    const std::vector<EventPass> expected = {{Start(0), 0}, {Start(1), 0}, {Start(2), 0}, {Start(3), 10000}};
    EXPECT_EQ(passes, expected);
    EXPECT_EQ(sink_.pane, kShpDoneText);
    ExpectReplaced(1, std::string(777, 'n'));
}

class SkipPastSeveralThresholds : public ShpProgressMarks {
protected:
    SkipPastSeveralThresholds()
        : ShpProgressMarks(WithShp(
              {PatternMember("HEAD", 100, 1), PatternMember("HUGE", 3500000, 2), PatternMember("TAIL", 300000, 3)})) {}
};

// The skipped member counts, the replacement does not: after the skip the
// mark lags three thresholds behind, and each tail block adds one mark until
// it has caught up.
TEST_F(SkipPastSeveralThresholds, EachTailBlockMarksUntilTheMarkCatchesUp) {
    const auto passes = RecordPasses(1, std::string(2500000, 'r'));
    const std::vector<EventPass> expected = {
        {Start(0), 0}, {Start(1), 65536}, {Start(2), 2 * 65536}, {Start(3), 3 * 65536}};
    EXPECT_EQ(passes, expected);
    ExpectReplaced(1, std::string(2500000, 'r'));
}

class TailEndingOnAThreshold : public ShpProgressMarks {
protected:
    TailEndingOnAThreshold()
        : ShpProgressMarks(WithShp(
              {PatternMember("HEAD", 100, 1), PatternMember("SKIPPED", 100, 2), PatternMember("TAIL", 999800, 3)})) {}
};

// Neither the head copy nor the skip reaches 1,000,000: the tail copy's last
// block ends exactly there, and its "greater or equal" test alone adds the mark.
TEST_F(TailEndingOnAThreshold, TheTailsLastBlockMarksAtExactlyAMillion) {
    const auto passes = RecordPasses(1, "new");
    // The head is kept where it lies, so only the tail is read from the copy.
    const std::vector<EventPass> expected = {{Start(0), 0}, {Start(1), 999800}};
    EXPECT_EQ(passes, expected);
    ExpectReplaced(1, "new");
}

class TailCopyOfThreeMillionBytes : public ShpProgressMarks {
protected:
    TailCopyOfThreeMillionBytes()
        : ShpProgressMarks(WithShp(
              {PatternMember("HEAD", 100, 1), PatternMember("SMALL", 10, 2), PatternMember("TAIL", 3000000, 3)})) {}
};

// The tail is moved in runs of blocks up to the block that reaches the next
// mark; the marks come after the same blocks as one block at a time would
// put them: past 1,000,000 and 2,000,000 after whole blocks, the third at
// the tail's end, 3,000,110 bytes in.
TEST_F(TailCopyOfThreeMillionBytes, MarksAfterTheSameBlocksAsBlockByBlock) {
    const auto passes = RecordPasses(1, "0123456789");
    const std::vector<EventPass> expected = {
        {Start(0), 0}, {Start(1), 1048576}, {Start(2), 2031616}, {Start(3), 3000000}};
    EXPECT_EQ(passes, expected);
    ExpectReplaced(1, "0123456789");
}

class LastMemberAfterTwoMillionBytes : public ShpProgressMarks {
protected:
    LastMemberAfterTwoMillionBytes()
        : ShpProgressMarks(WithShp({PatternMember("BIG", 2000000, 1), PatternMember("LAST", 1000, 2)})) {}
};

// Replacing the last member, the tail copy still runs once with a chunk of 0,
// and its "greater or equal" test adds the mark that the head copy's
// "strictly greater" held back at exactly 2,000,000.
TEST_F(LastMemberAfterTwoMillionBytes, TheEmptyTailCopyStillMarks) {
    const auto passes = RecordPasses(1, "last");
    const std::vector<EventPass> expected = {{Start(0), 0}, {Start(1), 0}, {Start(2), 0}};
    EXPECT_EQ(passes, expected);
    ExpectReplaced(1, "last");
}

}  // namespace
}  // namespace qax
