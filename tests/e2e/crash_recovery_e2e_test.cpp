// A replacement that does not run to its end: the real editor killed at
// several moments of a Txt and a Shp replacement and started again on the
// same files, and a second editor of the same product at work while the first
// one rebuilds. The data set must come out as it was before the replacement
// or as it is after it, with nothing left over, and the pane must say which.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <map>

#include "archive_ops.h"
#include "data_set.h"
#include "e2e_fixture.h"
#include "file_access.h"
#include "index_file.h"
#include "rebuild_transaction.h"

namespace qax::e2e {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;

constexpr auto kOperationTimeout = std::chrono::seconds(60);
constexpr auto kStopTimeout = std::chrono::seconds(10);

// A file event the editor makes; inotify's IN_CREATE, IN_MOVED_TO (a file
// renamed into place) or IN_MODIFY (a write). A name ending in '*' stands
// for every name that begins with the rest (the editor's unfinished files
// carry a random part).
struct FileEvent {
    fs::path file;
    std::uint32_t mask;
};

// Hitting a moment of a replacement by polling depends on the machine's
// speed. inotify reports each event while the editor makes it, and SIGSTOP
// follows at once: the editor is held within a write or two of the event,
// and nothing changes on disk while it is held.
class FileEventTrap {
public:
    explicit FileEventTrap(const std::vector<fs::path>& directories) : inotify_(::inotify_init1(IN_CLOEXEC)) {
        if (inotify_ < 0) throw E2eFailure("inotify_init1 failed");
        for (const fs::path& directory : directories) {
            const int watch = ::inotify_add_watch(inotify_, directory.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY);
            if (watch < 0) {
                ::close(inotify_);
                throw E2eFailure("cannot watch " + directory.string());
            }
            watched_[watch] = directory;
        }
    }
    ~FileEventTrap() { ::close(inotify_); }
    FileEventTrap(const FileEventTrap&) = delete;
    FileEventTrap& operator=(const FileEventTrap&) = delete;

    // Waits for `events` in that order, stops the editor at the last one and
    // waits until it is stopped.
    void StopAt(QProcess& editor, const std::vector<FileEvent>& events) {
        const auto deadline = std::chrono::steady_clock::now() + kOperationTimeout;
        std::size_t seen = 0;
        alignas(inotify_event) char buffer[64 * 1024];
        while (seen < events.size()) {
            if (HasEnded(editor)) throw E2eFailure("the editor ended before " + events[seen].file.string());
            if (std::chrono::steady_clock::now() > deadline)
                throw E2eFailure("timed out waiting for an event on " + events[seen].file.string());
            pollfd ready{inotify_, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            const ssize_t got = ::read(inotify_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < got && seen < events.size();) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->len > 0 && (event->mask & events[seen].mask) != 0 &&
                    Matches(watched_[event->wd] / event->name, events[seen].file))
                    ++seen;
            }
        }
        Signal(editor, SIGSTOP);
        // A process inside a system call stops when the call returns.
        WaitUntil([&] { return ProcessState(editor.processId()) == 'T'; }, kStopTimeout, "the editor to stop");
    }

private:
    static bool Matches(const fs::path& happened, const fs::path& wanted) {
        const std::string name = wanted.filename().string();
        if (name.empty() || name.back() != '*') return happened == wanted;
        return happened.parent_path() == wanted.parent_path() &&
               happened.filename().string().rfind(name.substr(0, name.size() - 1), 0) == 0;
    }

    static char ProcessState(qint64 pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        const std::string line{std::istreambuf_iterator<char>(stat), std::istreambuf_iterator<char>()};
        const auto nameEnd = line.rfind(')');
        return nameEnd == std::string::npos || nameEnd + 2 >= line.size() ? '?' : line[nameEnd + 2];
    }

    const int inotify_;
    std::map<int, fs::path> watched_;
};

Bytes ReplacementOfLength(std::size_t length) {
    return TextOfLength("Fall back to the river line; the ferry is gone.\r\n", length);
}

