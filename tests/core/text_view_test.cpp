#include "text_view.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "archive_data_set.h"
#include "catalogue.h"
#include "recording_sink.h"
#include "temp_dir.h"
#include "system_plants.h"

namespace qax {
namespace {

using testing::DataSetOnDisk;
using testing::Listed;
using testing::MemberSet;
using testing::PatternMember;
using testing::RecordingSink;
using testing::TableFor;
using testing::TempDir;
using testing::WriteText;

class TextView : public ::testing::Test {
protected:
    // Writes a data set whose Txt group holds the given members, back to
    // back, and returns the catalogue line of each.
    std::vector<ListedLine> WriteArchive(const std::vector<std::string>& members) {
        set_.txt.clear();
        for (const std::string& bytes : members) set_.txt.push_back({"M" + std::to_string(set_.txt.size()), bytes});
        disk_.Write(set_);
        table_ = TableFor(set_);
        std::vector<ListedLine> lines;
        for (std::size_t k = 0; k < members.size(); ++k)
            lines.push_back(Listed(disk_.Paths(), table_, Txt, static_cast<int>(k)));
        return lines;
    }
    ArchiveOutcome Show(const ListedLine& line) { return ShowTextMember({fs_, disk_.Paths(), table_, sink_}, line); }
    const std::string& ArchivePath() const { return disk_.Paths().TxtArchivePath; }

    MemberSet set_ = [] {
        MemberSet set;
        set.shp = {PatternMember("TANK", 10, 1)};
        return set;
    }();
    DataSetOnDisk disk_{set_};
    SectionTable table_;
    SystemFileSystem fs_;
    RecordingSink sink_;
};

TEST_F(TextView, ShowsTheSelectedMemberWhole) {
    const auto lines = WriteArchive({"First member.", "Second, with \xE9 and \xFF bytes.\r\n", "Third"});
    sink_.pane = "old text";
    EXPECT_EQ(Show(lines[1]), ArchiveOutcome::Done);
    EXPECT_EQ(sink_.pane, "Second, with \xE9 and \xFF bytes.\r\n");
    EXPECT_EQ(sink_.clears, 1);
    EXPECT_TRUE(sink_.messages.empty());
}

TEST_F(TextView, LongMembersAreCutAt32000Bytes) {
    std::string big(40000, 'a');
    big[31999] = 'z';
    const auto lines = WriteArchive({"x", big});
    Show(lines[1]);
    ASSERT_EQ(sink_.pane.size(), 32000u);
    EXPECT_EQ(sink_.pane.back(), 'z');
}

TEST_F(TextView, EmptyMemberAndZeroBytesGiveShortText) {
    // The text ends at the first of several zero bytes, not the last.
    const auto lines = WriteArchive({"", std::string("before\0middle\0after", 19)});
    sink_.pane = "old";
    Show(lines[0]);
    EXPECT_EQ(sink_.pane, "");
    Show(lines[1]);
    EXPECT_EQ(sink_.pane, "before");
}

TEST_F(TextView, MemberPastTheEndOfTheArchiveShowsNothingAndSaysSo) {
    const auto lines = WriteArchive({"0123456789A"});
    WriteText(ArchivePath(), "0123456789");
    sink_.pane = "old";
    Show(lines[0]);
    EXPECT_EQ(sink_.pane, "");
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].caption, "File Error");
    EXPECT_NE(sink_.messages[0].text.find("runs past the end"), std::string::npos);
}

TEST_F(TextView, UnopenableArchiveIsReportedAsAFileError) {
    const auto lines = WriteArchive({"A"});
    std::filesystem::remove(ArchivePath());
    Show(lines[0]);
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].text, "Could not open " + ArchivePath() + "\n");
    EXPECT_EQ(sink_.messages[0].caption, "File Error");
}

TEST_F(TextView, DamagedLineRaisesBeforeThePaneIsTouched) {
    WriteArchive({"abc"});
    sink_.pane = "kept";
    EXPECT_THROW(Show({0, "       A    1x0 $0000000"}), ConversionError);
    EXPECT_EQ(sink_.pane, "kept");
    EXPECT_EQ(sink_.clears, 0);
}

// Another program rewrote the data set since it was listed: the line no
// longer describes the member at its place, and no other member's bytes are
// shown on its word.
TEST_F(TextView, ALineTheIndexNoLongerGivesIsRefusedAsStale) {
    const auto lines = WriteArchive({"first", "second", "third"});
    set_.txt[0].bytes = "a longer first member";
    disk_.Write(set_);
    sink_.pane = "old";
    EXPECT_EQ(Show(lines[2]), ArchiveOutcome::Stale);
    EXPECT_EQ(sink_.pane, "");
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_NE(sink_.messages[0].text.find("has changed since it was listed"), std::string::npos);
}

TEST(TextPreview, ReadsAtMost32000BytesUpToTheFirstZero) {
    TempDir dir_;
    SystemFileSystem fs_;
    WriteText(dir_ / "a.txt", std::string(33000, 'q'));
    EXPECT_EQ(ReadTextPreview(fs_, (dir_ / "a.txt").string())->size(), 32000u);
    WriteText(dir_ / "b.txt", std::string("ab\0cd\0ef", 8));
    EXPECT_EQ(*ReadTextPreview(fs_, (dir_ / "b.txt").string()), "ab");
    WriteText(dir_ / "c.txt", "");
    EXPECT_EQ(*ReadTextPreview(fs_, (dir_ / "c.txt").string()), "");
    EXPECT_FALSE(ReadTextPreview(fs_, (dir_ / "none.txt").string()));
    EXPECT_FALSE(ReadTextPreview(fs_, ""));
    // Nothing that is not a regular file is read, and a pipe nobody writes
    // to is not waited on.
    testing::PlantNoRegularFile(dir_ / "pipe");
    EXPECT_FALSE(ReadTextPreview(fs_, (dir_ / "pipe").string()));
    for (const std::string& device : testing::EndlessDevices()) EXPECT_FALSE(ReadTextPreview(fs_, device)) << device;
}

}  // namespace
}  // namespace qax
