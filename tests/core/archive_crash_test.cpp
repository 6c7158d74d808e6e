// What the next editor finds after a replacement that did not live to its
// end, and what it makes of it; and the data set shared by two editors, or
// rewritten behind the editor's back.
//
// The crash walk lets the process "die" at every file step of each
// replacement: that step and every later one fail, so none of the
// operation's own clean-up or restore reaches the files. Recovery then runs
// on the real files, as the next start would, and the data set must be
// exactly the old one or exactly the new one, with nothing left behind and
// the report saying which.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "faulty_file_system.h"
#include "mod_undo.h"
#include "power_cut_file_system.h"
#include "rebuild_transaction.h"
#include "recording_sink.h"
#include "system_plants.h"
#include "text_view.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace qax {
namespace {

using testing::AsString;
using testing::DataSetOnDisk;
using testing::FaultyFileSystem;
using testing::Listed;
using testing::MemberSet;
using testing::PatternMember;
using testing::PowerCutFileSystem;
using testing::RecordingSink;
using testing::SameBytes;
using testing::TableFor;
using testing::WriteText;

struct DataSetBytes {
    std::string index;
    std::string txt;
    std::string shp;
    bool operator==(const DataSetBytes&) const = default;
};

MemberSet SmallDataSet() {
    MemberSet set;
    set.txt = {{"ONE", "first"}, PatternMember("TWO", 3000, 1), {"THREE", "third"}, {"FOUR", "fourth"}};
    set.shp = {PatternMember("TANK", 100000, 2), PatternMember("JEEP", 5000, 3), PatternMember("HELI", 70000, 4)};
    return set;
}

class CrashRecovery : public ::testing::Test {
protected:
    DataSetBytes Current() const { return {disk_.Index(), disk_.Txt(), disk_.Shp()}; }
    std::string ReplacementPath() const { return (disk_.Dir() / "new.bin").string(); }
    ArchiveContext Context(FileSystem& fs, ReportSink& sink) const { return {fs, disk_.Paths(), table_, sink}; }

    ArchiveOutcome Replace(FileSystem& fs, ReportSink& sink, int group, int line) {
        const ListedLine selected = Listed(disk_.Paths(), table_, group, line);
        return group == Txt ? ReplaceTextMember(Context(fs, sink), selected, ReplacementPath())
                            : ReplaceShpMember(Context(fs, sink), selected, ReplacementPath());
    }

    // `line` from new.bin, and each of `others` from a file of its own, in
    // one rebuild.
    // (of `othersGroup`: a mod of Txt and Shp members together when that
    // is the other group).
    ArchiveOutcome ReplaceMany(FileSystem& fs, ReportSink& sink, int group, int line, const std::vector<int>& others,
                               int othersGroup, const ModOptions& options = {}) {
        std::vector<GroupReplacements> batches = {
            {group, {{Listed(disk_.Paths(), table_, group, line), ReplacementPath()}}}};
        if (othersGroup != group) batches.push_back({othersGroup, {}});
        for (const int other : others)
            batches.back().replacements.push_back(
                {Listed(disk_.Paths(), table_, othersGroup, other), OtherReplacementPath(other)});
        return othersGroup == group ? ReplaceMembers(Context(fs, sink), group, batches.front().replacements)
                                    : ReplaceMembers(Context(fs, sink), batches, options);
    }
    std::filesystem::path UndoDir() const { return disk_.Dir() / "undo"; }
    std::string OtherReplacementPath(int line) const {
        return (disk_.Dir() / ("new-" + std::to_string(line) + ".bin")).string();
    }

    DataSetBytes After(int group, std::size_t member, const std::string& bytes) const {
        const MemberSet after = testing::WithMemberReplaced(set_, group, member, bytes);
        return {AsString(testing::IndexFor(after)), testing::ArchiveFor(after.txt), testing::ArchiveFor(after.shp)};
    }

    void Reset(const std::string& replacement) {
        std::filesystem::remove_all(disk_.Dir() / "edit");
        std::filesystem::create_directories(disk_.Dir() / "edit");
        std::filesystem::remove_all(UndoDir());
        std::filesystem::create_directories(UndoDir());
        // Whatever the file mask: an undo goes only where nobody else may write.
        std::filesystem::permissions(UndoDir(), std::filesystem::perms(0755));
        for (const auto& entry : std::filesystem::directory_iterator(disk_.Dir() / "data"))
            std::filesystem::remove(entry.path());
        disk_.Write(set_);
        WriteText(ReplacementPath(), replacement);
    }

    // Recovery as the next start runs it, on the real files, and a power
    // cut after it; then the data set must be the old or the new one, with
    // nothing left (nothing recovery removed comes back), and the report
    // must say which. `finished`: the operation ran to its end, so a power
    // cut after it must not bring back anything it removed, and there is
    // nothing to recover.
    // `moved`: the product folder is renamed before the next start and back
    // after it, so that recovery meets the data set under another path.
    RecoveryReport ExpectRecoveredToOldOrNew(const DataSetBytes& old, const DataSetBytes& replaced,
                                             bool finished = false, bool moved = false) {
        const std::filesystem::path product =
            moved ? std::filesystem::path(disk_.Dir().string() + "-moved") : disk_.Dir();
        if (moved) std::filesystem::rename(disk_.Dir(), product);
        RecoveryReport report;
        {
            PowerCutFileSystem disk(real_, {product / "data", product / "edit"});
            report = RecoverAtStartUp(disk,
                                      moved ? DeriveDataSetPaths(Utf8Of(product / "edit" / "qaxedit")) : disk_.Paths());
            disk.Cut();
        }
        if (moved) std::filesystem::rename(product, disk_.Dir());
        if (finished) {
            EXPECT_EQ(report.state, RecoveryState::Clean) << report.text;
        }
        const DataSetBytes now = Current();
        EXPECT_TRUE(now == old || now == replaced) << report.text;
        EXPECT_FALSE(disk_.LeftoversExist()) << report.text;
        EXPECT_TRUE(std::filesystem::is_empty(disk_.Dir() / "edit"));
        switch (report.state) {
            case RecoveryState::Undone:
                EXPECT_TRUE(now == old);
                EXPECT_NE(report.text.find("was undone"), std::string::npos);
                break;
            case RecoveryState::Completed:
                EXPECT_TRUE(now == replaced);
                EXPECT_NE(report.text.find("had been completed"), std::string::npos);
                break;
            case RecoveryState::Unresolved:
                ADD_FAILURE() << report.text;
                break;
            case RecoveryState::StrayCopy:
                ADD_FAILURE() << "a copy without its record: " << report.text;
                break;
            case RecoveryState::Clean:
                break;
        }
        return report;
    }

