#include "data_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "index_builder.h"
#include "sample_data_set.h"
#include "temp_dir.h"

namespace qax {
namespace {

using testing::IndexBytes;
using testing::SectionBytes;
using testing::TempDir;
using testing::WriteBytes;

// Paths as the original platform spelled them, to pin the derivation down
// exactly; the separator is a parameter for that reason.
TEST(PathDerivation, StripsLastComponentOrGivesEmpty) {
    EXPECT_EQ(StripLastComponent("C:\\G\\EDIT\\EDITOR.EXE", '\\'), "C:\\G\\EDIT");
    EXPECT_EQ(StripLastComponent("C:\\G\\EDIT", '\\'), "C:\\G");
    EXPECT_EQ(StripLastComponent("C:", '\\'), "");
    EXPECT_EQ(StripLastComponent("no-separator", '/'), "");
    EXPECT_EQ(StripLastComponent("/a/b/", '/'), "/a/b");
    EXPECT_EQ(StripLastComponent("", '/'), "");
}

TEST(PathDerivation, DataSetIsOneLevelAboveTheEditorsDirectory) {
    const DataSetPaths paths = DeriveDataSetPaths("C:\\G\\EDIT\\EDITOR.EXE", '\\');
    EXPECT_EQ(paths.TempPath, "C:\\G\\EDIT\\~temp.fpc");
    EXPECT_EQ(paths.IndexPath, "C:\\G\\data\\qaxdata.idx");
    EXPECT_EQ(paths.ShpArchivePath, "C:\\G\\data\\shp.qax");
    EXPECT_EQ(paths.SectionPath, "C:\\G\\data\\ext.idx");
    EXPECT_EQ(paths.TxtArchivePath, "C:\\G\\data\\txt.qax");
    EXPECT_EQ(paths.PalArchivePath, "C:\\G\\data\\pal.qax");

    const DataSetPaths posix = DeriveDataSetPaths("/opt/corvane/qaxedit/qaxedit", '/');
    EXPECT_EQ(posix.TempPath, "/opt/corvane/qaxedit/~temp.fpc");
    EXPECT_EQ(posix.IndexPath, "/opt/corvane/data/qaxdata.idx");
}

TEST(PathDerivation, ProgramAtTheRootGivesAnEmptyProductDirectory) {
    EXPECT_EQ(ExeDirOf("C:\\EDITOR.EXE", '\\'), "C:");
    const DataSetPaths paths = DeriveDataSetPaths("C:\\EDITOR.EXE", '\\');
    EXPECT_EQ(paths.IndexPath, "\\data\\qaxdata.idx");
    EXPECT_EQ(paths.TempPath, "C:\\~temp.fpc");

    const DataSetPaths posix = DeriveDataSetPaths("/qaxedit", '/');
    EXPECT_EQ(posix.IndexPath, "/data/qaxdata.idx");
    EXPECT_EQ(posix.TempPath, "/~temp.fpc");
}

TEST(ApplicationTitle, FileNameCutAtFirstDotWithTailLowered) {
    EXPECT_EQ(ApplicationTitle("C:\\G\\EDIT\\QAXEDIT.EXE", '\\'), "Qaxedit");
    EXPECT_EQ(ApplicationTitle("/usr/bin/qaxedit", '/'), "qaxedit");
    EXPECT_EQ(ApplicationTitle("/x/MY.TOOL.EXE", '/'), "My");
    // Windows' slashes separate as its backslashes do; elsewhere a backslash is a character.
    EXPECT_EQ(ApplicationTitle("C:/G/EDIT/QAXEDIT.EXE", '\\'), "Qaxedit");
    EXPECT_EQ(ApplicationTitle("/x/EDIT\\QAXEDIT.EXE", '/'), "Edit\\qaxedit");
}

// Without a separator named, each system's own: the paths the program
// derives from where it lies, as that system spells them.
TEST(PathDerivation, EachSystemSpellsItsOwnPaths) {
    struct Row {
        const char* program;
        const char* tempPath;
        const char* indexPath;
        const char* title;
    };
#ifdef _WIN32
    const Row rows[] = {
        {"C:\\G\\EDIT\\EDITOR.EXE", "C:\\G\\EDIT\\~temp.fpc", "C:\\G\\data\\qaxdata.idx", "Editor"},
        // In a drive's root: the data directory in the root of the current drive.
        {"C:\\EDITOR.EXE", "C:\\~temp.fpc", "\\data\\qaxdata.idx", "Editor"},
    };
#else
    const Row rows[] = {
        {"/opt/corvane/qaxedit/qaxedit", "/opt/corvane/qaxedit/~temp.fpc", "/opt/corvane/data/qaxdata.idx", "qaxedit"},
        {"/qaxedit", "/~temp.fpc", "/data/qaxdata.idx", "qaxedit"},
    };
#endif
    for (const Row& row : rows) {
        SCOPED_TRACE(row.program);
        const DataSetPaths paths = DeriveDataSetPaths(row.program);
        EXPECT_EQ(paths.TempPath, row.tempPath);
        EXPECT_EQ(paths.IndexPath, row.indexPath);
        EXPECT_EQ(ApplicationTitle(row.program), row.title);
    }
    // The running program's own path is one the system gives in full.
    const std::optional<std::string> self = RunningProgramPath();
    ASSERT_TRUE(self.has_value());
    EXPECT_NE(ExeDirOf(*self), "");
}

TEST(Banner, FourLinesWithoutFinalLineFeed) {
    const std::string& banner = BannerText();
    EXPECT_EQ(banner.rfind("Corvane Qax Edit\nVersion 0.1\n", 0), 0u);
    EXPECT_EQ(std::count(banner.begin(), banner.end(), '\n'), 3);
    EXPECT_EQ(banner.substr(banner.size() - 5), "\n2/98");
}

// A product directory with the editor in <product>/edit and a sample data set.
class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        sample::SampleOptions options;
        options.txtCount = 5;
        options.shpCount = 4;
        set_ = sample::WriteSampleDataSet(dir_.Path(), options);
        std::filesystem::create_directories(dir_ / "edit");
    }
    std::string Program() const { return (dir_ / "edit" / "qaxedit").string(); }
    std::string Data(const std::string& name) const { return (dir_ / "data" / name).string(); }
    StartUpResult Run() { return StartUpCheck(fs_, Program()); }

