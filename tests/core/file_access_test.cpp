// The whole-file copy and the other steps the archive operations build on.
#include "file_access.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "archive_data_set.h"
#include "system_plants.h"
#include "temp_dir.h"

namespace qax {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteText;

class CopyFile : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    TempDir dir_;
    SystemFileSystem fs_;
};

TEST_F(CopyFile, CopiesEveryByteOfALargeFile) {
    // Larger than the copy buffer, and not a multiple of it.
    const std::string bytes = testing::PatternMember("BIG", (std::size_t{1} << 20) * 3 + 12345, 5).bytes;
    WriteText(Path("from"), bytes);
    EXPECT_EQ(fs_.CopyFile(Path("from"), Path("to"), CopyTarget::Overwrite), bytes.size());
    EXPECT_EQ(ReadWholeFile(Path("to")), bytes);
}

TEST_F(CopyFile, CopiesBetweenFileSystemsWithPlainReadsAndWrites) {
    // Where the kernel refuses to copy from one file system to another, the
    // copy carries on through the process's own buffer.
    const std::filesystem::path memory = "/dev/shm";
    if (!std::filesystem::is_directory(memory)) GTEST_SKIP() << "no second file system to copy from";
    TempDir target;
    const std::filesystem::path from = memory / ("qaxedit-copy-test-" + RandomHex(4));
    const std::string bytes = testing::PatternMember("X", (std::size_t{1} << 20) + 777, 3).bytes;
    WriteText(from, bytes);
    EXPECT_EQ(fs_.CopyFile(from.string(), (target / "to").string(), CopyTarget::Overwrite), bytes.size());
    std::filesystem::remove(from);
    EXPECT_EQ(ReadWholeFile(target / "to"), bytes);
}

TEST_F(CopyFile, EmptiesALongerTargetInPlaceKeepingItsIdentity) {
    WriteText(Path("from"), "short");
    WriteText(Path("to"), std::string(10000, 'x'));
    const std::uint64_t before = testing::FileIdentity(Path("to"));
    EXPECT_EQ(fs_.CopyFile(Path("from"), Path("to"), CopyTarget::Overwrite), 5u);
    EXPECT_EQ(ReadWholeFile(Path("to")), "short");
    EXPECT_EQ(testing::FileIdentity(Path("to")), before);

    WriteText(Path("empty"), "");
    EXPECT_EQ(fs_.CopyFile(Path("empty"), Path("to"), CopyTarget::Overwrite), 0u);
    EXPECT_EQ(std::filesystem::file_size(Path("to")), 0u);
}

TEST_F(CopyFile, AFileIsNeverCopiedOntoItself) {
    WriteText(Path("archive"), "precious bytes");
    const std::string sameFile = (dir_.Path() / "." / "archive").string();
    EXPECT_THROW(fs_.CopyFile(Path("archive"), sameFile, CopyTarget::Overwrite), IoError);
    if (testing::SystemMakesSymlinks()) {
        testing::MakeSymlink(Path("archive"), Path("link"));
        EXPECT_THROW(fs_.CopyFile(Path("link"), Path("archive"), CopyTarget::Overwrite), IoError);
    }
    EXPECT_EQ(ReadWholeFile(Path("archive")), "precious bytes");
}

TEST_F(CopyFile, AMissingSourceNamesItselfAndLeavesTheTargetAlone) {
    WriteText(Path("to"), "kept");
    try {
        fs_.CopyFile(Path("absent"), Path("to"), CopyTarget::Overwrite);
        FAIL() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.Step(), IoStep::Open);
        EXPECT_EQ(error.Path(), Path("absent"));
    }
    EXPECT_EQ(ReadWholeFile(Path("to")), "kept");
}

TEST_F(CopyFile, ATargetInAMissingDirectoryIsAnOpenFailure) {
    WriteText(Path("from"), "bytes");
    try {
        fs_.CopyFile(Path("from"), Path("no/such/dir"), CopyTarget::Overwrite);
        FAIL() << "no error";
    } catch (const IoError& error) {
        EXPECT_EQ(error.Step(), IoStep::Open);
        EXPECT_EQ(error.Path(), Path("no/such/dir"));
    }
}

class Transfer : public CopyFile {
protected:
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(4096);
};

TEST_F(Transfer, KeepsOrderWithBufferedWritesAndAdvancesBothPositions) {
    const std::string bytes = testing::PatternMember("S", 300000, 9).bytes;
    WriteText(Path("source"), bytes);
    auto source = fs_.Open(Path("source"), OpenMode::Read);
    auto target = fs_.Open(Path("target"), OpenMode::WriteTruncate);

    char first[10];
    ASSERT_EQ(source->Read(first, sizeof first), sizeof first);
    target->Write("head:", 5);  // still in the stream's buffer
    EXPECT_EQ(target->TransferFrom(*source, 200000, buffer_), 200000u);
    target->Write(":mid:", 5);
    char next[10];
    ASSERT_EQ(source->Read(next, sizeof next), sizeof next);  // reads on after the transferred bytes
    EXPECT_EQ(std::string(next, sizeof next), bytes.substr(200010, 10));
    EXPECT_EQ(target->TransferFrom(*source, 100, buffer_), 100u);
    EXPECT_EQ(target->Position(), 5u + 200000 + 5 + 100);
    target->Close();
    EXPECT_EQ(ReadWholeFile(Path("target")), "head:" + bytes.substr(10, 200000) + ":mid:" + bytes.substr(200020, 100));
}