    // A real record: the one a Txt replacement of line 1 writes before it
    // touches the archive, caught by failing from the archive's rewrite on.
    void LeaveRecord(const std::string& replacement) {
        Reset(replacement);
        FaultyFileSystem spy(real_);
        RecordingSink sink;
        ASSERT_EQ(Replace(spy, sink, Txt, 1), ArchiveOutcome::Done);
        // The last open of txt.qax is the one for rewriting it.
        const auto& log = spy.Log();
        const auto rewrite = std::find(log.rbegin(), log.rend(), "open " + disk_.Paths().TxtArchivePath);
        ASSERT_NE(rewrite, log.rend());
        Reset(replacement);
        const DataSetBytes old = Current();
        FaultyFileSystem dying(real_);
        dying.FailFromStep(static_cast<long>(log.rend() - rewrite));
        Replace(dying, sink, Txt, 1);
        ASSERT_TRUE(std::filesystem::exists(disk_.RecordPath()));
        ASSERT_TRUE(Current() == old);
    }

    MemberSet set_ = SmallDataSet();
    DataSetOnDisk disk_{set_};
    SectionTable table_ = TableFor(set_);
    // Waiting for the disk would only slow the walk; the power-cut layer
    // models what the waits make durable.
    SystemFileSystem real_{DiskSync::Off};
};

struct CrashCase {
    int group;
    int line;
    std::size_t replacementSize;
    // Further members replaced in the same rebuild: line and replacement size.
    std::vector<std::pair<int, std::size_t>> alsoReplaced = {};
    // No Til, Tnm, Pal or Dat entries: the Shp group ends the index.
    bool emptyLaterGroups = false;
    // The group of alsoReplaced, when it is not `group`.
    int alsoGroup = -1;
    // The product folder is moved (renamed) before the next start.
    bool movedBeforeRestart = false;
    // The mod writes its undo (into an empty directory) in the same
    // transaction.
    bool withUndo = false;
    // What an earlier apply --undo of the same mod, killed before the mod
    // took effect, left in the undo directory: the mod is tried again over
    // it.
    enum class DeadUndo { None, MemberFile, PartialManifest, CompleteManifest } deadUndo = DeadUndo::None;
    int AlsoGroup() const { return alsoGroup < 0 ? group : alsoGroup; }
};
using DeadUndo = CrashCase::DeadUndo;

// Txt and Shp; first, middle and last member; a larger, a smaller and a
// same-size replacement (the index is then both the old and the new one);
// several members in one rebuild, one of them the same size; the last entry
// of the whole index.
const CrashCase kCrashCases[] = {{Txt, 0, 4000},
                                 {Txt, 1, 2},
                                 {Txt, 3, 4000},
                                 {Txt, 3, 1},
                                 {Shp, 0, 2},
                                 {Shp, 1, 90000},
                                 {Shp, 2, 1},
                                 {Shp, 2, 120000},
                                 {Txt, 1, 3000},
                                 {Shp, 1, 5000},
                                 {Txt, 3, 4000, {{0, 1}, {2, 7000}}},
                                 {Shp, 2, 1, {{0, 90000}}},
                                 {Shp, 1, 2, {{2, 120000}}},
                                 {Txt, 0, 5, {{2, 7000}}},
                                 {Shp, 2, 3, {}, true},
                                 // A mod: both archives under one record and one commit.
                                 {Txt, 1, 3000, {{0, 90000}, {2, 1}}, false, Shp},
                                 {Shp, 0, 2, {{3, 4000}}, true, Txt},
                                 // Moved: a record is known by its data set, not by its path.
                                 {Txt, 1, 3000, {}, false, -1, true},
                                 {Shp, 1, 90000, {{1, 4000}}, false, Txt, true},
                                 // A mod that writes its undo as it goes on.
                                 {Txt, 1, 3000, {{0, 90000}, {2, 1}}, false, Shp, false, true},
                                 // The same mod again, over what a dead one left of its undo: a
                                 // member file cut short, a manifest cut short, a complete
                                 // manifest whose mod never took effect.
                                 {Txt, 1, 3000, {{0, 90000}, {2, 1}}, false, Shp, false, true, DeadUndo::MemberFile},
                                 {Shp, 0, 2, {{3, 4000}}, true, Txt, false, true, DeadUndo::PartialManifest},
                                 {Txt, 3, 4000, {{1, 5000}}, false, Shp, false, true, DeadUndo::CompleteManifest}};

// Killed: that step and every later one fail. Power cut: the same, then
// only what was flushed survives. Failed, then power cut: that step
// alone fails, the replacement lives to undo itself, and then the power
// goes. Failed, then killed: the new index cannot take its place, and
// the process dies at that step of putting the archives back. Stopped:
// a polite stop (a signal) comes at that step; the replacement undoes
// itself when it comes before the new index is in place, and finishes
// when it comes after, and says which, with nothing left for a recovery
// either way.
enum class Death { Killed, PowerCut, FailedThenPowerCut, FailedThenKilled, Stopped };

const char* DeathName(Death death) {
    switch (death) {
        case Death::Killed:
            return "Killed";
        case Death::PowerCut:
            return "PowerCut";
        case Death::FailedThenPowerCut:
            return "FailedThenPowerCut";
        case Death::FailedThenKilled:
            return "FailedThenKilled";
        case Death::Stopped:
            return "Stopped";
    }
    return "Unknown";
}

// A failing walk's message, and ctest's list, name the death, not its bytes.
void PrintTo(Death death, std::ostream* out) {
    *out << DeathName(death);
}

// Each way of dying walks on its own, so that the walks run side by side.
class CrashWalk : public CrashRecovery, public ::testing::WithParamInterface<Death> {};

TEST_P(CrashWalk, DyingAtEveryStepOfEveryReplacement) {
    const Death death = GetParam();
    long walked = 0;
    for (const CrashCase& crash : kCrashCases) {
        set_.others = crash.emptyLaterGroups ? std::vector<testing::RawEntry>{} : SmallDataSet().others;
        table_ = TableFor(set_);
        const std::string replacement = PatternMember("NEW", crash.replacementSize, 9).bytes;
        std::vector<int> others;
        MemberSet after = testing::WithMemberReplaced(set_, crash.group, crash.line, replacement);
        for (const auto& [line, size] : crash.alsoReplaced) {
            others.push_back(line);
            after = testing::WithMemberReplaced(after, crash.AlsoGroup(), static_cast<std::size_t>(line),
                                                PatternMember("MORE", size, 10 + line).bytes);
        }
        std::string undoReplaced;
        const ModOptions options{.mode = RunMode::Apply,
                                 .guards = {},
                                 .undoDirectory = crash.withUndo ? UndoDir().string() : std::string(),
                                 .undoReplaced = &undoReplaced};
        const auto replace = [&](FileSystem& fs, ReportSink& sink) {
            return others.empty() ? Replace(fs, sink, crash.group, crash.line)
                                  : ReplaceMany(fs, sink, crash.group, crash.line, others, crash.AlsoGroup(), options);
        };
        // The step at which the earlier apply --undo died, once it had
        // written its first member file's first bytes, its manifest's
        // first bytes, or renamed its manifest into place.
        long deadUndoStep = 0;
        if (crash.deadUndo != DeadUndo::None) {
            Reset(replacement);
            for (const auto& [line, size] : crash.alsoReplaced)
                WriteText(OtherReplacementPath(line), PatternMember("MORE", size, 10 + line).bytes);
            FaultyFileSystem spy(real_);
            RecordingSink sink;
            ASSERT_EQ(replace(spy, sink), ArchiveOutcome::Done);
            const std::string undo = UndoDir().string();
            // A write that fails writes half its bytes, and dies there.
            const bool complete = crash.deadUndo == DeadUndo::CompleteManifest;
            const std::string verb = complete ? "rename " : "write ";
            const std::string name = crash.deadUndo == DeadUndo::MemberFile ? "1-" : "manifest.txt.new";
            const std::string at = verb + undo + "/" + name;
            // Windows joins the directory and the name with either separator.
            const auto isAt = [&](const std::string& step) {
                const std::size_t separator = verb.size() + undo.size();
                return step.starts_with(verb + undo) && step.size() > separator &&
                       (step[separator] == '/' || step[separator] == '\\') &&
                       step.compare(separator + 1, name.size(), name) == 0;
            };
            const auto& log = spy.Log();
            const auto found = std::find_if(log.begin(), log.end(), isAt);
            ASSERT_NE(found, log.end()) << at;
            deadUndoStep = static_cast<long>(found - log.begin()) + (complete ? 2 : 1);
        }
        const auto reset = [&] {
            Reset(replacement);
            for (const auto& [line, size] : crash.alsoReplaced)
                WriteText(OtherReplacementPath(line), PatternMember("MORE", size, 10 + line).bytes);
            if (crash.deadUndo == DeadUndo::None) return;
            FaultyFileSystem dying(real_);
            dying.FailFromStep(deadUndoStep);
            RecordingSink sink;
            replace(dying, sink);
            ASSERT_EQ(RecoverAtStartUp(real_, disk_.Paths()).state, RecoveryState::Undone);
            ASSERT_FALSE(std::filesystem::is_empty(UndoDir()));
        };
        reset();
        const DataSetBytes old = Current();
        const DataSetBytes replaced = {AsString(testing::IndexFor(after)), testing::ArchiveFor(after.txt),
                                       testing::ArchiveFor(after.shp)};
        // The undo: complete wherever the mod took effect; where it did
        // not, none (no manifest) or a complete one, whose guards then
        // refuse it; and nothing at all left by a mod that lived to
        // undo itself.
        std::string undoLines;
        std::vector<std::pair<std::string, std::string>> undoFiles;  // name, old bytes
        // The undo's guards and lines, as an undo applied would take them.
        std::vector<MemberGuard> undoGuards;
        std::vector<GroupReplacements> undoBatches;
        {
            const auto add = [&](int group, int line, const std::string& newBytes) {
                const auto& members = group == Txt ? set_.txt : set_.shp;
                const testing::Member& old = members[static_cast<std::size_t>(line)];
                const std::string file = UndoFileName(undoFiles.size() + 1, group, old.name);
                undoFiles.push_back({file, old.bytes});
                const ListedLine listed = Listed(disk_.Paths(), table_, group, line);
                undoGuards.push_back({group, listed, newBytes.size(), Checksum(newBytes)});
                if (undoBatches.empty() || undoBatches.back().group != group) undoBatches.push_back({group, {}});
                undoBatches.back().replacements.push_back({listed, (UndoDir() / file).string()});
                undoLines += std::string(group == Txt ? "txt " : "shp ") + old.name + " " + file + "\n";
                return GuardLine(group, old.name, newBytes.size(), Checksum(newBytes)) + "\n";
            };
            std::string guards = add(crash.group, crash.line, replacement);
            for (const auto& [line, size] : crash.alsoReplaced)
                guards += add(crash.AlsoGroup(), line, PatternMember("MORE", size, 10 + line).bytes);
            undoLines = guards + undoLines;
        }
        // `failed`: the mod lived to undo itself.
        const auto expectUndo = [&](bool failed, const RecordingSink& sink) {
            if (!crash.withUndo) return;
            const bool applied = Current() == replaced;
            const std::filesystem::path manifest = UndoDir() / kUndoManifestName;
            if (!applied && failed) {
                // What could not be removed is said. What a dead undo left
                // stays until the undo is written (and is taken over below).
                if (crash.deadUndo != DeadUndo::None) return;
                EXPECT_FALSE(std::filesystem::exists(manifest));
                if (!std::filesystem::is_empty(UndoDir())) {
                    EXPECT_TRUE(std::any_of(sink.messages.begin(), sink.messages.end(), [](const auto& message) {
                        return message.text.find("could not all be removed") != std::string::npos;
                    }));
                }
                return;
            }
            EXPECT_TRUE(!applied || std::filesystem::exists(manifest));
            if (!std::filesystem::exists(manifest)) return;
            EXPECT_TRUE(testing::ReadWholeFile(manifest).ends_with(undoLines));
            for (const auto& [file, bytes] : undoFiles)
                EXPECT_TRUE(testing::ReadWholeFile(UndoDir() / file) == bytes) << file;
        };
        // Where a death left the data set as it was and an unfinished undo
        // behind: recovery said where, a complete manifest there says it
        // is the undo of a mod that never took effect, and the same mod
        // applied again takes the directory and finishes, with its whole
        // undo.
        const auto expectDeadUndoTakenOver = [&](const RecoveryReport& report) {
            if (!crash.withUndo || Current() != old || std::filesystem::is_empty(UndoDir())) return;
            if (report.state == RecoveryState::Undone) {
                EXPECT_NE(report.text.find("writing the undo of its mod into " + UndoDir().string()), std::string::npos)
                    << report.text;
            }
            if (std::filesystem::exists(UndoDir() / kUndoManifestName)) {
                const std::string refusal = GuardsRefusal(real_, disk_.Paths(), undoGuards, undoBatches);
                EXPECT_NE(refusal.find("the undo of a mod that never took effect"), std::string::npos) << refusal;
            }
            RecordingSink sink;
            undoReplaced.clear();
            EXPECT_EQ(replace(real_, sink), ArchiveOutcome::Done)
                << (sink.messages.empty() ? std::string() : sink.messages.back().text);
            EXPECT_TRUE(Current() == replaced);
            EXPECT_NE(undoReplaced.find("never took effect"), std::string::npos) << undoReplaced;
            EXPECT_TRUE(std::filesystem::exists(UndoDir() / kUndoManifestName));
            expectUndo(false, sink);
        };
        long steps = 0;
        long failed = 0;  // the step that fails first, when a death comes later
        {
            FaultyFileSystem spy(real_);
            RecordingSink sink;
            ASSERT_EQ(replace(spy, sink), ArchiveOutcome::Done);
            ASSERT_TRUE(Current() == replaced);
            steps = spy.Steps();
            if (death == Death::FailedThenKilled) {
                const auto& log = spy.Log();
                const auto rename = std::find_if(log.begin(), log.end(), [&](const std::string& step) {
                    return step.rfind("rename ", 0) == 0 && step.ends_with(" -> " + disk_.Paths().IndexPath);
                });
                ASSERT_NE(rename, log.end());
                failed = static_cast<long>(rename - log.begin()) + 1;
                reset();
                FaultyFileSystem failing(real_);
                failing.FailStep(failed);
                ASSERT_EQ(replace(failing, sink), ArchiveOutcome::Failed);
                ASSERT_TRUE(Current() == old);
                steps = failing.Steps();
            }
        }
        // One past the last step: nothing (more) fails, and a power cut
        // just after a replacement must not bring back anything it
        // removed.
        for (long step = failed + 1; step <= steps + 1; ++step, ++walked) {
            reset();
            if (death == Death::Stopped) {
                FaultyFileSystem counting(real_);
                StoppableFileSystem stoppable(
                    counting, [&] { return counting.Steps() + 1 >= step; }, disk_.Paths().IndexPath);
                RecordingSink sink;
                const ArchiveOutcome outcome = replace(stoppable, sink);
                SCOPED_TRACE("stopped at step " + std::to_string(step) + " (" + (crash.group == Txt ? "Txt" : "Shp") +
                             " line " + std::to_string(crash.line) + ")");
                EXPECT_NE(stoppable.Stopped(), stoppable.Committed());
                EXPECT_EQ(outcome, stoppable.Committed() ? ArchiveOutcome::Done : ArchiveOutcome::Failed);
                EXPECT_TRUE(Current() == (stoppable.Committed() ? replaced : old));
                EXPECT_FALSE(disk_.LeftoversExist());
                EXPECT_TRUE(std::filesystem::is_empty(disk_.Dir() / "edit"));
                expectUndo(outcome == ArchiveOutcome::Failed, sink);
                if (stoppable.Committed()) {
                    EXPECT_TRUE(sink.messages.empty());
                }
                // Undone: said so, or the archive was never opened for
                // writing, which the editor tells in its own words.
                for (const auto& message : sink.messages) {
                    EXPECT_TRUE(message.text.find("unchanged") != std::string::npos ||
                                message.text.rfind("Could not open ", 0) == 0)
                        << message.text;
                    for (const char* damage : {"damaged", "backup", "partly written", "could not"})
                        EXPECT_EQ(message.text.find(damage), std::string::npos) << message.text;
                }
                const RecoveryReport report = RecoverAtStartUp(real_, disk_.Paths());
                EXPECT_EQ(report.state, RecoveryState::Clean);
                expectDeadUndoTakenOver(report);
                continue;
            }
            FaultyFileSystem dying(real_);
            if (death == Death::FailedThenKilled)
                dying.FailStepThenFromStep(failed, step);
            else if (death == Death::FailedThenPowerCut)
                dying.FailStep(step);
            else
                dying.FailFromStep(step);
            PowerCutFileSystem disk(dying, {disk_.Dir() / "data", disk_.Dir() / "edit", UndoDir()});
            RecordingSink sink;
            const ArchiveOutcome outcome = replace(disk, sink);
            const bool killed = death == Death::Killed || death == Death::FailedThenKilled;
            if (!killed) disk.Cut();
            const char* how = death == Death::Killed             ? "killed"
                              : death == Death::FailedThenKilled ? "failed, then killed"
                              : death == Death::PowerCut         ? "power cut"
                                                                 : "failed";
            SCOPED_TRACE(std::string(how) + " at step " + std::to_string(step) + ": " + dying.FiredStep() + " (" +
                         (crash.group == Txt ? "Txt" : "Shp") + " line " + std::to_string(crash.line) + ")");
            const RecoveryReport report =
                ExpectRecoveredToOldOrNew(old, replaced, step == steps + 1, crash.movedBeforeRestart);
            expectUndo(death == Death::FailedThenPowerCut && outcome == ArchiveOutcome::Failed, sink);
            expectDeadUndoTakenOver(report);
        }
    }
    // The walk must have covered every case, each over its many steps.
    EXPECT_GT(walked, static_cast<long>(std::size(kCrashCases)) * 20);
    std::printf("crash walk: %ld deaths walked\n", walked);
}

// Under Wine every file call goes through one server process, so walks
// side by side do not go faster, and all five took a quarter of an hour of
// the Windows test run. The Windows build walks the deaths that leave the
// Win32 layer's own writes on disk (killed, power cut); the deaths that fail
// a step first, or stop, fail it above the file layer and walk the same
// core code, which both Linux builds walk.
#ifdef _WIN32
const Death kWalkedDeaths[] = {Death::Killed, Death::PowerCut};
#else
const Death kWalkedDeaths[] = {Death::Killed, Death::PowerCut, Death::FailedThenPowerCut, Death::FailedThenKilled,
                               Death::Stopped};
#endif

INSTANTIATE_TEST_SUITE_P(EveryDeath, CrashWalk, ::testing::ValuesIn(kWalkedDeaths),
                         [](const ::testing::TestParamInfo<Death>& info) { return DeathName(info.param); });

// Each state recovery can meet, built by hand; the texts name the files.
TEST_F(CrashRecovery, EveryStateARecordCanLeave) {
    const std::string replacement = "new text";
    const DataSetBytes old = Current();
    const DataSetBytes replaced = After(Txt, 1, replacement);
    const std::string record = disk_.RecordPath().string();
    const std::string& copy = disk_.Paths().TempPath;
    const auto leaveRecord = [&] { LeaveRecord(replacement); };

    // A user's file that a stranger's package tries to pass off as the
    // copy, of exactly the length the copy would have.
    const std::filesystem::path victim = disk_.Dir() / "victim.doc";
    const std::string victimBytes = std::string(old.txt.size() + kSafetyCopyMarkSize, 'u');
    const auto plantForCopy = [&](bool asLink) {
        WriteText(victim.string(), victimBytes);
        std::filesystem::remove(copy);
        if (asLink)
            testing::MakeSymlink(victim, copy);
        else
            std::filesystem::copy_file(victim, copy);
    };
    // Rewrites the record as a stranger (or another version) would.
    const auto rewriteRecord = [&](const std::function<void(RebuildRecord&)>& change) {
        std::optional<RebuildRecord> written = DecodeRecord(testing::ReadWholeFile(record));
        ASSERT_TRUE(written);
        change(*written);
        WriteText(record, EncodeRecord(*written));
    };
    // Another data set's unfinished index, named as the recorded copy's
    // unfinished sibling would be.
    std::filesystem::path strangersFile;
    const std::filesystem::path elsewhere = disk_.Dir() / "other";
    std::filesystem::create_directories(elsewhere);
    struct State {
        const char* name;
        std::function<void()> make;
        RecoveryState expected;
        std::string words;
        std::function<void()> check = [] {};  // what else must hold once recovery ran
    };
    const std::filesystem::path unfinishedRecordName = record + ".new";
    const std::filesystem::path noteName = disk_.Dir() / "edit" / ".qaxtool-extract-0123abcd";
    const State states[] = {
        // Half rewritten when the process died.
        {"record, old index",
         [&] {
             leaveRecord();
             WriteText(disk_.Paths().TxtArchivePath, replaced.txt.substr(0, replaced.txt.size() / 2));
         },
         RecoveryState::Undone, "was undone"},
        // A user's files named like the record's unfinished one and like a
        // batch extraction's note (where the window extracts) are not the
        // editor's: they stay.
        {"record, old index, a user's files with the editor's names",
         [&] {
             leaveRecord();
             WriteText(unfinishedRecordName, "my notes\n");
             WriteText(noteName, "shapes to redo\nTANK.SHP\n");
         },
         RecoveryState::Undone, "was undone",
         [&] {
             for (const auto& [path, bytes] :
                  {std::pair{unfinishedRecordName, "my notes\n"}, std::pair{noteName, "shapes to redo\nTANK.SHP\n"}})
                 EXPECT_TRUE(std::filesystem::exists(path) && testing::ReadWholeFile(path) == bytes) << path;
             std::filesystem::remove(unfinishedRecordName);
             std::filesystem::remove(noteName);
         }},
        {"record, new index",
         [&] {
             leaveRecord();
             WriteText(disk_.Paths().TxtArchivePath, replaced.txt);
             WriteText(disk_.Paths().IndexPath, replaced.index);
         },
         RecoveryState::Completed, "had been completed"},
        // A file with the copy's name and no record, and a user's file named
        // like an unfinished extraction, are nobody's the editor can vouch
        // for: both stay.
        {"copy, no record",
         [&] {
             Reset(replacement);
             WriteText(copy, old.txt);
             WriteText(disk_.Dir() / "edit" / "FOO.SHP.new", "the user's own file");
         },
         RecoveryState::StrayCopy, "leaves it alone",
         [&] {
             EXPECT_EQ(testing::ReadWholeFile(copy), old.txt);
             EXPECT_EQ(testing::ReadWholeFile(disk_.Dir() / "edit" / "FOO.SHP.new"), "the user's own file");
         }},
        {"record, new index, archive of another length",
         [&] {
             leaveRecord();
             WriteText(disk_.Paths().IndexPath, replaced.index);
         },
         RecoveryState::Unresolved, "is not the archive it wrote"},
        {"damaged record",
         [&] {
             leaveRecord();
             std::string bytes = testing::ReadWholeFile(record);
             bytes[bytes.size() / 2] ^= 1;
             WriteText(record, bytes);
         },
         RecoveryState::Unresolved, "is damaged"},
        {"index neither",
         [&] {
             leaveRecord();
             std::string index = old.index;
             index[0] ^= 1;
             WriteText(disk_.Paths().IndexPath, index);
         },
         RecoveryState::Unresolved, "neither"},
        {"copy missing", [&] { leaveRecord(), std::filesystem::remove(copy); }, RecoveryState::Unresolved,
         "is missing"},
        {"copy of the wrong length", [&] { leaveRecord(), WriteText(copy, "short"); }, RecoveryState::Unresolved,
         "that file is not the copy"},
        // What a record names is acted on only once it is proved to be the
        // copy that very replacement made: a file of the right length, or
        // a link to one, is not.
        {"copy replaced by a link to a user's file", [&] { leaveRecord(), plantForCopy(true); },
         RecoveryState::Unresolved, "that file is not the copy",
         [&] { EXPECT_EQ(testing::ReadWholeFile(victim), victimBytes); }},
        {"copy replaced by a user's file", [&] { leaveRecord(), plantForCopy(false); }, RecoveryState::Unresolved,
         "that file is not the copy", [&] { EXPECT_EQ(testing::ReadWholeFile(victim), victimBytes); }},
        {"new index, copy replaced by a user's file",
         [&] {
             leaveRecord();
             WriteText(disk_.Paths().TxtArchivePath, replaced.txt);
             WriteText(disk_.Paths().IndexPath, replaced.index);
             plantForCopy(false);
         },
         RecoveryState::Completed, "is not the copy that replacement made",
         [&] {
             EXPECT_EQ(testing::ReadWholeFile(copy), victimBytes);
             std::filesystem::remove(copy);
         }},
        // The record itself is read only as a bounded regular file of its
        // own: nothing hangs on a pipe or runs out of memory on a huge file.
        {"record is a pipe",
         [&] {
             Reset(replacement);
             testing::PlantNoRegularFile(record);
         },
         RecoveryState::Unresolved, "cannot be read as one"},
        {"record is a huge sparse file",
         [&] {
             Reset(replacement);
             WriteText(record, "QAXREC");
             std::filesystem::resize_file(record, std::uintmax_t{1} << 32);
         },
         RecoveryState::Unresolved, "cannot be read as one"},
        {"record is a link to a record",
         [&] {
             leaveRecord();
             std::filesystem::rename(record, disk_.Dir() / "elsewhere.rec");
             testing::MakeSymlink(disk_.Dir() / "elsewhere.rec", record);
         },
         RecoveryState::Unresolved, "cannot be read as one"},
        // A package unpacked into data/ replaces the archive by a link to a
        // file of the user's: the write-back never goes through it.
        {"archive replaced by a link to a user's file",
         [&] {
             leaveRecord();
             WriteText(victim.string(), victimBytes);
             std::filesystem::remove(disk_.Paths().TxtArchivePath);
             testing::MakeSymlink(victim, disk_.Paths().TxtArchivePath);
         },
         RecoveryState::Unresolved, "cannot be written back",
         [&] {
             EXPECT_EQ(testing::ReadWholeFile(victim), victimBytes);
             EXPECT_TRUE(disk_.TempExists());
         }},
        // What a record says of its copy's place is never acted on: a
        // record that has nothing to undo names a file elsewhere, whose
        // unfinished sibling stays.
        {"record names a copy elsewhere",
         [&] {
             leaveRecord();
             rewriteRecord([&](RebuildRecord& written) {
                 written.phase = RecordPhase::ArchivesOld;
                 written.archives[0].copyPathHint = (disk_.Dir() / "other" / "NAME").string();
             });
             strangersFile = elsewhere / PartialNameFor("NAME", DecodeRecord(testing::ReadWholeFile(record))->token);
             WriteText(strangersFile, "another data set's unfinished index");
         },
         RecoveryState::Undone, "was undone",
         [&] { EXPECT_EQ(testing::ReadWholeFile(strangersFile), "another data set's unfinished index"); }},
        // A mod that was writing its undo: where that undo is, and what it
        // is, is told; the directory is named only, never touched.
        {"record of a mod with an undo, old index",
         [&] {
             leaveRecord();
             rewriteRecord([&](RebuildRecord& written) { written.undoDirectoryHint = UndoDir().string(); });
             WriteText(UndoDir() / "1-txt-TWO.txt", "first");
         },
         RecoveryState::Undone, "writing the undo of its mod into " + UndoDir().string() + ": whatever it left there",
         [&] { EXPECT_EQ(testing::ReadWholeFile(UndoDir() / "1-txt-TWO.txt"), "first"); }},
        {"record of a mod with an undo, new index",
         [&] {
             leaveRecord();
             rewriteRecord([&](RebuildRecord& written) { written.undoDirectoryHint = UndoDir().string(); });
             WriteText(disk_.Paths().TxtArchivePath, replaced.txt);
             WriteText(disk_.Paths().IndexPath, replaced.index);
         },
         RecoveryState::Completed, "Its undo was complete in " + UndoDir().string()},
        // The copy really lies beside an editor in another folder: that
        // editor can finish, this one says so and touches nothing.
        {"copy beside an editor in another folder",
         [&] {
             leaveRecord();
             std::filesystem::rename(copy, elsewhere / "~temp.fpc");
             rewriteRecord([&](RebuildRecord& written) {
                 written.archives[0].copyPathHint = (elsewhere / "~temp.fpc").string();
             });
         },
         RecoveryState::Unresolved, "installed in " + elsewhere.string(),
         [&] { EXPECT_TRUE(std::filesystem::exists(elsewhere / "~temp.fpc")); }},
        // The record and the copy are proved by who may have written them.
        {"record others may write",
         [&] {
             leaveRecord();
             std::filesystem::permissions(record, std::filesystem::perms::others_write,
                                          std::filesystem::perm_options::add);
         },
         RecoveryState::Unresolved, "proves nothing"},
        {"copy others may write",
         [&] {
             leaveRecord();
             std::filesystem::permissions(copy, std::filesystem::perms::group_write,
                                          std::filesystem::perm_options::add);
         },
         RecoveryState::Unresolved, "that file is not the copy"},
#ifndef _WIN32
        // A record of another user's (a stranger's, planted; or another
        // user's genuine one, which that user finishes) is not acted on.
        {"record of another user",
         [&] {
             leaveRecord();
             ASSERT_EQ(::chown(record.c_str(), 65534, 65534), 0);
         },
         RecoveryState::Unresolved, "belongs to another user"},
#endif
    };
    for (const State& state : states) {
        SCOPED_TRACE(state.name);
        // Rows that plant a link need a system that makes links; rows of
        // owners and permission bits, a POSIX system (and to give a file
        // away, the privilege to).
        const std::string_view name = state.name;
        if (name.find("a link") != std::string_view::npos && !testing::SystemMakesSymlinks()) continue;
#ifdef _WIN32
        if (name.find("may write") != std::string_view::npos || name.find("another user") != std::string_view::npos)
            continue;
#else
        if (name.find("another user") != std::string_view::npos && ::geteuid() != 0) continue;
#endif
        state.make();
        const DataSetBytes before = Current();
        const bool recordBefore = std::filesystem::exists(record);
        if (recordBefore) {
            // An editor opened before the replacement died, while another
            // one reads (so that nobody may recover): it neither shows nor
            // extracts what may be half rewritten, and says why.
            const auto reading = DirectoryLock::TryAcquire(DataDirectoryOf(disk_.Paths()), LockKind::Shared);
            ASSERT_TRUE(reading);
            RecordingSink sink;
            sink.pane = "what the pane showed";
            EXPECT_EQ(ShowTextMember(Context(real_, sink), Listed(disk_.Paths(), table_, Txt, 1)),
                      ArchiveOutcome::Refused);
            EXPECT_EQ(ExtractShpMember(Context(real_, sink), Listed(disk_.Paths(), table_, Shp, 1), disk_.EditorDir()),
                      ArchiveOutcome::Refused);
            EXPECT_EQ(sink.pane, "what the pane showed");
            EXPECT_FALSE(std::filesystem::exists(disk_.Dir() / "edit" / "JEEP.SHP"));
            ASSERT_EQ(sink.messages.size(), 2u);
            for (const auto& message : sink.messages)
                EXPECT_NE(message.text.find("nothing is read from the archives"), std::string::npos) << message.text;
            EXPECT_TRUE(Current() == before);
        }
        // Told first, without a change: what recovery then does.
        EXPECT_EQ(DescribeInterruptedRebuild(real_, disk_.Paths()).state, state.expected);
        EXPECT_TRUE(Current() == before);
        EXPECT_EQ(std::filesystem::exists(record), recordBefore);
        const RecoveryReport report = RecoverAtStartUp(real_, disk_.Paths());
        EXPECT_EQ(report.state, state.expected);
        EXPECT_NE(report.text.find(state.words), std::string::npos) << report.text;
        state.check();
        if (state.expected == RecoveryState::Undone || state.expected == RecoveryState::Completed) {
            EXPECT_TRUE(Current() == (state.expected == RecoveryState::Completed ? replaced : old));
            EXPECT_FALSE(disk_.LeftoversExist());
            continue;
        }
        // Nothing is touched, and a replacement stays refused with the same
        // explanation until the user has settled it.
        EXPECT_TRUE(Current() == before);
        EXPECT_EQ(std::filesystem::exists(record), recordBefore);
        const bool copyBefore = disk_.TempExists();
        RecordingSink sink;
        EXPECT_EQ(Replace(real_, sink, Shp, 0), ArchiveOutcome::Refused);
        EXPECT_TRUE(Current() == before);
        EXPECT_EQ(disk_.TempExists(), copyBefore);
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_NE(sink.messages[0].text.find(report.text), std::string::npos) << sink.messages[0].text;
        // A reader, which may not recover, says the same of the same state
        // and reads nothing.
        RecordingSink reader;
        if (recordBefore) {
            EXPECT_EQ(ShowTextMember(Context(real_, reader), Listed(disk_.Paths(), table_, Txt, 0)),
                      ArchiveOutcome::Refused);
            ASSERT_EQ(reader.messages.size(), 1u);
            EXPECT_NE(reader.messages[0].text.find(report.text), std::string::npos) << reader.messages[0].text;
        }
        std::filesystem::remove(record);
    }
}

// A restore that fails part way (a full disk) says what it did: the archive
// is partly written and goes back from the copy next time, which it then
// does.
TEST_F(CrashRecovery, ARecoveryThatFailsPartWaySaysSoAndTheNextOneFinishes) {
    const std::string replacement = PatternMember("NEW", 4000, 9).bytes;
    Reset(replacement);
    const DataSetBytes old = Current();
    // The step at which `log` first writes txt.qax, counted from 1.
    const auto firstWrite = [&](const std::vector<std::string>& log) {
        const auto at = std::find(log.begin(), log.end(), "write " + disk_.Paths().TxtArchivePath);
        EXPECT_NE(at, log.end());
        return static_cast<long>(at - log.begin()) + 1;
    };
    const auto dieWhileRewriting = [&] {
        Reset(replacement);
        FaultyFileSystem spy(real_);
        RecordingSink sink;
        ASSERT_EQ(Replace(spy, sink, Txt, 0), ArchiveOutcome::Done);
        Reset(replacement);
        FaultyFileSystem dying(real_);
        dying.FailFromStep(firstWrite(spy.Log()) + 1);
        Replace(dying, sink, Txt, 0);
        ASSERT_FALSE(Current() == old);
    };
    dieWhileRewriting();
    FaultyFileSystem spy(real_);
    ASSERT_EQ(RecoverInterruptedRebuild(spy, disk_.Paths()).state, RecoveryState::Undone);
    dieWhileRewriting();
    FaultyFileSystem full(real_);
    full.FailFromStep(firstWrite(spy.Log()));
    const RecoveryReport failed = RecoverInterruptedRebuild(full, disk_.Paths());
    EXPECT_EQ(failed.state, RecoveryState::Unresolved);
    EXPECT_NE(failed.text.find("is partly written"), std::string::npos) << failed.text;
    EXPECT_EQ(failed.text.find("Nothing was changed"), std::string::npos) << failed.text;

    const RecoveryReport next = RecoverInterruptedRebuild(real_, disk_.Paths());
    EXPECT_EQ(next.state, RecoveryState::Undone) << next.text;
    EXPECT_TRUE(Current() == old);
    EXPECT_FALSE(disk_.LeftoversExist());

    // A recovery that dies at any step, its restore done or not, leaves
    // what the next one finishes: the record says the archive is old again
    // before the copy goes.
    for (long step = 1; step <= spy.Steps(); ++step) {
        SCOPED_TRACE("recovery killed at step " + std::to_string(step));
        dieWhileRewriting();
        FaultyFileSystem dying(real_);
        dying.FailFromStep(step);
        RecoverInterruptedRebuild(dying, disk_.Paths());
        const RecoveryReport after = RecoverInterruptedRebuild(real_, disk_.Paths());
        EXPECT_NE(after.state, RecoveryState::Unresolved) << after.text;
        EXPECT_TRUE(Current() == old);
        EXPECT_FALSE(disk_.LeftoversExist());
    }
}

// Someone who may write the directory gives the copy's name to a file of
// his between the proof and the removal: the name no longer holds the file
// that was proved, and stays, with what it now holds.
TEST_F(CrashRecovery, AFileSwappedInBetweenProofAndRemovalStays) {
    LeaveRecord("new text");
    const DataSetBytes old = Current();
    const std::string copy = disk_.Paths().TempPath;
    FaultyFileSystem swapping(real_);
    bool swapped = false;
    swapping.onStep = [&](const std::string& step) {
        if (swapped || step != "remove " + copy) return;
        swapped = true;
        std::filesystem::rename(copy, copy + ".moved");
        WriteText(copy, "a file of the user's");
    };
    const RecoveryReport report = RecoverInterruptedRebuild(swapping, disk_.Paths());
    ASSERT_TRUE(swapped) << report.text;
    EXPECT_EQ(report.state, RecoveryState::Undone) << report.text;
    EXPECT_NE(report.text.find("another file took its name after it was checked"), std::string::npos) << report.text;
    EXPECT_EQ(testing::ReadWholeFile(copy), "a file of the user's");
    EXPECT_TRUE(Current() == old);
    EXPECT_FALSE(std::filesystem::exists(disk_.RecordPath()));
}

// Two editors on one data set: while one rebuilds shp.qax (here, inside one
// of the event passes the copy makes), the other can neither replace, nor
// read, nor "recover" the rebuild under way.
TEST_F(CrashRecovery, ASecondEditorIsRefusedWhileTheFirstRebuilds) {
    // Past a million bytes, so that the copy lets events through with the
    // record on disk.
    set_.shp[0] = PatternMember("TANK", 2500000, 2);
    const std::string replacement = PatternMember("NEW", 90000, 9).bytes;
    Reset(replacement);
    const DataSetBytes replaced = After(Shp, 1, replacement);
    RecordingSink first;
    RecordingSink second;
    bool checked = false;
    first.onProcessEvents = [&] {
        if (checked || !std::filesystem::exists(disk_.RecordPath())) return;
        checked = true;
        const DataSetBytes during = Current();
        EXPECT_EQ(Replace(real_, second, Txt, 1), ArchiveOutcome::Refused);
        EXPECT_EQ(RecoverAtStartUp(real_, disk_.Paths()).state, RecoveryState::Clean);
        ShowTextMember(Context(real_, second), Listed(disk_.Paths(), table_, Txt, 0));
        EXPECT_TRUE(Current() == during);
        EXPECT_TRUE(std::filesystem::exists(disk_.RecordPath()));
        EXPECT_TRUE(disk_.TempExists());
    };
    EXPECT_EQ(Replace(real_, first, Shp, 1), ArchiveOutcome::Done);
    EXPECT_TRUE(checked) << "the copy must let events through while the record exists";
    ASSERT_EQ(second.messages.size(), 2u);
    for (const auto& message : second.messages)
        EXPECT_NE(message.text.find("Another editor is working on this data set"), std::string::npos);
    EXPECT_TRUE(first.messages.empty());
    EXPECT_TRUE(Current() == replaced);
    EXPECT_FALSE(disk_.LeftoversExist());
}

// The lock each operation holds for as long as it works: a Txt rebuild
// keeps everyone else out from its first write to its end, as the Shp one
// does; an extraction only shares the data set, so a second editor may read
// while it writes its file.
TEST_F(CrashRecovery, EachOperationHoldsItsLockWhileItWorks) {
    struct Held {
        const char* name;
        std::function<ArchiveOutcome(FileSystem&, RecordingSink&)> run;
        std::string whileWriting;  // the step at which the second editor tries
        ArchiveOutcome others;     // what the second editor's text view then gets
    };
    Reset("new text");
    const Held cases[] = {
        {"Txt replacement", [&](FileSystem& fs, RecordingSink& sink) { return Replace(fs, sink, Txt, 1); },
         "write " + disk_.Paths().TxtArchivePath, ArchiveOutcome::Refused},
        {"extraction",
         [&](FileSystem& fs, RecordingSink& sink) {
             return ExtractShpMember(Context(fs, sink), Listed(disk_.Paths(), table_, Shp, 1), disk_.EditorDir());
         },
         "write " + disk_.EditorDir() + kPathSeparator + "JEEP.SHP", ArchiveOutcome::Done},
    };
    for (const Held& held : cases) {
        SCOPED_TRACE(held.name);
        Reset("new text");
        FaultyFileSystem first(real_);
        RecordingSink sink;
        RecordingSink second;
        bool tried = false;
        first.onStep = [&](const std::string& step) {
            if (tried || step.rfind(held.whileWriting, 0) != 0) return;
            tried = true;
            second.pane = "what the pane showed";
            EXPECT_EQ(ShowTextMember(Context(real_, second), Listed(disk_.Paths(), table_, Txt, 0)), held.others);
            if (held.others == ArchiveOutcome::Refused) {
                // Busy is not a file error, and the pane keeps its text.
                EXPECT_EQ(second.pane, "what the pane showed");
                EXPECT_EQ(Replace(real_, second, Shp, 0), ArchiveOutcome::Refused);
                for (const auto& message : second.messages) {
                    EXPECT_NE(message.text.find("Another editor is working"), std::string::npos) << message.text;
                    EXPECT_EQ(message.caption, kDataSetBusyCaption);
                }
            }
        };
        EXPECT_EQ(held.run(first, sink), ArchiveOutcome::Done);
        EXPECT_TRUE(tried) << "never reached " << held.whileWriting;
    }
}

// Another program appended a Txt member after the list was filled: the
// listed lines still hold, so the replacement goes ahead, on the data set
// as the section file now gives it, and keeps the new member.
TEST_F(CrashRecovery, AMemberAppendedSinceTheListingIsKept) {
    Reset("new text");
    const ListedLine listed = Listed(disk_.Paths(), table_, Txt, 1);
    set_.txt.push_back({"FIVE", "appended by another program"});
    disk_.Write(set_);
    RecordingSink sink;
    ASSERT_EQ(ReplaceTextMember(Context(real_, sink), listed, ReplacementPath()), ArchiveOutcome::Done)
        << (sink.messages.empty() ? "" : sink.messages[0].text);
    EXPECT_TRUE(Current() == After(Txt, 1, "new text"));
}

// Another program writes a different data set of the same shape between the
// listing and the click: the line the user saw is no longer what the index
// holds at its place, and nothing may be replaced or extracted on its word.
TEST_F(CrashRecovery, ADataSetRewrittenSinceItWasListedIsNotTouched) {
    Reset("replacement");
    const ListedLine txt = Listed(disk_.Paths(), table_, Txt, 1);
    const ListedLine shp = Listed(disk_.Paths(), table_, Shp, 1);
    MemberSet other = set_;
    other.txt[0].bytes += "longer";  // shifts TWO's offset
    other.shp[1] = PatternMember("TRUCK", 5000, 3);
    disk_.Write(other);
    const DataSetBytes rewritten = Current();

    for (const auto& run : std::vector<std::function<ArchiveOutcome(RecordingSink&)>>{
             [&](RecordingSink& sink) { return ReplaceTextMember(Context(real_, sink), txt, ReplacementPath()); },
             [&](RecordingSink& sink) { return ReplaceShpMember(Context(real_, sink), shp, ReplacementPath()); },
             [&](RecordingSink& sink) { return ExtractShpMember(Context(real_, sink), shp, disk_.EditorDir()); }}) {
        RecordingSink sink;
        EXPECT_EQ(run(sink), ArchiveOutcome::Stale);
        ASSERT_EQ(sink.messages.size(), 1u);
        EXPECT_NE(sink.messages[0].text.find("has changed since it was listed"), std::string::npos);
        EXPECT_TRUE(Current() == rewritten);
        EXPECT_TRUE(std::filesystem::is_empty(disk_.Dir() / "edit"));
    }
}

}  // namespace
}  // namespace qax