    TempDir dir_;
    sample::SampleDataSet set_;
    SystemFileSystem fs_;
};

TEST_F(StartUp, GoodDataSetShowsTheBannerAndLoadsTheTable) {
    const StartUpResult result = Run();
    ASSERT_TRUE(result.Ready()) << result.paneText;
    EXPECT_EQ(result.paneText, BannerText());
    EXPECT_EQ(result.paths.IndexPath, Data("qaxdata.idx"));
    EXPECT_EQ(result.paths.TempPath, (dir_ / "edit" / "~temp.fpc").string());
    // 5 Txt, 4 Shp, 3 of each of the other four groups.
    const SectionTable expected{{4, 4 + 16 * 5, 4 + 16 * 9, 4 + 16 * 12, 4 + 16 * 15, 4 + 16 * 18, 4 + 16 * 21}};
    EXPECT_EQ(result.table, expected);
}

TEST_F(StartUp, AllFiveMissingAreNamedInOrder) {
    std::filesystem::remove_all(dir_ / "data");
    const StartUpResult result = Run();
    EXPECT_EQ(result.status, StartUpStatus::MissingFiles);
    EXPECT_EQ(result.paneText, BannerText() + "\nCan't find:\n" + Data("shp.qax") + "\n" + Data("qaxdata.idx") + "\n" +
                                   Data("ext.idx") + "\n" + Data("txt.qax") + "\n" + Data("pal.qax") +
                                   "\n\nYou must EXIT !!!");
    EXPECT_EQ(result.table, SectionTable{});
}

TEST_F(StartUp, OnlyPalMissingStillFails) {
    std::filesystem::remove(Data("pal.qax"));
    const StartUpResult result = Run();
    EXPECT_EQ(result.status, StartUpStatus::MissingFiles);
    EXPECT_EQ(result.paneText, BannerText() + "\nCan't find:\n" + Data("pal.qax") + "\n\nYou must EXIT !!!");
}

TEST_F(StartUp, DirectoryOfTheRightNameDoesNotCount) {
    std::filesystem::remove(Data("txt.qax"));
    std::filesystem::create_directory(Data("txt.qax"));
    const StartUpResult result = Run();
    EXPECT_EQ(result.status, StartUpStatus::MissingFiles);
    EXPECT_NE(result.paneText.find("Can't find:\n" + Data("txt.qax") + "\n"), std::string::npos);
}

