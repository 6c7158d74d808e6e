// The Txt and the Shp replacement, checked against archives and indexes built
// by hand from the member list: first what both must do, once for each; then
// what only one of them does (the Txt rebuild member by member, which closes
// gaps, and its open failures; the Shp rebuild by position, its refusal of
// members out of place and the exact places of its progress marks).
#include <gtest/gtest.h>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "faulty_file_system.h"
#include "little_endian.h"
#include "rebuild_transaction.h"
#include "recording_sink.h"
#include "replacement_inputs.h"

namespace qax {
namespace {

// What a replacement read of the archive's bytes in its copy, leaving out
// the one read of the copy's mark that checks it.
template <typename Spy>
std::uint64_t ArchiveBytesReadFromCopy(Spy& spy, const std::string& copyPath) {
    const std::uint64_t read = spy.BytesReadFrom(copyPath);
    return read >= kSafetyCopyMarkSize ? read - kSafetyCopyMarkSize : read;
}

using testing::AsString;
using testing::DataSetOnDisk;
using testing::FaultyFileSystem;
using testing::IndexBytes;
using testing::Member;
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

MemberSet WithShp(std::vector<Member> shp) {
    MemberSet set;
    set.txt = {{"INTRO", "Welcome.\r\n"}, {"END", "Bye.\r\n"}};
    set.shp = std::move(shp);
    return set;
}

MemberSet FourShpMembers() {
    return WithShp({PatternMember("TANK", 70000, 1), PatternMember("SOLDIER1", 1234, 2),
                    PatternMember("JEEP", 140000, 3), PatternMember("A", 10, 4)});
}

// What a successful replacement that passes no progress mark shows in the
// window.
struct Display {
    std::vector<std::string> paneTexts;  // every text the pane is given, in order
    int clears = 0;
    std::vector<bool> busyCursor;
    int eventPasses = 0;
};

// One of the two replacements, as the cases both share see it.
struct Operation {
    const char* name;
    int group;
    ArchiveOutcome (*replace)(const ArchiveContext&, const ListedLine&, const std::string&);
    MemberSet (*members)();  // the data set its cases start from
    Display shown;
};

// The Txt replacement shows nothing but the busy cursor while it works.
const Operation kTextReplacement{"Txt", Txt, ReplaceTextMember, FiveTextMembers, Display{{}, 0, {true, false}, 0}};

// The Shp replacement announces the copy and its end; it lets the window
// process events once before the copy, and no mark falls in 211,244 bytes.
const Operation kShpReplacement{"Shp", Shp, ReplaceShpMember, FourShpMembers,
                                Display{{kShpStartText, kShpDoneText}, 2, {true, false}, 1}};

void PrintTo(const Operation* operation, std::ostream* out) {
    *out << operation->name << " replacement";
}

class ReplacementTest : public ::testing::Test {
protected:
    ReplacementTest(const Operation& operation, MemberSet set)
        : op_(operation), set_(std::move(set)), disk_(set_), table_(TableFor(set_)) {}

    ArchiveOutcome Replace(int line, const std::string& bytes, FileSystem* fs = nullptr) {
        WriteText(ReplacementPath(), bytes);
        return op_.replace(Context(fs), Listed(line), ReplacementPath());
    }
    ArchiveContext Context(FileSystem* fs = nullptr) {
        return {fs != nullptr ? *fs : fs_, disk_.Paths(), table_, sink_};
    }
    ListedLine Listed(int line) const { return testing::Listed(disk_.Paths(), table_, op_.group, line); }
    std::string ReplacementPath() const { return (disk_.Dir() / "replacement").string(); }

    const std::vector<Member>& Members() const { return op_.group == Txt ? set_.txt : set_.shp; }
    int LastLine() const { return static_cast<int>(Members().size()) - 1; }
    std::size_t SizeOf(int line) const { return Members()[static_cast<std::size_t>(line)].bytes.size(); }
    const std::string& ArchivePath() const {
        return op_.group == Txt ? disk_.Paths().TxtArchivePath : disk_.Paths().ShpArchivePath;
    }
    std::string Archive() const { return op_.group == Txt ? disk_.Txt() : disk_.Shp(); }