TEST_F(Transfer, StopsAtTheEndOfTheSourceWithOnlyItsBytes) {
    WriteText(Path("source"), "0123456789");
    auto source = fs_.Open(Path("source"), OpenMode::Read);
    source->Seek(4);
    auto target = fs_.Open(Path("target"), OpenMode::WriteTruncate);
    EXPECT_EQ(target->TransferFrom(*source, 100, buffer_), 6u);
    EXPECT_EQ(target->TransferFrom(*source, 100, buffer_), 0u);
    target->Close();
    EXPECT_EQ(ReadWholeFile(Path("target")), "456789");
}

TEST_F(Transfer, OverwritesInPlaceInsideAnUpdatedFile) {
    WriteText(Path("source"), "NEWBYTES");
    WriteText(Path("target"), "old contents of the file");
    auto source = fs_.Open(Path("source"), OpenMode::Read);
    auto target = fs_.Open(Path("target"), OpenMode::ReadUpdate);
    target->Seek(4);
    EXPECT_EQ(target->TransferFrom(*source, 8, buffer_), 8u);
    target->SetLength(12);
    target->Close();
    EXPECT_EQ(ReadWholeFile(Path("target")), "old NEWBYTES");
}

TEST_F(Transfer, WorksBetweenFileSystems) {
    const std::filesystem::path memory = "/dev/shm";
    if (!std::filesystem::is_directory(memory)) GTEST_SKIP() << "no second file system to copy from";
    const std::filesystem::path from = memory / ("qaxedit-transfer-test-" + RandomHex(4));
    const std::string bytes = testing::PatternMember("X", 50000, 4).bytes;
    WriteText(from, bytes);
    {
        auto source = fs_.Open(from.string(), OpenMode::Read);
        auto target = fs_.Open(Path("target"), OpenMode::WriteTruncate);
        EXPECT_EQ(target->TransferFrom(*source, bytes.size(), buffer_), bytes.size());
        target->Close();
    }
    std::filesystem::remove(from);
    EXPECT_EQ(ReadWholeFile(Path("target")), bytes);
}

// Rename replaces its target; RenameNew and MakeDirectory never take a
// name that anything, a dangling link included, has.
TEST(FileSystemSteps, RenameReplacesTheTargetAndDirectorySyncAcceptsAFile) {
    TempDir dir;
    SystemFileSystem fs;
    WriteText(dir / "new", "new index");
    WriteText(dir / "old", "old index");
    fs.Rename((dir / "new").string(), (dir / "old").string());
    EXPECT_EQ(ReadWholeFile(dir / "old"), "new index");
    EXPECT_FALSE(std::filesystem::exists(dir / "new"));
    EXPECT_NO_THROW(fs.SyncDirectoryOf((dir / "old").string()));
    EXPECT_THROW(fs.SyncDirectoryOf((dir / "missing" / "x").string()), IoError);

    WriteText(dir / "manifest.new", "the undo");
    EXPECT_THROW(fs.RenameNew((dir / "manifest.new").string(), (dir / "old").string()), IoError);
    EXPECT_EQ(ReadWholeFile(dir / "old"), "new index");
    EXPECT_THROW(fs.MakeDirectory((dir / "old").string()), IoError);
    std::error_code noLinks;
    std::filesystem::create_symlink(dir / "nowhere", dir / "dangling", noLinks);
    if (!noLinks) {
        EXPECT_THROW(fs.RenameNew((dir / "manifest.new").string(), (dir / "dangling").string()), IoError);
        EXPECT_FALSE(std::filesystem::exists(dir / "nowhere"));
    }
    fs.RenameNew((dir / "manifest.new").string(), (dir / "manifest").string());
    EXPECT_EQ(ReadWholeFile(dir / "manifest"), "the undo");
    EXPECT_FALSE(std::filesystem::exists(dir / "manifest.new"));
    fs.MakeDirectory((dir / "undo").string());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "undo"));
}

TEST(FileSystemSteps, DataErrorsExplainThemselves) {
    const IoError error(IoStep::Read, "/d/txt.qax", MakeDataError(DataError::EndedEarly));
    EXPECT_NE(std::string(error.what()).find("ended before"), std::string::npos);
    EXPECT_NE(MakeDataError(DataError::WrongLength).message().find("length"), std::string::npos);
}

// A stop fails the first write after it, and nothing else: reads go on (a
// check or a recovery must see the files as they are), and once the commit
// path has been renamed into place no step fails at all.
TEST(FileSystemSteps, AStopFailsOneWriteAndNeverAReadNorAnythingAfterTheCommit) {
    TempDir dir;
    SystemFileSystem disk;
    WriteText(dir / "index", "old index");
    const std::string index = (dir / "index").string();
    for (const bool committed : {false, true}) {
        SCOPED_TRACE(committed ? "after the commit" : "before it");
        bool stop = false;
        StoppableFileSystem fs(
            disk, [&stop] { return stop; }, index);
        WriteText(dir / "index.new", "new index");
        if (committed) fs.Rename((dir / "index.new").string(), index);
        auto read = fs.Open(index, OpenMode::Read);
        auto written = fs.Open((dir / "out").string(), OpenMode::WriteTruncate);
        stop = true;
        char bytes[9];
        EXPECT_EQ(read->Read(bytes, sizeof bytes), sizeof bytes);
        if (committed) {
            EXPECT_NO_THROW(written->Write("x", 1));
        } else {
            try {
                written->Write("x", 1);
                ADD_FAILURE() << "the write after the stop went through";
            } catch (const IoError& error) {
                EXPECT_EQ(error.Reason(), MakeDataError(DataError::Stopped));
            }
            // Only the first: the operation's own undoing goes through.
            EXPECT_NO_THROW(written->Write("x", 1));
        }
        EXPECT_EQ(fs.Stopped(), !committed);
        EXPECT_EQ(fs.Committed(), committed);
        written->Close();
        std::filesystem::remove(dir / "out");
    }
}

}  // namespace
}  // namespace qax
