// Extraction of a Shp member to <editor dir>/<name>.SHP.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "catalogue.h"
#include "faulty_file_system.h"
#include "recording_sink.h"
#include "system_plants.h"

namespace qax {
namespace {

using testing::DataSetOnDisk;
using testing::FaultyFileSystem;
using testing::MemberSet;
using testing::PatternMember;
using testing::ReadWholeFile;
using testing::RecordingSink;
using testing::TableFor;
using testing::WriteText;

MemberSet ShpMembers() {
    MemberSet set;
    set.txt = {{"README", "text"}};
    set.shp = {PatternMember("HEADER", 4096, 1), PatternMember("TANK", 1234, 2), PatternMember("SOLDIER1", 999, 3),
               PatternMember("EMPTY", 0, 4)};
    return set;
}

class Extraction : public ::testing::Test {
protected:
    ArchiveOutcome Extract(std::string_view line, FileSystem* fs = nullptr) {
        return ExtractShpMember({fs != nullptr ? *fs : fs_, disk_.Paths(), table_, sink_},
                                testing::ListedText(disk_.Paths(), table_, Shp, line), disk_.EditorDir());
    }
    std::string Line(std::size_t member) const {
        const auto& m = set_.shp[member];
        std::uint32_t offset = 0;
        for (std::size_t i = 0; i < member; ++i) offset += static_cast<std::uint32_t>(set_.shp[i].bytes.size());
        return FormatCatalogueLine({m.name, static_cast<std::int32_t>(m.bytes.size()), offset});
    }
    std::filesystem::path Output(const std::string& name) const { return disk_.Dir() / "edit" / name; }
    std::vector<std::string> EditorFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(disk_.Dir() / "edit"))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    MemberSet set_ = ShpMembers();
    DataSetOnDisk disk_{set_};
    SectionTable table_ = TableFor(set_);
    SystemFileSystem fs_;
    RecordingSink sink_;
};

TEST_F(Extraction, WritesTheMembersBytesUnderItsNameWithTheShpExtension) {
    // The line as the list shows it: TANK, 1,234 bytes at offset 4,096.
    sink_.pane = "untouched";
    ASSERT_EQ(Extract("    TANK   1234 $0001000"), ArchiveOutcome::Done);
    EXPECT_EQ(ReadWholeFile(Output("TANK.SHP")), disk_.Shp().substr(4096, 1234));
    EXPECT_EQ(EditorFiles(), (std::vector<std::string>{"TANK.SHP"}));
    EXPECT_TRUE(sink_.messages.empty());
    EXPECT_EQ(sink_.pane, "untouched");
    EXPECT_TRUE(sink_.paneHistory.empty());
}

TEST_F(Extraction, AnEightCharacterNameGivesAnEightCharacterFileName) {
    ASSERT_EQ(Extract(Line(2)), ArchiveOutcome::Done);
    EXPECT_EQ(ReadWholeFile(Output("SOLDIER1.SHP")), set_.shp[2].bytes);
}

TEST_F(Extraction, ExtractingAgainReplacesTheFileWhole) {
    WriteText(Output("TANK.SHP"), std::string(5000, 'o'));  // longer than the member
    ASSERT_EQ(Extract(Line(1)), ArchiveOutcome::Done);
    ASSERT_EQ(Extract(Line(1)), ArchiveOutcome::Done);
    EXPECT_EQ(ReadWholeFile(Output("TANK.SHP")), set_.shp[1].bytes);
    EXPECT_EQ(EditorFiles(), (std::vector<std::string>{"TANK.SHP"}));
}

TEST_F(Extraction, AMemberOfSizeZeroGivesAnEmptyFile) {
    WriteText(Output("EMPTY.SHP"), "old contents");
    ASSERT_EQ(Extract(Line(3)), ArchiveOutcome::Done);
    EXPECT_EQ(std::filesystem::file_size(Output("EMPTY.SHP")), 0u);
}

// A member name becomes a file name in the editor's directory. One that
// would leave it is refused on every system; one that Windows cannot hold as
// a file name (a device, whatever its extension; a stream of another file;
// a character, an ending or bytes the system refuses or alters) is refused
// there and extracted as it is on Linux. A refusal names the member and
// why, and writes nothing.
TEST_F(Extraction, NamesThatCannotNameAFileHereAreRefused) {
#ifdef _WIN32
    constexpr bool kOnWindows = true;
#else
    constexpr bool kOnWindows = false;
#endif
    struct Name {
        std::string name;
        bool onEverySystem;  // refused on Linux too
        std::string why;     // in the refusal; empty for a name extracted everywhere
    };
    const std::string leaves = "cannot be used as a file name in the editor's directory";
    const std::string device = "is the name of a device on Windows";
    const std::string forbidden = "which Windows allows in no file name";
    const Name names[] = {
        {"../x", true, leaves},
        {"a/b", true, leaves},
        {"..\\x", true, leaves},
        {".", true, leaves},
        {"..", true, leaves},
        {"", true, leaves},
        {"CON", false, "CON " + device},
        {"nul", false, "nul " + device},
        {"Aux.x", false, "Aux " + device},
        {"PRN.SHP", false, "PRN " + device},
        {"CON .X", false, "CON " + device},
        {"COM1", false, device},
        {"lPt9.a.b", false, device},
        {"COM0", false, device},
        {"LPT\u00B3", false, device},
        {"A<B", false, "character <, " + forbidden},
        {"A>B", false, "character >, " + forbidden},
        {"A:B", false, "character :, " + forbidden},
        {"A\"B", false, "character \", " + forbidden},
        {"A|B", false, "character |, " + forbidden},
        {"A?B", false, "character ?, " + forbidden},
        {"A*B", false, "character *, " + forbidden},
        {"A\001B", false, "control character 0x01, " + forbidden},
        {"A\037B", false, "control character 0x1F, " + forbidden},
        {"TANK.", false, "ends in a dot or a space"},
        {"\xC4RGER", false, "no UTF-8 text"},  // Latin-1
        // Names a device's name only begins, and Unicode: files everywhere.
        {"CONSOLE", false, ""},
        {"COM10", false, ""},
        {"NULL.X", false, ""},
        {"LPT", false, ""},
        {"\xC3\x84RGER", false, ""},
    };
    set_.shp.clear();
    for (std::size_t i = 0; i < std::size(names); ++i)
        set_.shp.push_back(PatternMember(names[i].name, 10 + i, static_cast<unsigned>(i)));
    disk_.Write(set_);
    table_ = TableFor(set_);
    for (std::size_t i = 0; i < std::size(names); ++i) {
        const Name& name = names[i];
        SCOPED_TRACE(::testing::PrintToString(name.name));
        sink_.messages.clear();
        const std::vector<std::string> before = EditorFiles();
        if (name.onEverySystem || (kOnWindows && !name.why.empty())) {
            EXPECT_EQ(Extract(Line(i)), ArchiveOutcome::Refused);
            ASSERT_EQ(sink_.messages.size(), 1u);
            EXPECT_EQ(sink_.messages[0].caption, "Extract File");
            EXPECT_NE(sink_.messages[0].text.find("\"" + name.name + "\""), std::string::npos)
                << sink_.messages[0].text;
            EXPECT_NE(sink_.messages[0].text.find(name.why), std::string::npos) << sink_.messages[0].text;
            EXPECT_EQ(EditorFiles(), before);
        } else {
            EXPECT_EQ(Extract(Line(i)), ArchiveOutcome::Done);
            EXPECT_TRUE(sink_.messages.empty());
            EXPECT_EQ(ReadWholeFile(disk_.Dir() / "edit" / PathFromUtf8(name.name + ".SHP")), set_.shp[i].bytes);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(disk_.Dir() / "x.SHP"));
}

TEST_F(Extraction, ADamagedLineRaisesTheConversionErrorBeforeAnyFileIsOpened) {
    FaultyFileSystem spy(fs_);
    EXPECT_THROW(Extract("    TANK   12x4 $0001000", &spy), ConversionError);
    EXPECT_THROW(Extract("    TANK   1234 $00G1000", &spy), ConversionError);
    EXPECT_EQ(spy.OpenCount(), 0);
    EXPECT_TRUE(EditorFiles().empty());
}

TEST_F(Extraction, AMemberRunningPastTheEndWritesNothing) {
    WriteText(Output("SOLDIER1.SHP"), "earlier extraction");
    // The archive ends 99 bytes into SOLDIER1, which the index and the
    // line both say is 999 bytes long.
    WriteText(disk_.Paths().ShpArchivePath, disk_.Shp().substr(0, 4096 + 1234 + 99));
    EXPECT_EQ(Extract(Line(2)), ArchiveOutcome::Refused);
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_NE(sink_.messages[0].text.find("runs past the end"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(Output("SOLDIER1.SHP")), "earlier extraction");
    EXPECT_EQ(EditorFiles(), (std::vector<std::string>{"SOLDIER1.SHP"}));
}

TEST_F(Extraction, AnArchiveThatCannotBeOpenedIsAFileError) {
    std::filesystem::remove(disk_.Paths().ShpArchivePath);
    EXPECT_EQ(Extract(Line(1)), ArchiveOutcome::Failed);
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].text, "Could not open " + disk_.Paths().ShpArchivePath + "\n");
    EXPECT_EQ(sink_.messages[0].caption, "File Error");
    EXPECT_TRUE(EditorFiles().empty());
}

TEST_F(Extraction, AnOutputThatCannotBeOpenedIsAFileErrorUnderItsOwnName) {
    const std::string missingDir = (disk_.Dir() / "gone").string();
    EXPECT_EQ(ExtractShpMember({fs_, disk_.Paths(), table_, sink_},
                               testing::ListedText(disk_.Paths(), table_, Shp, Line(1)), missingDir),
              ArchiveOutcome::Failed);
    ASSERT_EQ(sink_.messages.size(), 1u);
    EXPECT_EQ(sink_.messages[0].text, "Could not open " + missingDir + kPathSeparator + "TANK.SHP\n");
}

TEST_F(Extraction, RefusedAfterAFailedStartUp) {
    table_ = SectionTable{};
    EXPECT_EQ(Extract(Line(1)), ArchiveOutcome::Refused);
    EXPECT_TRUE(EditorFiles().empty());
}

TEST_F(Extraction, AnOutputThatIsADataFileUnderAnotherNameIsRefused) {
    if (!testing::SystemMakesSymlinks()) GTEST_SKIP() << "this system makes no symbolic links";
    testing::MakeSymlink(disk_.Paths().ShpArchivePath, Output("TANK.SHP"));
    const std::string archive = disk_.Shp();
    EXPECT_EQ(Extract(Line(1)), ArchiveOutcome::Refused);
    EXPECT_EQ(disk_.Shp(), archive);
}

// An extraction that died half way leaves its unfinished file; the next
// start removes it, once its bytes are seen to be all the member's own, and
// nothing else of a similar name.
TEST_F(Extraction, WhatADeadExtractionLeftIsRemovedAndNothingElse) {
    FaultyFileSystem spy(fs_);
    ASSERT_EQ(Extract(Line(1), &spy), ArchiveOutcome::Done);
    const auto& log = spy.Log();
    const auto write = std::find_if(log.begin(), log.end(), [](const std::string& step) {
        return step.rfind("write ", 0) == 0 && step.find("TANK.SHP.new") != std::string::npos;
    });
    ASSERT_NE(write, log.end());
    std::filesystem::remove(Output("TANK.SHP"));
    FaultyFileSystem dying(fs_);
    dying.FailFromStep(static_cast<long>(write - log.begin()) + 2);  // dead once the first bytes are down
    Extract(Line(1), &dying);
    ASSERT_TRUE(std::filesystem::exists(Output("TANK.SHP.new")));
    WriteText(Output("FOO.SHP.new"), "a user's own file");
    WriteText(Output("SOLDIER1.SHP.new"), "not the member's bytes");
    // The window writes no texts: a text's copy under a like name stays,
    // even when its bytes are the member's own.
    const std::string text0 = set_.txt[0].bytes;
    WriteText(Output(set_.txt[0].name + ".TXT.new"), text0);

    const std::string text = RemoveUnfinishedExtractions(fs_, disk_.Paths(), disk_.EditorDir());
    EXPECT_NE(text.find("TANK.SHP.new"), std::string::npos) << text;
    EXPECT_EQ(EditorFiles(),
              (std::vector<std::string>{"FOO.SHP.new", set_.txt[0].name + ".TXT.new", "SOLDIER1.SHP.new"}));
    // qaxtool, about to extract texts into that directory, takes its own.
    RemoveUnfinishedExtractions(fs_, disk_.Paths(), disk_.EditorDir(), Txt);
    EXPECT_EQ(EditorFiles(), (std::vector<std::string>{"FOO.SHP.new", "SOLDIER1.SHP.new"}));
}

// The note a batch extraction cut short leaves is acted on only when this
// program wrote it whole, for the type being extracted; then what it lists
// goes when it is the very file the batch made and holds only the start of
// its member. Each note here is a real one, left by a batch of three killed
// once the first bytes of its first file were down. After the crash, and
// before anything cleans up, the user makes two files under names the batch
// would have written later, one empty and one holding the start of its
// member: no note ever removes them, since the batch made neither.
TEST_F(Extraction, ABatchsNoteCountsOnlyWhenWrittenWholeForThisTypeAndForFilesTheBatchMade) {
    const auto same = [](std::string paper) { return paper; };
    struct Row {
        const char* name;
        int group;  // of the batch that left the note
        std::function<std::string(std::string)> tamper;
        bool removed;       // the files the batch left unfinished
        std::string words;  // in what the clean-up says
        std::function<std::string(std::string)> tamperRecord = [](std::string record) { return record; };
        bool replaced = false;  // the batch's first file gives way to a copy of it
        // A note of this program's goes once what it lists is seen to,
        // proved or not.
        bool noteKept = !removed;
    };
    const Row rows[] = {
        {"a whole note of this type", Shp, same, true, "was removed"},
        {"a Txt batch's note, met by a Shp extraction", Txt, same, false, ""},
        {"a note cut short", Shp, [](std::string note) { return note.substr(0, note.size() - 1); }, false,
         "no note this program wrote whole"},
        {"a note with another header", Shp,
         [](std::string note) { return "QAXEXTRACT 1 .SHP" + note.substr(note.find('\n')); }, false,
         "no note this program wrote whole"},
        // An earlier version listed its files under their final names; it
        // proves none of them its own.
        {"an earlier version's note", Shp, [](std::string) { return "QAXEXTRACT 2 .SHP 1 de856b37\nTANK.SHP\n"; },
         false, "TANK.SHP is listed by", same, false, false},
        {"a record cut short", Shp, same, false, "record of which files that extraction made is missing",
         [](std::string record) { return record.substr(0, record.size() - 3); }, false, false},
        {"a copy in the place of the file the batch made", Shp, same, false, "is not the file that extraction made",
         same, true, false},
    };
    const std::filesystem::path edit = disk_.Dir() / "edit";
    const std::string soldierStart = set_.shp[2].bytes.substr(0, 400);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const auto& entry : std::filesystem::directory_iterator(edit)) std::filesystem::remove(entry.path());
        const std::vector<int> lines = row.group == Txt ? std::vector<int>{0} : std::vector<int>{1, 2, 0};
        const std::string first = row.group == Txt ? "README.TXT" : "TANK.SHP";
        const auto extract = [&](FileSystem& fs) {
            std::vector<ListedLine> members;
            for (const int line : lines) members.push_back(testing::Listed(disk_.Paths(), table_, row.group, line));
            std::vector<std::string> written;
            return ExtractMembers({fs, disk_.Paths(), table_, sink_}, row.group, members, disk_.EditorDir(), written);
        };
        FaultyFileSystem spy(fs_);
        ASSERT_EQ(extract(spy), ArchiveOutcome::Done);
        for (const auto& entry : std::filesystem::directory_iterator(edit)) std::filesystem::remove(entry.path());
        const auto write = std::find_if(spy.Log().begin(), spy.Log().end(), [&](const std::string& step) {
            return step.rfind("write ", 0) == 0 && step.find(first) != std::string::npos;
        });
        ASSERT_NE(write, spy.Log().end());
        FaultyFileSystem dying(fs_);
        dying.FailFromStep(static_cast<long>(write - spy.Log().begin()) + 2);  // dead once the first bytes are down
        extract(dying);
        std::filesystem::path note;
        std::filesystem::path unfinished;
        std::filesystem::path record;
        for (const auto& entry : std::filesystem::directory_iterator(edit)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".qaxtool-extract-", 0) == 0) note = entry.path();
            if (name.find(first) != std::string::npos) unfinished = entry.path();
            if (name.rfind(".qaxtool-made-", 0) == 0) record = entry.path();
        }
        ASSERT_FALSE(note.empty());
        ASSERT_FALSE(record.empty());
        ASSERT_FALSE(unfinished.empty());
        const std::string start = ReadWholeFile(unfinished);
        ASSERT_FALSE(start.empty());
        // Rewritten only when changed: a note's change time is part of it.
        for (const auto& [paper, tamper] : {std::pair{note, row.tamper}, std::pair{record, row.tamperRecord}})
            if (const std::string bytes = ReadWholeFile(paper); tamper(bytes) != bytes) WriteText(paper, tamper(bytes));
        if (row.replaced) {
            std::filesystem::copy_file(unfinished, edit / "copy");
            std::filesystem::rename(edit / "copy", unfinished);
        }
        WriteText(Output("SOLDIER1.SHP"), soldierStart);
        WriteText(Output("HEADER.SHP"), "");
        // What the earlier version's batch left under the name it lists.
        if (row.name == std::string("an earlier version's note"))
            WriteText(Output("TANK.SHP"), set_.shp[1].bytes.substr(0, 600));

        const std::string said = RemoveUnfinishedExtractions(fs_, disk_.Paths(), disk_.EditorDir(), Shp);
        EXPECT_EQ(std::filesystem::exists(unfinished), !row.removed);
        EXPECT_EQ(std::filesystem::exists(note), row.noteKept);
        if (!row.removed) {
            EXPECT_EQ(ReadWholeFile(unfinished), start);
        } else {
            // Every file the batch made is gone, the user's are not.
            EXPECT_EQ(EditorFiles(), (std::vector<std::string>{"HEADER.SHP", "SOLDIER1.SHP"}));
        }
        EXPECT_EQ(ReadWholeFile(Output("SOLDIER1.SHP")), soldierStart);
        EXPECT_EQ(ReadWholeFile(Output("HEADER.SHP")), "");
        EXPECT_EQ(said.empty(), row.words.empty()) << said;
        EXPECT_NE(said.find(row.words), std::string::npos) << said;
    }
}

}  // namespace
}  // namespace qax
