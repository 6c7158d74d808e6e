// The cases in which a replacement must not start, for the Txt and the Shp
// replacement alike: each is told in a message, and the data set, the
// temporary copy and the index are left exactly as they were.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "faulty_file_system.h"
#include "recording_sink.h"
#include "system_plants.h"

namespace qax {
namespace {

using testing::AsString;
using testing::DataSetOnDisk;
using testing::MemberSet;
using testing::PatternMember;
using testing::RecordingSink;
using testing::TableFor;
using testing::WriteText;

struct Operation {
    const char* name;
    ArchiveOutcome (*replace)(const ArchiveContext&, const ListedLine&, const std::string&);
    std::string DataSetPaths::*archive;
    int group;
};

const Operation kTextOperation{"Txt", &ReplaceTextMember, &DataSetPaths::TxtArchivePath, Txt};
const Operation kShpOperation{"Shp", &ReplaceShpMember, &DataSetPaths::ShpArchivePath, Shp};

MemberSet ThreeOfEach() {
    MemberSet set;
    set.txt = {{"ONE", "first text"}, {"TWO", "second text"}, {"THREE", "third text"}};
    set.shp = {PatternMember("TANK", 500, 1), PatternMember("JEEP", 700, 2), PatternMember("HELI", 300, 3)};
    return set;
}

// Every refusal comes before the archive is copied: a copy means the refusal
// came too late. It is stopped at once, so that a missing check fails fast
// instead of copying the sparse 4 GiB archive below for real.
class NoCopyFileSystem : public testing::FaultyFileSystem {
public:
    using FaultyFileSystem::FaultyFileSystem;
    std::uint64_t CopyFile(const std::string& from, const std::string& to, CopyTarget) override {
        ADD_FAILURE() << "copied " << from << " although the replacement should have been refused";
        throw IoError(IoStep::Write, to, std::make_error_code(std::errc::operation_not_permitted));
    }
};

class Refusal : public ::testing::TestWithParam<Operation> {
protected:
    Refusal() { WriteText(ReplacementPath(), "replacement bytes"); }

    ArchiveOutcome Run(int line, const std::string& replacement) {
        return GetParam().replace({noCopy_, disk_.Paths(), table_, sink_},
                                  testing::Listed(disk_.Paths(), table_, GetParam().group, line), replacement);
    }
    ArchiveOutcome Run(int line) { return Run(line, ReplacementPath()); }
    std::string ReplacementPath() const { return (disk_.Dir() / "new.bin").string(); }
    std::string Archive() const { return disk_.Paths().*GetParam().archive; }

    // One message with the given words; nothing on disk changed.
    void ExpectRefused(ArchiveOutcome outcome, const std::string& words) {
        EXPECT_EQ(outcome, ArchiveOutcome::Refused);
        ASSERT_EQ(sink_.messages.size(), 1u);
        EXPECT_NE(sink_.messages[0].text.find(words), std::string::npos) << sink_.messages[0].text;
        EXPECT_EQ(sink_.messages[0].caption, "Replace Selection");
        EXPECT_EQ(disk_.Index(), indexBefore_);
        EXPECT_EQ(disk_.Txt(), txtBefore_);
        EXPECT_EQ(disk_.Shp(), shpBefore_);
        EXPECT_FALSE(std::filesystem::exists(disk_.Paths().IndexPath + ".new"));
        // The busy cursor, when it was shown at all, is back to the default.
        EXPECT_TRUE(sink_.busyHistory.empty() || sink_.busyHistory == (std::vector<bool>{true, false}));
    }
    void Remember() {
        indexBefore_ = disk_.Index();
        txtBefore_ = disk_.Txt();
        shpBefore_ = disk_.Shp();
    }