    void ExpectReplaced(int line, const std::string& bytes) {
        testing::ExpectDataSetHolds(
            disk_, testing::WithMemberReplaced(set_, op_.group, static_cast<std::size_t>(line), bytes));
        EXPECT_TRUE(sink_.messages.empty()) << sink_.messages[0].text;
    }

    const Operation& op_;
    MemberSet set_;
    DataSetOnDisk disk_;
    SectionTable table_;
    SystemFileSystem fs_;
    RecordingSink sink_;
};

// ---------------------------------------------------------------------------
// What both replacements do.

class Replacement : public ReplacementTest, public ::testing::WithParamInterface<const Operation*> {
protected:
    Replacement() : ReplacementTest(*GetParam(), GetParam()->members()) {}
};

INSTANTIATE_TEST_SUITE_P(BothReplacements, Replacement, ::testing::Values(&kTextReplacement, &kShpReplacement),
                         [](const auto& info) { return std::string(info.param->name); });

// Each member at two sizes, so that in either archive some replacements
// grow their member and some shrink it.
TEST_P(Replacement, ReplacesTheFirstMiddleAndLastMember) {
    for (int line : {0, (LastLine() + 1) / 2, LastLine()}) {
        for (std::size_t size : {std::size_t{1000}, std::size_t{100000}}) {
            SCOPED_TRACE(::testing::Message() << "line " << line << ", " << size << " bytes");
            disk_.Write(set_);
            const std::string bytes = PatternMember("NEW", size + static_cast<std::size_t>(line), 9).bytes;
            EXPECT_EQ(Replace(line, bytes), ArchiveOutcome::Done);
            ExpectReplaced(line, bytes);
        }
    }
}

// Paths are UTF-8 inside the program on every system: a product folder
// named outside ASCII, deeper than the 260 characters old Windows
// programs stop at, is replaced in like any other.
TEST_P(Replacement, UnderAFolderNamedOutsideAsciiAndPastTheOldLengthLimit) {
    std::string product;
    for (int level = 0; level < 5; ++level)
        product += "Spiele-\u00e4\u00f6\u00fc-\u20ac-\u65e5\u672c-" + std::string(40, 'x') + "/";
    product += "Corvane \u00c9dition";
    const DataSetOnDisk deep(set_, product);
    ASSERT_GT(deep.Paths().IndexPath.size(), 300u);
    const std::string bytes = PatternMember("NEW", 4321, 7).bytes;
    const std::string replacement = Utf8Of(deep.Dir() / PathFromUtf8("Ersatz-\u00df.bin"));
    WriteText(PathFromUtf8(replacement), bytes);
    const ListedLine line = testing::Listed(deep.Paths(), table_, op_.group, 1);
    EXPECT_EQ(op_.replace({fs_, deep.Paths(), table_, sink_}, line, replacement), ArchiveOutcome::Done);
    testing::ExpectDataSetHolds(deep, testing::WithMemberReplaced(set_, op_.group, 1, bytes));
    EXPECT_TRUE(sink_.messages.empty()) << sink_.messages[0].text;
}

// Empty; larger than the member, and larger than the whole archive; smaller;
// the same size.
TEST_P(Replacement, EmptyLargerSmallerAndSameSizeReplacements) {
    for (std::size_t size :
         {std::size_t{0}, std::size_t{20000}, std::size_t{300000}, std::size_t{4}, std::size_t{5}, SizeOf(1)}) {
        SCOPED_TRACE(size);
        disk_.Write(set_);
        const std::string bytes = PatternMember("NEW", size, 8).bytes;
        EXPECT_EQ(Replace(1, bytes), ArchiveOutcome::Done);
        ExpectReplaced(1, bytes);
    }
}

TEST_P(Replacement, SameSizeLeavesTheIndexAndTheArchiveLengthAsTheyWere) {
    const int line = (LastLine() + 1) / 2;
    const std::string before = disk_.Index();
    const std::size_t length = Archive().size();
    ASSERT_EQ(Replace(line, std::string(SizeOf(line), 'z')), ArchiveOutcome::Done);
    EXPECT_EQ(disk_.Index(), before);
    EXPECT_EQ(Archive().size(), length);
}

// In an archive whose members lie back to back, the selected entry's size
// and the offsets after it are all that change, growing or shrinking.
TEST_P(Replacement, OnlyTheSizeAndTheLaterOffsetsChange) {
    const std::size_t oldSize = SizeOf(1);
    auto field = [](const std::string& index, std::uint64_t at) {
        return LoadU32(reinterpret_cast<const unsigned char*>(index.data()) + at);
    };
    for (std::size_t size : {oldSize + 300, std::size_t{99}}) {
        SCOPED_TRACE(size);
        disk_.Write(set_);
        const std::string before = disk_.Index();
        ASSERT_EQ(Replace(1, std::string(size, 'n')), ArchiveOutcome::Done);
        const std::string after = disk_.Index();
        ASSERT_EQ(after.size(), before.size());

        const std::uint64_t selected = EntryOffset(table_, op_.group, 1);
        EXPECT_EQ(field(after, selected + 8), size);
        EXPECT_EQ(field(after, selected + 12), field(before, selected + 12));
        for (int line = 2; line <= LastLine(); ++line) {
            const std::uint64_t entry = EntryOffset(table_, op_.group, static_cast<std::uint32_t>(line));
            EXPECT_EQ(field(after, entry + 12), field(before, entry + 12) + size - oldSize) << "line " << line;
        }
        // The header, the entries before the selection and its name; every
        // entry after the group.
        EXPECT_EQ(after.substr(0, selected + 8), before.substr(0, selected + 8));
        EXPECT_EQ(after.substr(table_.GroupEnd(op_.group)), before.substr(table_.GroupEnd(op_.group)));
    }
}

TEST_P(Replacement, ShowsItsTextsAndLeavesNoTemporaryCopy) {
    sink_.pane = "whatever was shown";
    ASSERT_EQ(Replace(LastLine() - 1, "small"), ArchiveOutcome::Done);
    const Display& shown = op_.shown;
    EXPECT_EQ(sink_.paneHistory, shown.paneTexts);
    EXPECT_EQ(sink_.pane, shown.paneTexts.empty() ? "whatever was shown" : shown.paneTexts.back());
    EXPECT_EQ(sink_.clears, shown.clears);
    EXPECT_EQ(sink_.busyHistory, shown.busyCursor);
    EXPECT_EQ(sink_.eventPasses, shown.eventPasses);
    EXPECT_FALSE(disk_.TempExists());
}

// In an archive whose members lie back to back, the bytes before the
// selected member are neither read nor written: the member at offset 0
// rewrites everything, the last only itself.
TEST_P(Replacement, WritesFromTheSelectedMembersOffsetOn) {
    struct Case {
        int line;
        std::size_t size;
    };
    for (const Case c : {Case{0, 500}, Case{1, SizeOf(1)}, Case{LastLine(), 10}, Case{LastLine(), 0}}) {
        SCOPED_TRACE(::testing::Message() << "line " << c.line << ", " << c.size << " bytes");
        disk_.Write(set_);
        const std::string bytes = PatternMember("NEW", c.size, 7).bytes;
        SystemFileSystem real;
        FaultyFileSystem spy(real);
        ASSERT_EQ(Replace(c.line, bytes, &spy), ArchiveOutcome::Done);
        ExpectReplaced(c.line, bytes);
        std::uint64_t offset = 0;
        for (int k = 0; k < c.line; ++k) offset += SizeOf(k);
        const std::uint64_t oldLength = testing::ArchiveFor(Members()).size();
        const std::uint64_t oldSize = SizeOf(c.line);
        EXPECT_EQ(spy.BytesWrittenTo(ArchivePath()), oldLength - oldSize + c.size - offset);
        EXPECT_EQ(ArchiveBytesReadFromCopy(spy, disk_.Paths().TempPath), oldLength - oldSize - offset);
    }
}

TEST_P(Replacement, AnIndexLargerThan24000BytesIsHeldWhole) {
    for (int i = 0; i < 1600; ++i) set_.txt.push_back({"T" + std::to_string(i), std::string(1, static_cast<char>(i))});
    disk_.Write(set_);
    table_ = TableFor(set_);
    ASSERT_GT(disk_.Index().size(), 24000u);
    // The selected entry itself lies past the first 24,000 bytes.
    ASSERT_GT(EntryOffset(table_, op_.group, static_cast<std::uint32_t>(LastLine())), 24000u);
    ASSERT_EQ(Replace(LastLine(), "the last"), ArchiveOutcome::Done);
    ExpectReplaced(LastLine(), "the last");
}

// ---------------------------------------------------------------------------
// The Txt replacement alone.

class TextReplacement : public ReplacementTest {
protected:
    TextReplacement() : ReplacementTest(kTextReplacement, FiveTextMembers()) {}
};

// A Txt group of the given entries with the two Shp entries and the others
// of FiveTextMembers after it: the whole index's entries.
std::vector<testing::RawEntry> WithEntriesAfterTxt(const MemberSet& set, std::vector<testing::RawEntry> txt) {
    txt.push_back({"TANK", 900, 0});
    txt.push_back({"JEEP", 300, 900});
    txt.insert(txt.end(), set.others.begin(), set.others.end());
    return txt;
}

// Writes txt.qax, and an index and section file of the given Txt entries
// followed by the others; returns the section table that goes with them.
SectionTable WriteTxtGroup(const DataSetOnDisk& disk, const MemberSet& set, const std::string& archive,
                           const std::vector<testing::RawEntry>& txt) {
    testing::WriteText(disk.Paths().TxtArchivePath, archive);
    const auto txtCount = static_cast<std::uint32_t>(txt.size());
    testing::WriteBytes(disk.Paths().IndexPath, IndexBytes(set.header, WithEntriesAfterTxt(set, txt)));
    testing::WriteBytes(disk.Paths().SectionPath, testing::SectionBytes({txtCount, txtCount + 2, txtCount + 3,
                                                                         txtCount + 4, txtCount + 5, txtCount + 6}));
    const std::uint32_t txtEnd = 4 + 16 * txtCount;
    SectionTable table;
    table.B = {4, txtEnd, txtEnd + 16 * 2, txtEnd + 16 * 3, txtEnd + 16 * 4, txtEnd + 16 * 5, txtEnd + 16 * 6};
    return table;
}

TEST_F(TextReplacement, AnArchiveWithGapsComesOutBackToBackWithTrueOffsets) {
    // Bytes no entry points to lie between the members and after them.
    const std::vector<testing::RawEntry> gapped = {{"A", 4, 0}, {"B", 2, 6}, {"C", 5, 11}};
    struct Case {
        int line;
        std::string archive;
        std::vector<testing::RawEntry> txt;
    };
    // Replacing A leaves B and C, which a gap parts, to be copied on their own.
    for (const Case& expected : {Case{1, "AAAAbbbCCCCC", {{"A", 4, 0}, {"B", 3, 4}, {"C", 5, 7}}},
                                 Case{0, "bbbBBCCCCC", {{"A", 3, 0}, {"B", 2, 3}, {"C", 5, 5}}}}) {
        SCOPED_TRACE(expected.line);
        const SectionTable table = WriteTxtGroup(disk_, set_, "AAAA--BB---CCCCC***", gapped);
        WriteText(ReplacementPath(), "bbb");
        ASSERT_EQ(ReplaceTextMember({fs_, disk_.Paths(), table, sink_},
                                    testing::Listed(disk_.Paths(), table, Txt, expected.line), ReplacementPath()),
                  ArchiveOutcome::Done);
        EXPECT_EQ(disk_.Txt(), expected.archive);
        EXPECT_TRUE(
            SameBytes(disk_.Index(), AsString(IndexBytes(set_.header, WithEntriesAfterTxt(set_, expected.txt)))));
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
        const SectionTable table = WriteTxtGroup(disk_, set_, archive, txt);
        WriteText(ReplacementPath(), c.replacement);
        SystemFileSystem real;
        FaultyFileSystem spy(real);
        ASSERT_EQ(ReplaceTextMember({spy, disk_.Paths(), table, sink_},
                                    testing::Listed(disk_.Paths(), table, Txt, c.line), ReplacementPath()),
                  ArchiveOutcome::Done);
        EXPECT_EQ(disk_.Txt(), c.newArchive);
        EXPECT_EQ(spy.BytesWrittenTo(disk_.Paths().TxtArchivePath), c.newArchive.size() - c.keptLength);
        // Only the members that are moved are read back from the copy.
        const std::uint64_t moved = c.newArchive.size() - c.keptLength - c.replacement.size();
        EXPECT_EQ(ArchiveBytesReadFromCopy(spy, disk_.Paths().TempPath), moved);
    }
}

// What each Txt member of the index on disk reads, in index order: its
// size and offset from the index's own bytes, its bytes from txt.qax.
std::vector<std::string> TxtMembersRead(const DataSetOnDisk& disk, std::size_t count) {
    const std::string index = disk.Index();
    const std::string archive = disk.Txt();
    std::vector<std::string> read;
    for (std::size_t k = 0; k < count; ++k) {
        const auto* entry = reinterpret_cast<const unsigned char*>(index.data()) + 4 + 16 * k;
        read.push_back(archive.substr(LoadU32(entry + 12), LoadU32(entry + 8)));
    }
    return read;
}

// A mod of one Txt member taken off again with its undo, from every kind of
// layout: every member reads its bytes back whatever the layout; the files
// are byte for byte as they were exactly when the layout finder found
// nothing (and the mod told the same, under its lock); otherwise they
// come out back to back in index order, each member with bytes of its own.
TEST_F(TextReplacement, ARoundTripIsByteForByteExactlyFromTheLayoutARebuildKeeps) {
    struct Case {
        const char* layout;
        std::string archive;
        std::vector<testing::RawEntry> txt;
        std::string changes;  // what the finder says, empty when the rebuild keeps the layout
    };
    const Case cases[] = {
        {"back to back", "AAAABBCCCCC", {{"A", 4, 0}, {"B", 2, 4}, {"C", 5, 6}}, ""},
        {"an empty member where its place puts it", "AAAABB", {{"A", 4, 0}, {"E", 0, 4}, {"B", 2, 4}, {"Z", 0, 6}}, ""},
        {"no members", "", {}, ""},
        {"out of index order",
         "CCCCCAAAABB",
         {{"A", 4, 5}, {"B", 2, 9}, {"C", 5, 0}},
         "C lies before B, which comes before it in the index"},
        {"two entries on the same bytes",
         "AAAABB",
         {{"A", 4, 0}, {"B", 2, 4}, {"TWIN", 2, 4}},
         "TWIN and B share bytes"},
        {"overlapping members", "AAAAAA", {{"A", 4, 0}, {"B", 4, 2}}, "B and A share bytes"},
        {"a gap", "AAAA-BB", {{"A", 4, 0}, {"B", 2, 5}}, "1 byte that no entry points to"},
        {"bytes after the last member", "AAAABB***", {{"A", 4, 0}, {"B", 2, 4}}, "3 bytes that no entry points to"},
        {"an empty member elsewhere",
         "AAAABB",
         {{"A", 4, 0}, {"E", 0, 6}, {"B", 2, 4}},
         "the empty member E is at offset 6, not at 4"},
        {"every kind at once",
         "BB-AAAA**",
         {{"A", 4, 3}, {"SHORT", 2, 5}, {"B", 2, 0}},
         "B lies before SHORT, which comes before it in the index; SHORT and A share bytes; 3 bytes that no entry "
         "points to"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        std::vector<Member> members;
        for (const testing::RawEntry& entry : c.txt)
            members.push_back({entry.name, c.archive.substr(entry.offset, entry.size)});
        std::vector<IndexEntry> entries;
        for (const testing::RawEntry& entry : c.txt)
            entries.push_back({entry.name, static_cast<std::int32_t>(entry.size), entry.offset});
        EXPECT_EQ(TextLayoutChanges(entries, c.archive.size()), c.changes);
        if (c.txt.empty()) continue;

        const SectionTable table = WriteTxtGroup(disk_, set_, c.archive, c.txt);
        const std::string indexBefore = disk_.Index();
        const std::filesystem::path undo = disk_.Dir() / "undo";
        std::filesystem::remove_all(undo);
        WriteText(ReplacementPath(), "the mod's text");
        std::string toldOn = "not told";
        ASSERT_EQ(
            ReplaceMembers(
                {fs_, disk_.Paths(), table, sink_},
                {{Txt, {{testing::Listed(disk_.Paths(), table, Txt, 0), ReplacementPath()}}}},
                {.mode = RunMode::Apply, .guards = {}, .undoDirectory = undo.string(), .textLayoutChanges = &toldOn}),
            ArchiveOutcome::Done);
        EXPECT_EQ(toldOn, c.changes);
        std::string toldOff = "not told";
        ASSERT_EQ(
            ReplaceMembers({fs_, disk_.Paths(), table, sink_},
                           {{Txt,
                             {{testing::Listed(disk_.Paths(), table, Txt, 0),
                               (undo / ("1-txt-" + c.txt[0].name + ".txt")).string()}}}},
                           {.mode = RunMode::Apply, .guards = {}, .undoDirectory = {}, .textLayoutChanges = &toldOff}),
            ArchiveOutcome::Done);
        // The mod left the layout every rebuild keeps.
        EXPECT_EQ(toldOff, "");

        std::vector<std::string> expected;
        for (const Member& member : members) expected.push_back(member.bytes);
        EXPECT_EQ(TxtMembersRead(disk_, members.size()), expected);
        const std::string rebuiltIndex =
            AsString(IndexBytes(set_.header, WithEntriesAfterTxt(set_, testing::BackToBackEntries(members))));
        EXPECT_TRUE(SameBytes(disk_.Txt(), testing::ArchiveFor(members)));
        EXPECT_TRUE(SameBytes(disk_.Index(), rebuiltIndex));
        EXPECT_EQ(disk_.Txt() == c.archive && disk_.Index() == indexBefore, c.changes.empty());
        EXPECT_TRUE(sink_.messages.empty()) << sink_.messages[0].text;
    }
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
    EXPECT_EQ(Replace(0, "new", &faulty), ArchiveOutcome::Failed);
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
    EXPECT_EQ(Replace(0, "new", &refusing), ArchiveOutcome::Failed);
    ExpectUnchangedWithMessage("Could not open " + disk_.Paths().TxtArchivePath + "\n");
}

// ---------------------------------------------------------------------------
// The Shp replacement alone.

class ShpReplacement : public ReplacementTest {
protected:
    explicit ShpReplacement(MemberSet set = FourShpMembers()) : ReplacementTest(kShpReplacement, std::move(set)) {}
};

TEST_F(ShpReplacement, BytesAfterTheLastMemberAreCarriedOver) {
    WriteText(disk_.Paths().ShpArchivePath, testing::ArchiveFor(set_.shp) + "trailer");
    ASSERT_EQ(Replace(1, "xyz"), ArchiveOutcome::Done);
    MemberSet expected = set_;
    expected.shp[1].bytes = "xyz";
    EXPECT_TRUE(SameBytes(disk_.Shp(), testing::ArchiveFor(expected.shp) + "trailer"));
    EXPECT_TRUE(SameBytes(disk_.Index(), AsString(testing::IndexFor(expected))));
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
        SystemFileSystem real;
        FaultyFileSystem spy(real);
        std::vector<EventPass> passes;
        sink_.onProcessEvents = [&] {
            passes.push_back({sink_.pane, ArchiveBytesReadFromCopy(spy, disk_.Paths().TempPath)});
        };
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