// Where the editor was held when it was killed.
enum class Moment {
    CopyWritten,         // the record is down and ~temp.fpc is being made under its unfinished name
    ArchiveRewritten,    // the crash record is down and the archive has had its first write
    IndexBeingReplaced,  // the new index has just been created under its unfinished name
    IndexReplaced        // qaxdata.idx has just been renamed into place
};

struct KillCase {
    const char* name;
    int type;
    Moment moment;
};

class CrashRecovery : public EndToEndTest {
protected:
    // Two megabytes a member, so that copying and rewriting the archive (each
    // flushed to disk) last far longer than it takes to stop the editor.
    void MakeLargeProduct(int type) {
        sample::SampleOptions options;
        options.txtCount = 8;
        options.shpCount = 8;
        (type == Txt ? options.txtMeanSize : options.shpMeanSize) = 2000000;
        MakeProduct(options);
    }

    static std::string ArchiveName(int type) { return type == Txt ? "txt.qax" : "shp.qax"; }
    fs::path Record() const { return DataFile("~qaxedit.rec"); }

    // Member `line` replaced by `replacement`, as the generator's member
    // list says the archive and the index must then be.
    ArchiveAndIndex Replaced(int type, std::size_t line, const Bytes& replacement) const {
        return ExpectedReplacement(Original("qaxdata.idx"), Original(ArchiveName(type)), Group(type),
                                   type == Txt ? 0 : Group(Txt).size(), line, replacement);
    }

    // Chooses the member and the file in the window, then clicks Replace
    // Selection while the editor is held, so that it starts the replacement
    // only once the trap is listening.
    void StartReplacement(int type, std::size_t line, const Bytes& replacement) {
        if (type == Shp) Window().ChooseType(Shp);
        Window().ClickListLine(static_cast<int>(line));
        Window().ChooseReplacementFile(WriteUserFile(type == Txt ? "orders.txt" : "tank.shp", replacement));
        SuspendEditor();
        Window().ClickControl("ReplaceBtn");
        ResumeEditor();
    }

    // The data directory holds the five data files, the archive and the
    // index as `expected`, the others as the generator wrote them.
    void ExpectDataSet(int type, const ArchiveAndIndex& expected) const {
        EXPECT_EQ(DataDirectoryNames(),
                  std::vector<std::string>({"ext.idx", "pal.qax", "qaxdata.idx", "shp.qax", "txt.qax"}));
        EXPECT_TRUE(ReadBytes(DataFile(ArchiveName(type))) == expected.archive) << ArchiveName(type);
        EXPECT_TRUE(ReadBytes(DataFile("qaxdata.idx")) == expected.index) << "qaxdata.idx";
        ExpectUnchanged({ArchiveName(type == Txt ? Shp : Txt), "ext.idx", "pal.qax"});
    }
};

void PrintTo(const KillCase& kill, std::ostream* out) {
    *out << kill.name;
}

class KilledDuringReplacement : public CrashRecovery, public ::testing::WithParamInterface<KillCase> {};

