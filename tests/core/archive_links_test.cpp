// Writes land only where the user meant: the editor's own transient files are
// never written through a link someone planted with their name, data files
// the user may not write are refused before anything is touched, and the
// index keeps its protections, its owner and its links.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "data_set_lock.h"
#include "faulty_file_system.h"
#include "recording_sink.h"
#include "system_plants.h"

namespace qax {
namespace {

namespace fs = std::filesystem;
using testing::DataSetOnDisk;
using testing::Listed;
using testing::MemberSet;
using testing::PatternMember;
using testing::ReadWholeFile;
using testing::RecordingSink;
using testing::TableFor;
using testing::WriteText;

MemberSet TwoOfEach() {
    MemberSet set;
    set.txt = {{"ONE", "first text"}, {"TWO", "second text"}};
    set.shp = {PatternMember("TANK", 700, 1), PatternMember("JEEP", 300, 2)};
    return set;
}

class WritesLand : public ::testing::Test {
protected:
    WritesLand() { WriteText(Replacement(), "the new bytes"); }

    ArchiveOutcome Replace(int group, int line) {
        return (group == Txt ? ReplaceTextMember : ReplaceShpMember)(Context(), Listed(paths_, table_, group, line),
                                                                     Replacement());
    }
    ArchiveOutcome Extract(int line) {
        return ExtractShpMember(Context(), Listed(paths_, table_, Shp, line), disk_.EditorDir());
    }
    ArchiveContext Context() { return {fs_, paths_, table_, sink_}; }
    std::string Replacement() const { return (disk_.Dir() / "new.bin").string(); }
    fs::path Data(const std::string& name) const { return disk_.Dir() / "data" / name; }
    fs::path Editor(const std::string& name) const { return disk_.Dir() / "edit" / name; }
    // Somewhere outside the data set and the editor's directory.
    fs::path Outside(const std::string& name) const { return disk_.Dir() / name; }
    std::string Expected(int group, int line) const {
        const MemberSet after =
            testing::WithMemberReplaced(set_, group, static_cast<std::size_t>(line), "the new bytes");
        return testing::AsString(testing::IndexFor(after));
    }