// Fails every open of one path, as an unreadable file would.
class RefusingFileSystem : public SystemFileSystem {
public:
    explicit RefusingFileSystem(std::string refused) : refused_(std::move(refused)) {}
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        if (path == refused_) throw IoError(IoStep::Open, path, std::make_error_code(std::errc::permission_denied));
        return SystemFileSystem::Open(path, mode);
    }

private:
    std::string refused_;
};

TEST_F(StartUp, UnopenableSectionFileGivesTheOnePathMessage) {
    RefusingFileSystem fs(Data("ext.idx"));
    const StartUpResult result = StartUpCheck(fs, Program());
    EXPECT_EQ(result.status, StartUpStatus::SectionUnreadable);
    EXPECT_EQ(result.paneText, BannerText() + "Could not open:\n" + Data("ext.idx") + "You must Exit!");
    EXPECT_EQ(result.table, SectionTable{});
}

TEST_F(StartUp, UnopenableIndexIsRefused) {
    RefusingFileSystem fs(Data("qaxdata.idx"));
    const StartUpResult result = StartUpCheck(fs, Program());
    EXPECT_EQ(result.status, StartUpStatus::IndexUnreadable);
    EXPECT_NE(result.paneText.find(Data("qaxdata.idx")), std::string::npos);
    EXPECT_EQ(result.table, SectionTable{});
}

TEST_F(StartUp, ShortSectionFileIsRefused) {
    auto bytes = SectionBytes({5, 9, 12, 15, 18, 21});
    bytes.resize(95);  // the Dat record's count is cut off
    WriteBytes(Data("ext.idx"), bytes);
    const StartUpResult result = Run();
    EXPECT_EQ(result.status, StartUpStatus::SectionDamaged);
    EXPECT_NE(result.paneText.find("shorter than the 96 bytes"), std::string::npos);
    EXPECT_EQ(result.table, SectionTable{});
}

// The index holds 21 entries: 5 Txt, 4 Shp, then 3 of each other group.
TEST_F(StartUp, OnlyTxtAndShpBoundsThatGoBackwardsOrPastTheIndexAreRefused) {
    struct Case {
        std::array<std::uint32_t, 6> counts;
        const char* problem;  // nullptr: the start-up succeeds
    };
    const Case cases[] = {
        {{5, 3, 12, 15, 18, 21}, "the Shp group ends before it begins"},
        {{5, 22, 22, 22, 22, 22}, "the Shp group runs past the end of the index"},
        {{22, 22, 22, 22, 22, 22}, "the Txt group runs past the end of the index"},
        // A count whose bound would wrap round in 32 bits.
        {{0x10000000u, 9, 12, 15, 18, 21}, "the Txt group runs past the end of the index"},
        // The other groups' bounds are taken as they are.
        {{5, 9, 12, 15, 18, 22}, nullptr},
        {{5, 9, 7, 15, 18, 21}, nullptr},
        {{5, 9, 12, 15, 0x10000000u, 2}, nullptr},
    };
    for (const Case& c : cases) {
        WriteBytes(Data("ext.idx"), SectionBytes(c.counts));
        const StartUpResult result = Run();
        if (c.problem == nullptr) {
            EXPECT_TRUE(result.Ready()) << result.paneText;
            EXPECT_EQ(result.table.GroupEnd(Dat), 4 + 16 * c.counts[5]);
            EXPECT_EQ(result.paneText, BannerText());
        } else {
            EXPECT_EQ(result.status, StartUpStatus::SectionDamaged) << c.problem;
            EXPECT_NE(result.paneText.find(c.problem), std::string::npos) << result.paneText;
            EXPECT_NE(result.paneText.find("You must Exit!"), std::string::npos);
            EXPECT_EQ(result.table, SectionTable{});
        }
    }
}

TEST_F(StartUp, EmptyGroupsAndExtraTrailingEntriesAreAccepted) {
    WriteBytes(Data("ext.idx"), SectionBytes({0, 0, 0, 0, 0, 0}));
    const StartUpResult result = Run();
    ASSERT_TRUE(result.Ready()) << result.paneText;
    EXPECT_EQ(result.table, (SectionTable{{4, 4, 4, 4, 4, 4, 4}}));
}

}  // namespace
}  // namespace qax