TEST_P(KilledDuringReplacement, RestartLeavesTheOldOrTheNewDataSetAndSaysWhich) {
    const KillCase& kill = GetParam();
    MakeLargeProduct(kill.type);
    StartEditor();

    // The first member, grown: every byte of the archive moves, so a half
    // rewritten archive is neither the old one nor the new one.
    const std::size_t line = 0;
    const Bytes replacement = ReplacementOfLength(Group(kill.type)[line].size + 4321);
    const ArchiveAndIndex before{Original(ArchiveName(kill.type)), Original("qaxdata.idx")};
    const ArchiveAndIndex after = Replaced(kill.type, line, replacement);
    const fs::path archive = DataFile(ArchiveName(kill.type));

    FileEventTrap trap({EditorDir(), ProductDir() / "data"});
    StartReplacement(kill.type, line, replacement);
    switch (kill.moment) {
        case Moment::CopyWritten:
            trap.StopAt(Editor(), {{Record(), IN_MOVED_TO}, {TempCopy().string() + ".*", IN_CREATE}});
            break;
        case Moment::ArchiveRewritten:
            trap.StopAt(Editor(), {{Record(), IN_MOVED_TO}, {archive, IN_MODIFY}});
            break;
        case Moment::IndexBeingReplaced:
            trap.StopAt(Editor(), {{DataFile("qaxdata.idx.*"), IN_CREATE}});
            break;
        case Moment::IndexReplaced:
            trap.StopAt(Editor(), {{DataFile("qaxdata.idx"), IN_MOVED_TO}});
            break;
    }

    // What the held editor leaves, and so what the next start must make of it.
    const bool record = fs::exists(Record());
    const bool copy = fs::exists(TempCopy());
    const Bytes index = ReadBytes(DataFile("qaxdata.idx"));
    const Bytes archiveAtKill = ReadBytes(archive);
    const bool indexIsNew = index == after.index;
    ASSERT_TRUE(indexIsNew || index == before.index) << "the index is neither the old nor the new one";
    switch (kill.moment) {
        case Moment::CopyWritten:
            ASSERT_TRUE(!copy && record && !indexIsNew && archiveAtKill == before.archive)
                << "held past the copy: record " << record << ", copy " << copy;
            break;
        case Moment::ArchiveRewritten:
            ASSERT_TRUE(record && !indexIsNew && archiveAtKill != before.archive)
                << "held outside the rewrite: record " << record << ", new index " << indexIsNew;
            break;
        case Moment::IndexBeingReplaced:
            // The new index is written only once the new archive is complete.
            ASSERT_TRUE(archiveAtKill == after.archive) << "the index is written before the archive is complete";
            break;
        case Moment::IndexReplaced:
            ASSERT_TRUE(indexIsNew && archiveAtKill == after.archive);
            break;
    }
    std::string recovery;
    if (kill.moment == Moment::CopyWritten) {
        recovery = "The interrupted replacement in " + archive.string() +
                   " was undone: it had not touched the archives yet, and the data set is as it was before it.";
    } else if (record && !indexIsNew) {
        recovery =
            "The interrupted replacement in " + archive.string() + " was undone: the data set is as it was before it.";
    } else if (record) {
        recovery = "The replacement in " + archive.string() +
                   " had been completed when the editor stopped; it stands, and its leftovers were removed.";
    }

    KillEditor();
    RestartEditor();
    EXPECT_EQ(Window().ReadPane(), BannerText() + (recovery.empty() ? "" : "\n\n" + recovery))
        << "record " << record << ", copy " << copy << ", new index " << indexIsNew;
    ExpectDataSet(kill.type, indexIsNew ? after : before);
    EXPECT_TRUE(FilesBesideEditor().empty());
}

// Around the index rename, one moment for each type: the outcome of the
// other is the same on the same code path, and each case costs seconds.
INSTANTIATE_TEST_SUITE_P(TxtAndShp, KilledDuringReplacement,
                         ::testing::Values(KillCase{"TxtWhileTheCopyIsWritten", Txt, Moment::CopyWritten},
                                           KillCase{"TxtWhileTheArchiveIsRewritten", Txt, Moment::ArchiveRewritten},
                                           KillCase{"TxtJustAfterTheIndexChanged", Txt, Moment::IndexReplaced},
                                           KillCase{"ShpWhileTheCopyIsWritten", Shp, Moment::CopyWritten},
                                           KillCase{"ShpWhileTheArchiveIsRewritten", Shp, Moment::ArchiveRewritten},
                                           KillCase{"ShpWhileTheNewIndexIsWritten", Shp, Moment::IndexBeingReplaced}),
                         [](const ::testing::TestParamInfo<KillCase>& info) { return std::string(info.param.name); });