    MemberSet set_ = TwoOfEach();
    DataSetOnDisk disk_{set_};
    const DataSetPaths& paths_ = disk_.Paths();
    SectionTable table_ = TableFor(set_);
    SystemFileSystem fs_;
    RecordingSink sink_;
};

// A link planted where the editor makes a file of its own: nothing is ever
// written through it, and the link's target outside is left byte for byte
// (or left absent). A link at a name the editor writes for good is replaced
// by a plain file of its own; one at a name it only borrows while it works,
// or at the temporary copy's name, is someone else's and is left where it
// is (the copy's name must be free for a replacement to start).
TEST_F(WritesLand, NothingIsWrittenThroughALinkPlantedWhereTheEditorWrites) {
    if (!testing::SystemMakesSymlinks()) GTEST_SKIP() << "this system makes no symbolic links";
    struct Planted {
        const char* name;
        std::function<fs::path()> link;  // where the link is, made fresh per case
        bool dangling;                   // pointing at nothing (the target must stay absent)
        std::function<ArchiveOutcome()> run;
        ArchiveOutcome outcome;
        bool linkStays;
        std::string says = {};  // in what the editor tells the user, where it refuses
    };
    const Planted cases[] = {
        {"partial extraction output", [&] { return Editor("JEEP.SHP.new"); }, false, [&] { return Extract(1); },
         ArchiveOutcome::Done, true},
        {"the extraction output itself", [&] { return Editor("JEEP.SHP"); }, false, [&] { return Extract(1); },
         ArchiveOutcome::Done, false},
        {"the index's new sibling", [&] { return Data("qaxdata.idx.new"); }, false, [&] { return Replace(Txt, 1); },
         ArchiveOutcome::Done, true},
        {"the temporary copy", [&] { return Editor("~temp.fpc"); }, true, [&] { return Replace(Shp, 0); },
         ArchiveOutcome::Refused, true},
        {"the crash record's sibling", [&] { return Data("~qaxedit.rec.new"); }, false, [&] { return Replace(Shp, 1); },
         ArchiveOutcome::Done, true},
        // Every editor locks the lock file: one that cannot be opened as a
        // plain file is named as such, and the user told it may go.
        {"the lock file",
         [&] {
             fs::remove(Data("~qaxedit.lck"));
             return Data("~qaxedit.lck");
         },
         true, [&] { return Replace(Txt, 1); }, ArchiveOutcome::Refused, true,
         "The lock file " + Data("~qaxedit.lck").string() + " cannot be used"},
    };
    for (const Planted& planted : cases) {
        SCOPED_TRACE(planted.name);
        disk_.Write(set_);
        const fs::path target = Outside(std::string("victim-") + planted.name);
        fs::remove(target);
        if (!planted.dangling) WriteText(target, "the victim's own bytes");
        const fs::path link = planted.link();
        testing::MakeSymlink(target, link);

        sink_.messages.clear();
        EXPECT_EQ(planted.run(), planted.outcome) << (sink_.messages.empty() ? "" : sink_.messages[0].text);
        if (!planted.says.empty()) {
            ASSERT_FALSE(sink_.messages.empty());
            EXPECT_NE(sink_.messages[0].text.find(planted.says), std::string::npos) << sink_.messages[0].text;
            EXPECT_NE(sink_.messages[0].text.find("remove it when no editor runs"), std::string::npos)
                << sink_.messages[0].text;
        }
        if (planted.dangling)
            EXPECT_FALSE(testing::NameExists(target));
        else
            EXPECT_EQ(ReadWholeFile(target), "the victim's own bytes");
        EXPECT_EQ(testing::IsSymlink(link), planted.linkStays);
        fs::remove(link);
        EXPECT_FALSE(testing::IsSymlink(Data("qaxdata.idx")));
        EXPECT_FALSE(disk_.LeftoversExist());
        for (const auto& entry : fs::directory_iterator(disk_.Dir() / "edit"))
            EXPECT_FALSE(testing::IsSymlink(entry.path())) << entry.path();
        fs::remove_all(disk_.Dir() / "edit");
        fs::create_directories(disk_.Dir() / "edit");
    }
}

// A link that appears at a new file's name between the check that the
// name is free and the create (a race a stranger may win) is not followed:
// the create fails, the operation stops, and nothing is written through it.
TEST_F(WritesLand, ALinkThatAppearsJustBeforeACreateIsNotFollowed) {
    if (!testing::SystemMakesSymlinks()) GTEST_SKIP() << "this system makes no symbolic links";
    const fs::path victim = Outside("victim");
    WriteText(victim, "the victim's own bytes");
    const std::string indexBefore = disk_.Index();
    const std::string txtBefore = disk_.Txt();
    testing::FaultyFileSystem racing(fs_);
    std::string planted;
    racing.onStep = [&](const std::string& step) {
        const std::string open = "open " + Data("qaxdata.idx.").string();
        if (!planted.empty() || step.rfind(open, 0) != 0 || step.size() < 4 || step.substr(step.size() - 4) != ".new")
            return;
        planted = step.substr(5);
        testing::MakeSymlink(victim, planted);
    };
    EXPECT_EQ(ReplaceTextMember({racing, paths_, table_, sink_}, Listed(paths_, table_, Txt, 1), Replacement()),
              ArchiveOutcome::Failed);
    ASSERT_FALSE(planted.empty()) << "the new index was never created";
    EXPECT_EQ(ReadWholeFile(victim), "the victim's own bytes");
    EXPECT_TRUE(testing::IsSymlink(planted));
    fs::remove(planted);
    EXPECT_EQ(disk_.Index(), indexBefore);
    EXPECT_EQ(disk_.Txt(), txtBefore);
    EXPECT_FALSE(disk_.LeftoversExist());
}

#ifndef _WIN32
// The new index takes the old one's permission bits, and its owner and
// group where the process may give them (as root here).
TEST_F(WritesLand, TheIndexKeepsItsModeAndOwner) {
    // The set-group-id bit too: the mode is carried whole, not just its
    // permission bits.
    ASSERT_EQ(::chmod(Data("qaxdata.idx").c_str(), 02640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(Data("qaxdata.idx").c_str(), 1234, 1234), 0);
    }
    ASSERT_EQ(Replace(Shp, 1), ArchiveOutcome::Done);
    struct stat after {};
    ASSERT_EQ(::stat(Data("qaxdata.idx").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 02640u);
    if (root) {
        EXPECT_EQ(after.st_uid, 1234u);
        EXPECT_EQ(after.st_gid, 1234u);
    }
    EXPECT_EQ(disk_.Index(), Expected(Shp, 1));
}
#else
// Windows has no permission bits: the new index takes the old one's
// attributes (here: hidden), as a user who hid it expects.
TEST_F(WritesLand, TheIndexKeepsItsAttributes) {
    const std::wstring index = Data("qaxdata.idx").wstring();
    ASSERT_TRUE(::SetFileAttributesW(index.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_EQ(Replace(Shp, 1), ArchiveOutcome::Done);
    EXPECT_NE(::GetFileAttributesW(index.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_EQ(disk_.Index(), Expected(Shp, 1));
}

// Windows locks no directory: the lock is a file beside the index, the one
// name the editor adds to the data directory. It is never written, so a
// file a stranger left with its name keeps its bytes, and it cannot be
// deleted while an editor holds it.
TEST_F(WritesLand, TheLockFileIsNeverWrittenAndStaysWhileHeld) {
    ASSERT_EQ(Replace(Txt, 0), ArchiveOutcome::Done);
    ASSERT_TRUE(fs::exists(Data("~qaxedit.lck")));
    EXPECT_EQ(fs::file_size(Data("~qaxedit.lck")), 0u);

    WriteText(Data("~qaxedit.lck"), "a stranger's bytes");
    ASSERT_EQ(Replace(Shp, 1), ArchiveOutcome::Done);
    EXPECT_EQ(ReadWholeFile(Data("~qaxedit.lck")), "a stranger's bytes");
    {
        const auto held = DirectoryLock::TryAcquire(Data("").string(), LockKind::Shared);
        ASSERT_NE(held, nullptr);
        EXPECT_FALSE(::DeleteFileW(Data("~qaxedit.lck").wstring().c_str()));
        EXPECT_EQ(DirectoryLock::TryAcquire(Data("").string(), LockKind::Exclusive), nullptr);
    }
    EXPECT_NE(DirectoryLock::TryAcquire(Data("").string(), LockKind::Exclusive), nullptr);
    EXPECT_TRUE(::DeleteFileW(Data("~qaxedit.lck").wstring().c_str()));
}
#endif

#ifndef _WIN32
// The Linux build takes the Windows build's lock too: the first byte of
// ~qaxedit.lck, which Wine gives to the system as a record lock (a write
// lock for an exclusive holder, a read lock for a shared one). Either
// build's holder keeps the other out as it keeps its own kind out.
TEST_F(WritesLand, TheLockFileKeepsTheWindowsBuildOutAndIsKeptOutByIt) {
    ASSERT_EQ(Replace(Txt, 0), ArchiveOutcome::Done);
    ASSERT_TRUE(fs::is_regular_file(Data("~qaxedit.lck")));
    EXPECT_EQ(fs::file_size(Data("~qaxedit.lck")), 0u);
    // A record lock as another process holds it: a child that locks the
    // byte, says so and waits to be told to go.
    const auto heldByAnotherProcess = [&](short type, const std::function<void()>& meanwhile) {
        int ready[2];
        int done[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(done), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const int fd = ::open(Data("~qaxedit.lck").c_str(), O_RDWR);
            struct flock range {};
            range.l_type = type;
            range.l_whence = SEEK_SET;
            range.l_len = 1;
            const char locked = fd >= 0 && ::fcntl(fd, F_SETLK, &range) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &locked, 1);
            char go = 0;
            (void)!::read(done[0], &go, 1);
            ::_exit(0);
        }
        char locked = 0;
        ASSERT_EQ(::read(ready[0], &locked, 1), 1);
        EXPECT_EQ(locked, 'y');
        meanwhile();
        (void)!::write(done[1], "x", 1);
        ::waitpid(child, nullptr, 0);
        for (const int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
    };
    heldByAnotherProcess(F_WRLCK, [&] {
        EXPECT_EQ(Replace(Shp, 1), ArchiveOutcome::Refused);
        EXPECT_EQ(DirectoryLock::TryAcquire(Data("").string(), LockKind::Shared), nullptr);
    });
    heldByAnotherProcess(F_RDLCK, [&] {
        EXPECT_NE(DirectoryLock::TryAcquire(Data("").string(), LockKind::Shared), nullptr);
        EXPECT_EQ(DirectoryLock::TryAcquire(Data("").string(), LockKind::Exclusive), nullptr);
    });
    const auto changing = DirectoryLock::TryAcquire(Data("").string(), LockKind::Exclusive);
    ASSERT_NE(changing, nullptr);
    const int fd = ::open(Data("~qaxedit.lck").c_str(), O_RDWR);
    struct flock range {};
    range.l_type = F_RDLCK;
    range.l_whence = SEEK_SET;
    range.l_len = 1;
    EXPECT_NE(::fcntl(fd, F_OFD_SETLK, &range), 0) << "a reader of the other build got in";
    ::close(fd);
}
#endif

#ifndef _WIN32
// What `work` returns, run in a child process as the user `uid` (and group
// `gid`): a lock a process holds, and what the system lets it open, are
// that process's own. Root (uid 0) stays root.
std::string InChildAs(uid_t uid, gid_t gid, const std::function<std::string()>& work) {
    int said[2];
    if (::pipe(said) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(said[0]);
        std::string text;
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
            text = "the child could not become user " + std::to_string(uid);
        } else {
            try {
                text = work();
            } catch (const std::exception& error) {
                text = std::string("threw: ") + error.what();
            }
        }
        for (std::size_t at = 0; at < text.size();) {
            const ssize_t wrote = ::write(said[1], text.data() + at, text.size() - at);
            if (wrote <= 0) break;
            at += static_cast<std::size_t>(wrote);
        }
        ::_exit(0);
    }
    ::close(said[1]);
    std::string text;
    char block[4096];
    for (ssize_t got; (got = ::read(said[0], block, sizeof block)) > 0;) text.append(block, static_cast<size_t>(got));
    ::close(said[0]);
    ::waitpid(child, nullptr, 0);
    return text;
}

// Marks a file unchangeable (immutable) or clears the mark; false where the
// file system or the process cannot.
bool SetUnchangeable(const fs::path& path, bool unchangeable) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = unchangeable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

// A lock file this user may read but not write (another user's file of
// mode 0644 in a shared data directory, or one marked unchangeable) cannot
// keep another editor out of a change: its lock would be a read lock, which
// the other build's "exclusive" lock on such a file is too. So every change
// is refused, recovery included, with a text that names the file, says why
// and what to do; readers go on. Once the file may be written, the change
// that was refused goes ahead.
TEST_F(WritesLand, ALockFileThisUserMayOnlyReadRefusesEveryChange) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give files to another user and to mark them";
    const struct passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
    const uid_t otherUser = nobody->pw_uid;
    const gid_t otherGroup = nobody->pw_gid;
    const fs::path lockFile = Data("~qaxedit.lck");
    // The mark would keep the test's directory from being removed.
    struct MarkCleared {
        const fs::path& file;
        ~MarkCleared() { SetUnchangeable(file, false); }
    } markCleared{lockFile};
    struct Unwritable {
        const char* name;
        bool asOtherUser;                 // the editor runs as nobody (else as root)
        std::function<bool()> protect;    // makes the lock file one the editor may only read
        std::function<void()> unprotect;  // lets the editor write it
        std::string why;                  // said in the refusal
    };
    const Unwritable cases[] = {
        {"another user's file of mode 0644", true,
         [&] {
             fs::remove(lockFile);
             WriteText(lockFile, "");
             fs::permissions(lockFile, fs::perms(0644));
             return ::chown(lockFile.c_str(), 0, 0) == 0;
         },
         [&] { ASSERT_EQ(::chown(lockFile.c_str(), otherUser, otherGroup), 0); }, "belongs to another user"},
        {"a file marked unchangeable", false,
         [&] {
             if (!fs::exists(lockFile)) WriteText(lockFile, "");
             return SetUnchangeable(lockFile, true);
         },
         [&] { ASSERT_TRUE(SetUnchangeable(lockFile, false)); }, "unchangeable"},
    };
    const auto changeRefused = [&](const std::string& said, const std::string& why) {
        EXPECT_NE(said.find("lock file " + lockFile.string()), std::string::npos) << said;
        EXPECT_NE(said.find("cannot be locked for writing"), std::string::npos) << said;
        EXPECT_NE(said.find(why), std::string::npos) << said;
        EXPECT_NE(said.find("when no editor runs"), std::string::npos) << said;
    };
    for (const Unwritable& unwritable : cases) {
        SCOPED_TRACE(unwritable.name);
        disk_.Write(set_);
        const uid_t user = unwritable.asOtherUser ? otherUser : 0;
        const gid_t group = unwritable.asOtherUser ? otherGroup : 0;
        fs::permissions(disk_.Dir(), fs::perms(0755));
        for (const auto& entry : fs::recursive_directory_iterator(disk_.Dir()))
            ASSERT_EQ(::lchown(entry.path().c_str(), user, group), 0);
        const std::string index = disk_.Index();
        const std::string txt = disk_.Txt();
        if (!unwritable.protect()) {
            // Not every file system keeps such a mark.
            SetUnchangeable(lockFile, false);
            std::cout << "[  SKIPPED ] " << unwritable.name << ": this system cannot make it here\n";
            continue;
        }
        // A change is refused; readers share the data set.
        std::string said = InChildAs(user, group, [&] {
            std::string text = Replace(Txt, 1) == ArchiveOutcome::Refused ? "refused\n" : "not refused\n";
            for (const auto& message : sink_.messages) text += message.text + "\n";
            if (!LockDataSet(Context(), DataSetUse::Read, "Read")) text += "reading refused\n";
            if (!DirectoryLock::TryAcquire(Data("").string(), LockKind::Shared)) text += "no shared lock\n";
            return text;
        });
        EXPECT_TRUE(said.starts_with("refused\n")) << said;
        changeRefused(said, unwritable.why);
        EXPECT_EQ(said.find("reading refused"), std::string::npos) << said;
        EXPECT_EQ(said.find("no shared lock"), std::string::npos) << said;
        EXPECT_EQ(disk_.Index(), index);
        EXPECT_EQ(disk_.Txt(), txt);
        EXPECT_FALSE(disk_.LeftoversExist());

        // A replacement that died is neither finished nor undone under such
        // a lock: another build may be working on it right now.
        unwritable.unprotect();
        said = InChildAs(user, group, [&] {
            // Dies right after it wrote the new txt.qax, before the index.
            testing::FaultyFileSystem spy(fs_);
            if (ReplaceTextMember({spy, paths_, table_, sink_}, Listed(paths_, table_, Txt, 0), Replacement()) !=
                ArchiveOutcome::Done)
                return std::string("the replacement to die in failed");
            const auto& log = spy.Log();
            const auto write = std::find(log.begin(), log.end(), "write " + paths_.TxtArchivePath);
            disk_.Write(set_);
            testing::FaultyFileSystem dying(fs_);
            dying.FailFromStep(static_cast<long>(write - log.begin()) + 1);
            ReplaceTextMember({dying, paths_, table_, sink_}, Listed(paths_, table_, Txt, 0), Replacement());
            return dying.FiredStep();
        });
        ASSERT_TRUE(fs::exists(disk_.RecordPath())) << said;
        ASSERT_NE(disk_.Txt(), txt) << said;
        ASSERT_TRUE(unwritable.protect());
        said = InChildAs(user, group, [&] {
            const RecoveryReport report = RecoverAtStartUp(fs_, paths_);
            std::string text = report.state == RecoveryState::Unresolved ? "unresolved\n" : "resolved\n";
            text += report.text + "\n";
            if (Replace(Txt, 1) != ArchiveOutcome::Refused) text += "a change went ahead\n";
            // Nor is anything read while it waits.
            if (LockDataSet(Context(), DataSetUse::Read, "Read")) text += "read while it waits\n";
            for (const auto& message : sink_.messages) text += message.text + "\n";
            return text;
        });
        EXPECT_TRUE(said.starts_with("unresolved\n")) << said;
        changeRefused(said, unwritable.why);
        EXPECT_EQ(said.find("a change went ahead"), std::string::npos) << said;
        EXPECT_EQ(said.find("read while it waits"), std::string::npos) << said;
        EXPECT_NE(said.find("cannot be recovered now; until it is, nothing is read"), std::string::npos) << said;
        EXPECT_TRUE(fs::exists(disk_.RecordPath()));
        EXPECT_EQ(disk_.Index(), index);

        // Once the editor may write the lock file, it recovers.
        unwritable.unprotect();
        said = InChildAs(user, group, [&] {
            return RecoverAtStartUp(fs_, paths_).state == RecoveryState::Undone ? std::string("undone") : "not undone";
        });
        EXPECT_EQ(said, "undone");
        EXPECT_EQ(disk_.Index(), index);
        EXPECT_EQ(disk_.Txt(), txt);
        EXPECT_FALSE(disk_.LeftoversExist());
    }
}
#endif

// An index shared by symbolic links stays shared: the link is followed to
// its target, which is rewritten there, and the lock and the record are
// where the files really are. A data file with a second name (a hard link)
// cannot be covered that way, and is refused before anything is touched.
TEST_F(WritesLand, ALinkedIndexStaysLinked) {
    if (testing::SystemMakesSymlinks()) {
        const fs::path shared = Outside("shared");
        fs::create_directories(shared);
        for (const char* name : {"qaxdata.idx", "shp.qax"}) {
            fs::rename(Data(name), shared / name);
            testing::MakeSymlink(shared / name, Data(name));
        }
        ASSERT_EQ(Replace(Shp, 0), ArchiveOutcome::Done);
        EXPECT_TRUE(testing::IsSymlink(Data("qaxdata.idx")));
        EXPECT_TRUE(testing::IsSymlink(Data("shp.qax")));
        EXPECT_EQ(ReadWholeFile(shared / "qaxdata.idx"), Expected(Shp, 0));
        EXPECT_EQ(ReadWholeFile(shared / "shp.qax").substr(0, 13), "the new bytes");
        EXPECT_FALSE(fs::exists(shared / "qaxdata.idx.new"));
        for (const char* name : {"qaxdata.idx", "shp.qax"}) fs::remove(Data(name));
    }
    for (const char* name : {"qaxdata.idx", "txt.qax"}) {
        disk_.Write(set_);
        const std::string index = disk_.Index();
        const std::string txt = disk_.Txt();
        fs::remove(Outside("other-name"));
        fs::create_hard_link(Data(name), Outside("other-name"));
        sink_.messages.clear();
        EXPECT_EQ(Replace(Txt, 1), ArchiveOutcome::Refused);
        ASSERT_EQ(sink_.messages.size(), 1u);
        EXPECT_NE(sink_.messages[0].text.find("more than one name"), std::string::npos) << sink_.messages[0].text;
        EXPECT_EQ(disk_.Index(), index);
        EXPECT_EQ(disk_.Txt(), txt);
        EXPECT_FALSE(disk_.LeftoversExist());
    }
}

// The lock and the record cover the archives only where the index really
// lies, so an archive must lie in the index's own directory. A directory
// the data set is reached through under another spelling is that directory
// all the same: on Windows, which looks names up without regard to case,
// "DATA" is "data". An archive that only a link puts there is refused
// before anything is touched.
TEST_F(WritesLand, AnArchiveMustReallyLieBesideTheIndex) {
    struct Layout {
        const char* name;
        std::function<DataSetPaths()> arrange;
        bool replaced;  // or refused, with everything as it was
    };
    std::vector<Layout> layouts;
#ifdef _WIN32
    const auto spelled = [this](const std::string& directory, bool index, bool shp) {
        DataSetPaths paths = paths_;
        const fs::path other = disk_.Dir() / directory;
        if (index) paths.IndexPath = (other / "qaxdata.idx").string();
        if (shp) paths.ShpArchivePath = (other / "shp.qax").string();
        return paths;
    };
    layouts.push_back(
        {"the archive through the data directory in upper case", [&] { return spelled("DATA", false, true); }, true});
    layouts.push_back(
        {"the index through the data directory in mixed case", [&] { return spelled("Data", true, false); }, true});
#endif
    if (testing::SystemMakesSymlinks())
        layouts.push_back({"the archive linked from another directory",
                           [&] {
                               fs::create_directories(Outside("elsewhere"));
                               fs::rename(Data("shp.qax"), Outside("elsewhere") / "shp.qax");
                               testing::MakeSymlink(Outside("elsewhere") / "shp.qax", Data("shp.qax"));
                               return paths_;
                           },
                           false});
    if (layouts.empty()) GTEST_SKIP() << "no other spelling of a directory, and no links, on this system";
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        fs::remove(Data("shp.qax"));
        disk_.Write(set_);
        sink_.messages.clear();
        const DataSetPaths paths = layout.arrange();
        const std::string index = disk_.Index();
        const std::string shp = ReadWholeFile(paths.ShpArchivePath);
        const ArchiveOutcome outcome =
            ReplaceShpMember({fs_, paths, table_, sink_}, Listed(paths, table_, Shp, 0), Replacement());
        if (layout.replaced) {
            EXPECT_EQ(outcome, ArchiveOutcome::Done);
            EXPECT_TRUE(sink_.messages.empty()) << sink_.messages.front().text;
            EXPECT_EQ(disk_.Index(), Expected(Shp, 0));
            EXPECT_EQ(disk_.Shp().substr(0, 13), "the new bytes");
        } else {
            EXPECT_EQ(outcome, ArchiveOutcome::Refused);
            ASSERT_EQ(sink_.messages.size(), 1u);
            EXPECT_NE(sink_.messages[0].text.find("really lies in"), std::string::npos) << sink_.messages[0].text;
            EXPECT_EQ(disk_.Index(), index);
            EXPECT_EQ(ReadWholeFile(paths.ShpArchivePath), shp);
        }
        EXPECT_FALSE(disk_.LeftoversExist());
    }
}

// A data file the user may not write, or an earlier extraction they may not
// overwrite, is refused before anything is touched, as an open for update
// would refuse it. Root may write anything: there the case runs as another
// user, when the tests may switch to one.
constexpr const char* kProductVariable = "QAX_PROTECTED_PRODUCT";
constexpr const char* kCheckedMark = "checked-as-another-user";

void ExpectProtectedFilesRefused(const fs::path& productDir) {
    const DataSetPaths paths = DeriveDataSetPaths((productDir / "edit" / "qaxedit").string());
    SystemFileSystem files;
    const SectionTable table = TableFor(TwoOfEach());
    struct Protected {
        std::vector<std::string> protect;  // made read-only for the case
        std::function<ArchiveOutcome(const ArchiveContext&)> run;
        ArchiveOutcome outcome;
        std::string message;  // the whole text, or the words a longer one holds
        std::string caption;
    };
    const std::string replacement = (productDir / "new.bin").string();
    const auto replaceTxt = [&](const std::string& file) {
        return [&, file](const ArchiveContext& c) { return ReplaceTextMember(c, Listed(paths, table, Txt, 0), file); };
    };
    const std::string dataDir = (productDir / "data").string();
    std::vector<Protected> cases = {
        {{paths.IndexPath},
         [&](const ArchiveContext& c) { return ReplaceShpMember(c, Listed(paths, table, Shp, 1), replacement); },
         ArchiveOutcome::Failed,
         "Could not open " + paths.IndexPath + "\n",
         "File Error"},
        {{paths.TxtArchivePath},
         replaceTxt(replacement),
         ArchiveOutcome::Failed,
         "Could not open " + paths.TxtArchivePath + "\n",
         "File Error"},
        {{(productDir / "edit" / "JEEP.SHP").string()},
         [&](const ArchiveContext& c) {
             return ExtractShpMember(c, Listed(paths, table, Shp, 1), (productDir / "edit").string());
         },
         ArchiveOutcome::Failed,
         "Could not open " + (productDir / "edit" / "JEEP.SHP").string() + "\n",
         "File Error"},
        // The files are opened in the order index, replacement file,
        // archive, and the first that fails is the one reported.
        {{paths.TxtArchivePath}, replaceTxt(""), ArchiveOutcome::Failed, "Could not open \n", "File Error"},
        {{paths.TxtArchivePath, paths.IndexPath},
         replaceTxt(replacement),
         ArchiveOutcome::Failed,
         "Could not open " + paths.IndexPath + "\n",
         "File Error"},
        {{paths.IndexPath},
         replaceTxt(""),
         ArchiveOutcome::Failed,
         "Could not open " + paths.IndexPath + "\n",
         "File Error"},
    };
#ifndef _WIN32
    // Writable files in a directory that is not: the record and the new
    // index could not be written there. (A directory's read-only attribute
    // on Windows protects nothing in it.)
    cases.push_back({{dataDir},
                     replaceTxt(replacement),
                     ArchiveOutcome::Refused,
                     "The data directory " + dataDir + " cannot be written",
                     "Replace Selection"});
#endif
    for (const Protected& file : cases) {
        SCOPED_TRACE(file.protect.front() + " " + file.message);
        std::vector<std::string> before;
        for (const auto& entry : fs::recursive_directory_iterator(productDir))
            if (entry.is_regular_file()) before.push_back(entry.path().string() + ReadWholeFile(entry.path()));
        std::vector<fs::perms> writable;
        for (const std::string& path : file.protect) {
            writable.push_back(fs::status(path).permissions());
            fs::permissions(path, fs::is_directory(path) ? fs::perms(0555) : fs::perms(0444));
        }
        RecordingSink sink;
        EXPECT_EQ(file.run({files, paths, table, sink}), file.outcome);
        ASSERT_EQ(sink.messages.size(), 1u);
        if (file.message.back() == '\n')
            EXPECT_EQ(sink.messages[0].text, file.message);
        else
            EXPECT_NE(sink.messages[0].text.find(file.message), std::string::npos) << sink.messages[0].text;
        EXPECT_EQ(sink.messages[0].caption, file.caption);
        std::vector<std::string> after;
        for (const auto& entry : fs::recursive_directory_iterator(productDir))
            if (entry.is_regular_file()) after.push_back(entry.path().string() + ReadWholeFile(entry.path()));
        EXPECT_EQ(after, before);
        for (std::size_t i = 0; i < file.protect.size(); ++i) fs::permissions(file.protect[i], writable[i]);
    }
}

#ifndef _WIN32
// An undo is written only into a directory of the user's own that nobody
// else may write, so that nobody can change it before it is applied: one
// that others may write, or another user's left in a shared directory, is
// refused before anything is touched, and nothing is written into it. One
// the mod makes is its owner's alone whatever the file mask, and so are
// its files. (Windows judges no owner or permission bits, as for the
// crash record.)
TEST_F(WritesLand, AnUndoIsWrittenOnlyWhereNobodyElseMayWrite) {
    const auto mod = [&](const fs::path& undo) {
        const std::vector<GroupReplacements> batches = {{Txt, {{Listed(paths_, table_, Txt, 1), Replacement()}}},
                                                        {Shp, {{Listed(paths_, table_, Shp, 0), Replacement()}}}};
        return ReplaceMembers(
            Context(), batches,
            {.mode = RunMode::Apply, .guards = {}, .guardFailures = nullptr, .undoDirectory = undo.string()});
    };
    const std::string index = disk_.Index();
    const fs::path shared = Outside("shared");
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms(01777));
    struct Refused {
        const char* name;
        fs::path directory;
        bool needsRoot;  // to give the directory to another user
        std::function<void()> make;
        std::string says;
    };
    const Refused cases[] = {
        {"an empty directory others may write", Outside("open"), false,
         [&] {
             fs::create_directory(Outside("open"));
             fs::permissions(Outside("open"), fs::perms(0777));
         },
         "Users other than its owner may write the undo directory " + Outside("open").string()},
        {"another user's empty directory in a shared one", shared / "undo", true,
         [&] {
             fs::create_directory(shared / "undo");
             fs::permissions(shared / "undo", fs::perms(0777));
             ASSERT_EQ(::chown((shared / "undo").c_str(), 65534, 65534), 0);
         },
         "The undo directory " + (shared / "undo").string() + " belongs to another user"},
        {"a directory of the user's holding another user's file named as an undo's", Outside("mine"), true,
         [&] {
             fs::create_directory(Outside("mine"));
             fs::permissions(Outside("mine"), fs::perms(0755));
             WriteText(Outside("mine") / "1-txt-TWO.txt", "second text");
             ASSERT_EQ(::chown((Outside("mine") / "1-txt-TWO.txt").c_str(), 65534, 65534), 0);
         },
         "1-txt-TWO.txt: it belongs to another user"},
    };
    for (const Refused& refused : cases) {
        SCOPED_TRACE(refused.name);
        if (refused.needsRoot && ::geteuid() != 0) continue;
        refused.make();
        const std::vector<fs::path> before(fs::directory_iterator(refused.directory), fs::directory_iterator());
        sink_.messages.clear();
        EXPECT_EQ(mod(refused.directory), ArchiveOutcome::Refused);
        ASSERT_FALSE(sink_.messages.empty());
        EXPECT_NE(sink_.messages.back().text.find(refused.says), std::string::npos) << sink_.messages.back().text;
        EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(refused.directory), fs::directory_iterator()), before);
        EXPECT_EQ(disk_.Index(), index);
    }
    const mode_t mask = ::umask(0);
    const ArchiveOutcome made = mod(Outside("made"));
    ::umask(mask);
    ASSERT_EQ(made, ArchiveOutcome::Done);
    std::vector<fs::path> undo = {Outside("made")};
    for (const auto& entry : fs::directory_iterator(Outside("made"))) undo.push_back(entry.path());
    EXPECT_EQ(undo.size(), 4u);
    for (const fs::path& path : undo)
        EXPECT_EQ(fs::status(path).permissions() & (fs::perms::group_write | fs::perms::others_write), fs::perms::none)
            << path;
}
#endif

TEST_F(WritesLand, FilesTheUserMayNotWriteAreRefused) {
    WriteText(Editor("JEEP.SHP"), "an earlier extraction");
#ifdef _WIN32
    // The read-only attribute binds every user alike.
    ExpectProtectedFilesRefused(disk_.Dir());
}
#else
    if (::geteuid() != 0) {
        ExpectProtectedFilesRefused(disk_.Dir());
        return;
    }
    if (!fs::exists("/usr/sbin/runuser") && !fs::exists("/sbin/runuser"))
        GTEST_SKIP() << "running as root without runuser: no other user to run the case as";
    // The same case as the unprivileged user "nobody", in a product that
    // user owns; this very test program runs the case below.
    fs::permissions(disk_.Dir(), fs::perms(0755));
    for (const auto& entry : fs::recursive_directory_iterator(disk_.Dir())) {
        ASSERT_EQ(::chown(entry.path().c_str(), 65534, 65534), 0);
    }
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    if (std::system(("runuser -u nobody -- test -x '" + self + "'").c_str()) != 0)
        GTEST_SKIP() << "the user nobody cannot run " << self << " from where it lies";
    const std::string command = "runuser -u nobody -- env " + std::string(kProductVariable) + "=" +
                                disk_.Dir().string() + " '" + self +
                                "' --gtest_filter=WritesLandForAnotherUser.* --gtest_brief=1 >&2";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Left by the case itself once it passed: a run that matched no test,
    // or skipped, would also end with 0.
    EXPECT_TRUE(fs::exists(disk_.Dir() / "edit" / kCheckedMark));
}

TEST(WritesLandForAnotherUser, FilesTheUserMayNotWriteAreRefused) {
    const char* product = std::getenv(kProductVariable);
    if (product == nullptr) GTEST_SKIP() << "run by WritesLand.FilesTheUserMayNotWriteAreRefused as another user";
    ASSERT_NE(::geteuid(), 0u);
    ExpectProtectedFilesRefused(product);
    if (!HasFailure()) WriteText(fs::path(product) / "edit" / kCheckedMark, "");
}
#endif

}  // namespace
}  // namespace qax