    MemberSet set_ = ThreeOfEach();
    DataSetOnDisk disk_{set_};
    SectionTable table_ = TableFor(set_);
    SystemFileSystem fs_;
    NoCopyFileSystem noCopy_{fs_};
    RecordingSink sink_;
    std::string indexBefore_ = disk_.Index();
    std::string txtBefore_ = disk_.Txt();
    std::string shpBefore_ = disk_.Shp();
};

TEST_P(Refusal, NoLineSelected) {
    ExpectRefused(Run(-1), "No line is selected");
    // Refused before anything was shown.
    EXPECT_TRUE(sink_.busyHistory.empty());
    EXPECT_TRUE(sink_.paneHistory.empty());
}

TEST_P(Refusal, LineOutsideTheGroup) {
    ExpectRefused(Run(3), "not in the list");
}

TEST_P(Refusal, EmptyGroupIsNeverWrittenOutsideItsBounds) {
    // Both groups empty: B[0] = B[1] = B[2]. Line 0 would be the first entry of
    // the next group.
    SectionTable table = table_;
    table.B[1] = table.B[0];
    table.B[2] = table.B[0];
    table_ = table;
    ExpectRefused(Run(0), "not in the list");
}

TEST_P(Refusal, AfterAFailedStartUp) {
    table_ = SectionTable{};
    ExpectRefused(Run(0), "not loaded");
}

TEST_P(Refusal, ReplacementThatIsTheArchiveUnderAnotherName) {
    if (testing::SystemMakesSymlinks()) {
        const std::filesystem::path link = disk_.Dir() / "innocent.bin";
        testing::MakeSymlink(Archive(), link);
        ExpectRefused(Run(1, link.string()), "archive being rebuilt");
        sink_.messages.clear();
    }
    const std::string& index = disk_.Paths().IndexPath;
    const std::string dotted = index.substr(0, index.rfind(kPathSeparator) + 1) + "." + kPathSeparator +
                               std::filesystem::path(Archive()).filename().string();
    ExpectRefused(Run(1, dotted), "archive being rebuilt");
}

TEST_P(Refusal, ReplacementThatIsTheIndex) {
    const std::filesystem::path link = disk_.Dir() / "hard.bin";
    std::filesystem::create_hard_link(disk_.Paths().IndexPath, link);
    ExpectRefused(Run(1, link.string()), "the index");
}

TEST_P(Refusal, ReplacementThatIsTheTemporaryCopy) {
    WriteText(disk_.Paths().TempPath, "left over");
    ExpectRefused(Run(1, disk_.Paths().TempPath), "temporary copy");
    EXPECT_EQ(testing::ReadWholeFile(disk_.Paths().TempPath), "left over");
}

// A pipe, a device or a pseudo-file has no fixed bytes to put in the
// archive, and a pipe nobody writes to must not hold the editor at its open.
TEST_P(Refusal, ReplacementThatIsNoRegularFile) {
    const std::filesystem::path pipe = disk_.Dir() / "pipe.bin";
    testing::PlantNoRegularFile(pipe);
    std::vector<std::string> paths = testing::EndlessDevices();
    paths.insert(paths.end(), {pipe.string(), disk_.Dir().string()});
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        sink_.messages.clear();
        ExpectRefused(Run(1, path), "is not a regular file");
    }
}

// The front ends refuse it first; the core must as well, whoever calls it.
TEST_P(Refusal, TheSameMemberTwiceInOneBatch) {
    const auto listed = [&](int line) { return testing::Listed(disk_.Paths(), table_, GetParam().group, line); };
    ExpectRefused(ReplaceMembers(
                      {noCopy_, disk_.Paths(), table_, sink_}, GetParam().group,
                      {{listed(1), ReplacementPath()}, {listed(0), ReplacementPath()}, {listed(1), ReplacementPath()}}),
                  "is to be replaced twice");
}

TEST_P(Refusal, IndexShorterThanItsSectionTable) {
    std::string index = disk_.Index();
    index.resize(table_.GroupEnd(GetParam().group) - 8);  // the group's last entry is cut in half
    WriteText(disk_.Paths().IndexPath, index);
    Remember();
    ExpectRefused(Run(0), "no longer fits the index");
}

TEST_P(Refusal, MemberWithANegativeSize) {
    std::vector<testing::RawEntry> entries = testing::AllEntries(set_);
    entries[GetParam().group == Txt ? 2 : 5].size = 0xFFFFFFF0u;  // the group's last entry
    testing::WriteBytes(disk_.Paths().IndexPath, testing::IndexBytes(set_.header, entries));
    Remember();
    ExpectRefused(Run(0), "negative size");
}

TEST_P(Refusal, SelectedMemberRunningPastTheEndOfTheArchive) {
    std::string archive = GetParam().group == Txt ? disk_.Txt() : disk_.Shp();
    archive.resize(archive.size() - 1);
    WriteText(Archive(), archive);
    Remember();
    ExpectRefused(Run(2), "runs past the end");
}

TEST_P(Refusal, ReplacementLargerThanASizeFieldCanHold) {
    // A sparse file of 3 GiB, past the signed 32-bit size field.
    const std::filesystem::path big = disk_.Dir() / "huge.bin";
    WriteText(big, "");
    std::filesystem::resize_file(big, std::uint64_t{3} << 30);
    ExpectRefused(Run(1, big.string()), "at most");
}

TEST_P(Refusal, NewArchivePastTheReachOfTheOffsets) {
    // Two members of the largest size fill a sparse archive up to the last
    // offset there is; a third member longer than its one byte would begin
    // past 4 GiB.
    std::vector<testing::RawEntry> entries = testing::AllEntries(set_);
    testing::RawEntry* group = &entries[GetParam().group == Txt ? 0 : set_.txt.size()];
    group[0] = {"FIRST", INT32_MAX, 0};
    group[1] = {"SECOND", INT32_MAX, INT32_MAX};
    group[2] = {"LAST", 1, UINT32_MAX - 1};
    testing::WriteBytes(disk_.Paths().IndexPath, testing::IndexBytes(set_.header, entries));
    std::filesystem::resize_file(Archive(), UINT32_MAX);
    const std::string index = disk_.Index();

    EXPECT_EQ(Run(2), ArchiveOutcome::Refused);
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_NE(sink_.messages[0].text.find("4 GiB"), std::string::npos) << sink_.messages[0].text;
    // Not read back whole: the archive is 4 GiB.
    EXPECT_EQ(disk_.Index(), index);
    EXPECT_EQ(std::filesystem::file_size(Archive()), UINT32_MAX);
    EXPECT_FALSE(disk_.LeftoversExist());
}

INSTANTIATE_TEST_SUITE_P(BothReplacements, Refusal, ::testing::Values(kTextOperation, kShpOperation),
                         [](const auto& info) { return std::string(info.param.name); });

// The Txt replacement reads every member from the copy, so any member past
// the end refuses it; the Shp replacement copies by position and needs only
// the selected member inside the archive.
class TextRefusal : public Refusal {};

TEST_P(TextRefusal, MemberNotSelectedRunningPastTheEndOfTheArchive) {
    std::string archive = disk_.Txt();
    archive.resize(archive.size() - 1);
    WriteText(Archive(), archive);
    Remember();
    ExpectRefused(Run(0), "runs past the end");
}

INSTANTIATE_TEST_SUITE_P(TxtReplacement, TextRefusal, ::testing::Values(kTextOperation),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qax