// A polite stop (SIGTERM) while shp.qax is rewritten: the editor puts the
// archive back itself, says so and ends, leaving nothing for the next start.
TEST_F(CrashRecovery, ASignalMidReplacementIsUndoneBeforeTheEditorEnds) {
    MakeLargeProduct(Shp);
    StartEditor();
    FileEventTrap trap({ProductDir() / "data"});
    StartReplacement(Shp, 3, ReplacementOfLength(777777));
    trap.StopAt(Editor(), {{Record(), IN_MOVED_TO}, {DataFile("shp.qax"), IN_MODIFY}});
    ASSERT_FALSE(ReadBytes(DataFile("shp.qax")) == Original("shp.qax")) << "held before the rewrite began";
    Signal(Editor(), SIGTERM);
    ResumeEditor();
    EXPECT_EQ(WaitForEditorToEnd(), "exit code " + std::to_string(128 + SIGTERM));
    ExpectDataSet(Shp, {Original("shp.qax"), Original("qaxdata.idx")});
    EXPECT_TRUE(FilesBesideEditor().empty());
}

using TwoEditors = CrashRecovery;

TEST_F(TwoEditors, OneRebuildsTheOtherIsRefusedAndRecoversNothingOfIt) {
    MakeLargeProduct(Shp);
    StartEditor();
    const std::size_t line = 4;
    const Bytes replacement = ReplacementOfLength(1234567);
    const ArchiveAndIndex expected = Replaced(Shp, line, replacement);

    // Editor A is held half way through rewriting shp.qax, with the data
    // set locked and its record and copy down, exactly what a crash at that
    // moment would leave.
    FileEventTrap trap({ProductDir() / "data"});
    StartReplacement(Shp, line, replacement);
    trap.StopAt(Editor(), {{Record(), IN_MOVED_TO}, {DataFile("shp.qax"), IN_MODIFY}});
    const Bytes recordOfA = ReadBytes(Record());
    const Bytes halfRewritten = ReadBytes(DataFile("shp.qax"));
    ASSERT_TRUE(fs::exists(TempCopy()));

    // Editor B, from another directory of the product, must take none of
    // that for a crash to recover from.
    RunningEditor b = StartAnotherEditor("QaxEdit2");
    EXPECT_EQ(b.window->ReadPane(), BannerText());
    EXPECT_TRUE(fs::exists(TempCopy()));
    EXPECT_TRUE(fs::exists(Record()) && ReadBytes(Record()) == recordOfA);
    EXPECT_TRUE(ReadBytes(DataFile("shp.qax")) == halfRewritten);

    // Showing a text is refused while A holds the data set, and so is B's
    // Txt replacement; neither changes anything. The message names A.
    const std::string busy = "Another editor is working on this data set right now (qaxedit (process " +
                             std::to_string(Editor().processId()) +
                             ")). Try again when it has finished.\nNothing was changed.";
    b.window->ClickListLine(2);
    std::string message = b.window->ReadMessageAndClose(kDataSetBusyCaption);
    EXPECT_EQ(message, busy);
    EXPECT_EQ(b.window->ReadPane(), BannerText());  // the pane keeps what it showed
    b.window->ChooseReplacementFile(WriteUserFile("orders.txt", ReplacementOfLength(900)));
    b.window->ClickControl("ReplaceBtn");
    message = b.window->ReadMessageAndClose(kDataSetBusyCaption);
    EXPECT_EQ(message, busy);
    EXPECT_TRUE(ReadBytes(DataFile("txt.qax")) == Original("txt.qax"));
    EXPECT_TRUE(ReadBytes(DataFile("shp.qax")) == halfRewritten);

    // A, let go, finishes its replacement: the data set holds its change
    // alone, and neither editor left a file behind.
    ResumeEditor();
    WaitUntil([&] { return !fs::exists(Record()) && !fs::exists(TempCopy()); }, kOperationTimeout,
              "editor A to finish its replacement");
    ExpectDataSet(Shp, expected);
    EXPECT_TRUE(FilesBesideEditor().empty());
    EXPECT_TRUE(fs::exists(ProductDir() / "QaxEdit2" / "qaxedit") &&
                std::distance(fs::directory_iterator(ProductDir() / "QaxEdit2"), fs::directory_iterator()) == 1);
}

}  // namespace
}  // namespace qax::e2e
