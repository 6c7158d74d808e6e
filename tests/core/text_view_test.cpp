#include "text_view.h"

#include <gtest/gtest.h>

#include "catalogue.h"
#include "recording_sink.h"
#include "temp_dir.h"

namespace qax {
namespace {

using testing::RecordingSink;
using testing::TempDir;
using testing::WriteText;

class TextView : public ::testing::Test {
protected:
    // Writes txt.qax from the given members, back to back, and returns the
    // catalogue line of each.
    std::vector<std::string> WriteArchive(const std::vector<std::string>& members) {
        std::string archive;
        std::vector<std::string> lines;
        for (const auto& m : members) {
            lines.push_back(FormatCatalogueLine(
                {"M", static_cast<std::int32_t>(m.size()), static_cast<std::uint32_t>(archive.size())}));
            archive += m;
        }
        WriteText(ArchivePath(), archive);
        return lines;
    }
    std::string ArchivePath() const { return (dir_ / "txt.qax").string(); }

    TempDir dir_;
    PosixFileSystem fs_;
    RecordingSink sink_;
};

TEST_F(TextView, ShowsTheSelectedMemberWhole) {
    const auto lines = WriteArchive({"First member.", "Second, with \xE9 and \xFF bytes.\r\n", "Third"});
    sink_.pane = "old text";
    ShowTextMember(fs_, ArchivePath(), lines[1], sink_);
    EXPECT_EQ(sink_.pane, "Second, with \xE9 and \xFF bytes.\r\n");
    EXPECT_EQ(sink_.clears, 1);
    EXPECT_TRUE(sink_.messages.empty());
}

TEST_F(TextView, LongMembersAreCutAt32000Bytes) {
    std::string big(40000, 'a');
    big[31999] = 'z';
    const auto lines = WriteArchive({"x", big});
    ShowTextMember(fs_, ArchivePath(), lines[1], sink_);
    ASSERT_EQ(sink_.pane.size(), 32000u);
    EXPECT_EQ(sink_.pane.back(), 'z');
}

TEST_F(TextView, EmptyMemberAndZeroBytesGiveShortText) {
    // The text ends at the first of several zero bytes, not the last.
    const auto lines = WriteArchive({"", std::string("before\0middle\0after", 19)});
    sink_.pane = "old";
    ShowTextMember(fs_, ArchivePath(), lines[0], sink_);
    EXPECT_EQ(sink_.pane, "");
    ShowTextMember(fs_, ArchivePath(), lines[1], sink_);
    EXPECT_EQ(sink_.pane, "before");
}

TEST_F(TextView, MemberPastTheEndOfTheArchiveShowsNothingAndSaysSo) {
    WriteArchive({"0123456789"});
    sink_.pane = "old";
    ShowTextMember(fs_, ArchivePath(), FormatCatalogueLine({"LONG", 11, 0}), sink_);
    EXPECT_EQ(sink_.pane, "");
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].caption, "File Error");
    EXPECT_NE(sink_.messages[0].text.find("runs past the end"), std::string::npos);

    ShowTextMember(fs_, ArchivePath(), FormatCatalogueLine({"FAR", 1, 0xFFFFFFF}), sink_);
    EXPECT_EQ(sink_.messages.size(), 2u);
}

TEST_F(TextView, UnopenableArchiveIsReportedAsAFileError) {
    ShowTextMember(fs_, (dir_ / "absent.qax").string(), FormatCatalogueLine({"A", 1, 0}), sink_);
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].text, "Could not open " + (dir_ / "absent.qax").string() + "\n");
    EXPECT_EQ(sink_.messages[0].caption, "File Error");
}

TEST_F(TextView, DamagedLineRaisesBeforeThePaneIsTouched) {
    WriteArchive({"abc"});
    sink_.pane = "kept";
    EXPECT_THROW(ShowTextMember(fs_, ArchivePath(), "       A    1x0 $0000000", sink_), ConversionError);
    EXPECT_EQ(sink_.pane, "kept");
    EXPECT_EQ(sink_.clears, 0);
}

TEST_F(TextView, PreviewReadsAtMost32000BytesUpToTheFirstZero) {
    WriteText(dir_ / "a.txt", std::string(33000, 'q'));
    EXPECT_EQ(ReadTextPreview(fs_, (dir_ / "a.txt").string())->size(), 32000u);
    WriteText(dir_ / "b.txt", std::string("ab\0cd\0ef", 8));
    EXPECT_EQ(*ReadTextPreview(fs_, (dir_ / "b.txt").string()), "ab");
    WriteText(dir_ / "c.txt", "");
    EXPECT_EQ(*ReadTextPreview(fs_, (dir_ / "c.txt").string()), "");
    EXPECT_FALSE(ReadTextPreview(fs_, (dir_ / "none.txt").string()));
    EXPECT_FALSE(ReadTextPreview(fs_, ""));
}

}  // namespace
}  // namespace qax
