// A failure walked over every file step of each archive operation. After any
// failure the archive and the index are byte for byte what they were, the
// failure was reported, and nothing is left behind; a failure after the new
// index took effect is reported but the replacement stands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "catalogue.h"
#include "faulty_file_system.h"
#include "power_cut_file_system.h"
#include "rebuild_transaction.h"
#include "recording_sink.h"

namespace qax {
namespace {

using testing::AsString;
using testing::DataSetOnDisk;
using testing::FaultKind;
using testing::FaultyFileSystem;
using testing::MemberSet;
using testing::PatternMember;
using testing::RecordingSink;
using testing::SameBytes;
using testing::TableFor;
using testing::WriteText;

using Operation = std::function<ArchiveOutcome(const ArchiveContext&)>;

struct DataSetBytes {
    std::string index;
    std::string txt;
    std::string shp;
};

MemberSet SmallDataSet() {
    MemberSet set;
    set.txt = {{"ONE", "first"}, PatternMember("TWO", 3000, 1), {"THREE", "third"}, {"FOUR", "fourth"}};
    // Several 65,536-byte blocks before and after the replaced member.
    set.shp = {PatternMember("TANK", 100000, 2), PatternMember("JEEP", 5000, 3), PatternMember("HELI", 70000, 4)};
    return set;
}

// The kind of step, the first word of the fault layer's description of it.
std::string StepKind(const std::string& step) {
    return step.substr(0, step.find(' '));
}

class FaultWalk : public ::testing::Test {
protected:
    FaultWalk() {
        Reset();
        before_ = Current();
    }

    void Reset() {
        disk_.Write(set_);
        for (const std::string& path : {disk_.Paths().TempPath, disk_.Paths().IndexPath + ".new",
                                        disk_.RecordPath().string(), disk_.RecordPath().string() + ".new"})
            std::filesystem::remove(path);
        for (const auto& entry : std::filesystem::directory_iterator(disk_.Dir() / "edit"))
            std::filesystem::remove(entry.path());
        WriteText(ReplacementPath(), PatternMember("NEW", 8000, 7).bytes);
    }
    DataSetBytes Current() const { return {disk_.Index(), disk_.Txt(), disk_.Shp()}; }
    std::string ReplacementPath() const { return (disk_.Dir() / "new.bin").string(); }

    void ExpectDataSet(const DataSetBytes& expected) const {
        EXPECT_TRUE(SameBytes(disk_.Index(), expected.index));
        EXPECT_TRUE(SameBytes(disk_.Txt(), expected.txt));
        EXPECT_TRUE(SameBytes(disk_.Shp(), expected.shp));
    }

    long StepsOfACleanRun(const Operation& operation) {
        Reset();
        FaultyFileSystem spy(real_);
        RecordingSink sink;
        EXPECT_EQ(operation({spy, disk_.Paths(), table_, sink}), ArchiveOutcome::Done);
        return spy.Steps();
    }

    // Fails each step in turn, once with `kind`, and checks the outcome with
    // `expectDone` (a run that completed) or `expectUntouched` (one that did
    // not). Returns the kinds of step that failed.
    std::set<std::string> Walk(const Operation& operation, FaultKind kind, const std::function<void()>& expectDone,
                               const std::function<void(const std::string& failedStep)>& expectUntouched) {
        std::set<std::string> failedKinds;
        const long steps = StepsOfACleanRun(operation);
        for (long step = 1; step <= steps; ++step) {
            Reset();
            FaultyFileSystem faulty(real_);
            faulty.FailStep(step, kind);
            if (!unremovablePrefix_.empty()) faulty.FailRemovesStartingWith(unremovablePrefix_);
            RecordingSink sink;
            const ArchiveOutcome outcome = operation({faulty, disk_.Paths(), table_, sink});
            SCOPED_TRACE("step " + std::to_string(step) + ": " + (faulty.Fired() ? faulty.FiredStep() : "none"));
            EXPECT_TRUE(sink.busyHistory.empty() || sink.busyHistory == (std::vector<bool>{true, false}));
            if (!faulty.Fired()) {
                EXPECT_EQ(outcome, ArchiveOutcome::Done);
                EXPECT_TRUE(sink.messages.empty()) << sink.messages[0].text;
                expectDone();
                continue;
            }
            failedKinds.insert(StepKind(faulty.FiredStep()));
            EXPECT_EQ(sink.messages.size(), 1u) << "a failure must be reported";
            if (sink.messages.empty()) continue;
            if (outcome == ArchiveOutcome::Done) {
                // Only what follows the new index (or output) taking effect
                // may fail without undoing the operation, and it is told as
                // a warning, not as a failure.
                const std::string failed = StepKind(faulty.FiredStep());
                EXPECT_TRUE(failed == "sync" || failed == "remove") << sink.messages[0].text;
                EXPECT_NE(sink.messages[0].caption, "File Error");
                expectDone();
            } else {
                EXPECT_EQ(sink.messages[0].caption, "File Error");
                EXPECT_EQ(outcome, ArchiveOutcome::Failed);
                expectUntouched(faulty.FiredStep());
            }
        }
        return failedKinds;
    }

    std::set<std::string> WalkReplacement(const Operation& operation, FaultKind kind, const DataSetBytes& after) {
        return Walk(
            operation, kind,
            [&] {
                ExpectDataSet(after);
                EXPECT_FALSE(std::filesystem::exists(disk_.Paths().IndexPath + ".new"));
            },
            [&](const std::string& failedStep) {
                ExpectDataSet(before_);
                if (!disk_.LeftoversExist()) return;
                // Only a clean-up step that failed may leave something, and
                // then exactly what the next editor to open the data set
                // clears, with the data set as it was.
                const std::string failed = StepKind(failedStep);
                EXPECT_TRUE(failed == "remove" || failed == "sync") << failedStep;
                EXPECT_NE(RecoverInterruptedRebuild(real_, disk_.Paths()).state, RecoveryState::Unresolved);
                ExpectDataSet(before_);
                EXPECT_FALSE(disk_.LeftoversExist());
            });
    }

    DataSetBytes ExpectedAfterReplacing(bool text, std::size_t member) const {
        const MemberSet after =
            testing::WithMemberReplaced(set_, text ? Txt : Shp, member, PatternMember("NEW", 8000, 7).bytes);
        return {AsString(testing::IndexFor(after)), testing::ArchiveFor(after.txt), testing::ArchiveFor(after.shp)};
    }

    Operation ReplaceText(int line) {
        return [this, line](const ArchiveContext& context) {
            return ReplaceTextMember(context, testing::Listed(disk_.Paths(), table_, Txt, line), ReplacementPath());
        };
    }
    Operation ReplaceShp(int line) {
        return [this, line](const ArchiveContext& context) {
            return ReplaceShpMember(context, testing::Listed(disk_.Paths(), table_, Shp, line), ReplacementPath());
        };
    }

    MemberSet set_ = SmallDataSet();
    DataSetOnDisk disk_{set_};
    SectionTable table_ = TableFor(set_);
    // Waiting for the disk hundreds of times would only slow the walk: the
    // steps it fails are the same with or without it.
    SystemFileSystem real_{DiskSync::Off};
    DataSetBytes before_;
    // Where the files every walked run fails to remove start, beside the
    // step it fails.
    std::string unremovablePrefix_;
};

const std::set<std::string> kEveryKindOfStep = {"open",  "read", "write",  "seek", "length", "truncate", "flush",
                                                "close", "copy", "rename", "sync", "remove", "restrict"};

TEST_F(FaultWalk, TextReplacementFailingAtEveryStep) {
    const auto kinds = WalkReplacement(ReplaceText(1), FaultKind::Error, ExpectedAfterReplacing(true, 1));
    EXPECT_EQ(kinds, kEveryKindOfStep);
}

TEST_F(FaultWalk, ShpReplacementFailingAtEveryStep) {
    const auto kinds = WalkReplacement(ReplaceShp(1), FaultKind::Error, ExpectedAfterReplacing(false, 1));
    EXPECT_EQ(kinds, kEveryKindOfStep);
}

TEST_F(FaultWalk, ReplacementsMeetingAnUnexpectedEndOfDataAtEveryRead) {
    // Each read in turn finds nothing, as if the file had ended; the copy
    // of the archive silently stops halfway.
    const auto text = WalkReplacement(ReplaceText(2), FaultKind::EndOfData, ExpectedAfterReplacing(true, 2));
    EXPECT_EQ(text, (std::set<std::string>{"read", "copy"}));
    const auto shp = WalkReplacement(ReplaceShp(0), FaultKind::EndOfData, ExpectedAfterReplacing(false, 0));
    EXPECT_EQ(shp, (std::set<std::string>{"read", "copy"}));
}

TEST_F(FaultWalk, ExtractionFailingAtEveryStepLeavesNoFile) {
    const std::string line = FormatCatalogueLine({"HELI", 70000, 105000});
    const Operation extract = [&](const ArchiveContext& context) {
        return ExtractShpMember(context, testing::ListedText(disk_.Paths(), table_, Shp, line), disk_.EditorDir());
    };
    const std::filesystem::path output = disk_.Dir() / "edit" / "HELI.SHP";
    auto kinds = Walk(
        extract, FaultKind::Error, [&] { EXPECT_EQ(testing::ReadWholeFile(output), set_.shp[2].bytes); },
        [&](const std::string&) {
            EXPECT_TRUE(std::filesystem::is_empty(disk_.Dir() / "edit"));
            ExpectDataSet(before_);
        });
    EXPECT_EQ(kinds,
              (std::set<std::string>{"open", "read", "write", "seek", "length", "flush", "close", "rename", "sync"}));
    kinds = Walk(
        extract, FaultKind::EndOfData, [] {},
        [&](const std::string&) { EXPECT_TRUE(std::filesystem::is_empty(disk_.Dir() / "edit")); });
    EXPECT_EQ(kinds, std::set<std::string>{"read"});
}

// A batch extraction, one file new and one replacing a file of the user's,
// that fails or loses its power at any step (each name the batch changed
// since the folder was last flushed reaching the disk or not on its own, as
// names may): once the next extraction into that folder has cleaned up,
// each name holds its member whole, or what it held before, or is not
// there; nothing else is left but an empty hidden file the batch made
// before it could record which it was, which the clean-up names; and every
// file of the user's is still there, one the user made after the power cut
// under a name the batch would have written too. A batch that said it was
// done has its members whole whatever survives. Among the user's files:
// the start of JEEP, as a user's cut-down copy may be, under its own name
// and under the hidden name that the note of another batch cut short, which
// came with a mod package after it, lists.
TEST_F(FaultWalk, BatchExtractionCutShortLeavesWholeFilesOrNone) {
    // A folder of the user's, as qaxtool extracts into with --out.
    const std::filesystem::path edit = disk_.Dir() / "mywork";
    const std::string folder = edit.string();
    std::filesystem::create_directories(edit);
    const std::string mine = "the user's own TANK.SHP";
    const std::string jeepStart = set_.shp[1].bytes.substr(0, 1000);
    const auto extractMembers = [&](FileSystem& fs, RecordingSink& sink, const std::vector<int>& lines) {
        std::vector<ListedLine> members;
        for (const int line : lines) members.push_back(testing::Listed(disk_.Paths(), table_, Shp, line));
        std::vector<std::string> written;
        return ExtractMembers({fs, disk_.Paths(), table_, sink}, Shp, members, folder, written);
    };
    const auto isHidden = [](const std::string& name, const std::string& member) {
        return name.rfind("." + member + ".SHP.", 0) == 0;
    };
    // The note and record of a batch of JEEP killed once the first bytes of
    // its file were down, and the name of that file.
    std::map<std::string, std::string> package;
    std::string jeepsHiddenName;
    {
        FaultyFileSystem spy(real_);
        RecordingSink sink;
        ASSERT_EQ(extractMembers(spy, sink, {1}), ArchiveOutcome::Done);
        const auto& log = spy.Log();
        const auto write = std::find_if(log.begin(), log.end(), [&](const std::string& step) {
            return step.rfind("write " + (edit / ".JEEP.SHP.").string(), 0) == 0;
        });
        ASSERT_NE(write, log.end());
        std::filesystem::remove(edit / "JEEP.SHP");
        FaultyFileSystem dying(real_);
        dying.FailFromStep(static_cast<long>(write - log.begin()) + 2);
        extractMembers(dying, sink, {1});
        for (const auto& entry : std::filesystem::directory_iterator(edit)) {
            const std::string name = entry.path().filename().string();
            if (isHidden(name, "JEEP"))
                jeepsHiddenName = name;
            else
                package[name] = testing::ReadWholeFile(entry.path());
            std::filesystem::remove(entry.path());
        }
        ASSERT_FALSE(jeepsHiddenName.empty());
        ASSERT_EQ(package.size(), 2u);
    }
    const auto plantUsersFiles = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(edit)) std::filesystem::remove(entry.path());
        WriteText(edit / "TANK.SHP", mine);
        WriteText(edit / "JEEP.SHP", jeepStart);
        WriteText(edit / jeepsHiddenName, jeepStart);
        // Unpacked later than the user's files were last changed.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const auto& [name, bytes] : package) WriteText(edit / name, bytes);
    };
    const Operation extract = [&](const ArchiveContext& context) {
        if (!std::filesystem::exists(edit / package.begin()->first)) plantUsersFiles();
        RecordingSink sink;
        const ArchiveOutcome outcome = extractMembers(context.fs, sink, {0, 2});
        for (const auto& message : sink.messages) context.sink.ShowMessage(message.text, message.caption);
        return outcome;
    };
    // What the user made under HELI.SHP after the power cut, if anything.
    std::optional<std::string> usersHeli;
    const auto expectWholeFilesOrNone = [&] {
        const std::string said = RemoveUnfinishedExtractions(real_, disk_.Paths(), folder);
        for (const auto& entry : std::filesystem::directory_iterator(edit)) {
            const std::string name = entry.path().filename().string();
            const std::string bytes = testing::ReadWholeFile(entry.path());
            if (name == "TANK.SHP")
                EXPECT_TRUE(bytes == mine || bytes == set_.shp[0].bytes) << bytes.size();
            else if (name == "HELI.SHP")
                EXPECT_TRUE(SameBytes(bytes, usersHeli.value_or(set_.shp[2].bytes))) << bytes.size();
            else if (name == "JEEP.SHP" || name == jeepsHiddenName)
                EXPECT_TRUE(SameBytes(bytes, jeepStart));
            else if (isHidden(name, "HELI"))
                EXPECT_TRUE(bytes.empty() && said.find(name + " is listed by") != std::string::npos) << said;
            else
                ADD_FAILURE() << "left behind: " << name;
        }
        for (const std::string name : {"TANK.SHP", "JEEP.SHP"}) EXPECT_TRUE(std::filesystem::exists(edit / name));
        EXPECT_TRUE(!usersHeli || std::filesystem::exists(edit / "HELI.SHP"));
        // What cannot be proven is named.
        EXPECT_NE(said.find(jeepsHiddenName + " is listed by"), std::string::npos) << said;
        ExpectDataSet(before_);
    };
    const auto expectExtracted = [&] {
        expectWholeFilesOrNone();
        EXPECT_TRUE(SameBytes(testing::ReadWholeFile(edit / "TANK.SHP"), set_.shp[0].bytes));
        EXPECT_TRUE(SameBytes(testing::ReadWholeFile(edit / "HELI.SHP"), set_.shp[2].bytes));
    };
    const auto kinds =
        Walk(extract, FaultKind::Error, expectExtracted, [&](const std::string&) { expectWholeFilesOrNone(); });
    EXPECT_TRUE(kinds.count("rename") == 1 && kinds.count("sync") == 1 && kinds.count("remove") == 1);
    // A failed batch that cannot remove a file it made keeps the note that
    // lets the next extraction prove the file unfinished.
    unremovablePrefix_ = (edit / ".HELI.SHP.").string();
    Walk(extract, FaultKind::Error, expectExtracted, [&](const std::string&) { expectWholeFilesOrNone(); });
    unremovablePrefix_.clear();

    const long steps = StepsOfACleanRun(extract);
    for (long step = 1; step <= steps + 1; ++step)
        for (std::uint64_t kept = 0, states = 1; kept < states; ++kept) {
            Reset();
            plantUsersFiles();
            FaultyFileSystem dying(real_);
            dying.FailFromStep(step);
            testing::PowerCutFileSystem disk(dying, {edit});
            RecordingSink sink;
            const ArchiveOutcome outcome = extract({disk, disk_.Paths(), table_, sink});
            states = std::uint64_t{1} << disk.UnflushedNames().size();
            disk.CutNameByName(kept);
            SCOPED_TRACE("power cut at step " + std::to_string(step) + ": " + dying.FiredStep() + ", names kept " +
                         std::to_string(kept));
            // The user makes the file the batch did not get to, empty or
            // holding the start of its member, before anything cleans up.
            usersHeli.reset();
            if (!std::filesystem::exists(edit / "HELI.SHP")) {
                usersHeli = kept % 2 == 0 ? std::string() : set_.shp[2].bytes.substr(0, 700);
                WriteText(edit / "HELI.SHP", *usersHeli);
            }
            if (outcome == ArchiveOutcome::Done)
                expectExtracted();
            else
                expectWholeFilesOrNone();
        }
}

// When everything fails from some step on, the restore fails too: the index
// is still untouched, and an archive that could not be put back has its
// complete former contents in the temporary copy, which the message names.
TEST_F(FaultWalk, WhenTheRestoreFailsTooTheCopyIsKeptAndNamed) {
    for (const bool text : {true, false}) {
        const Operation operation = text ? ReplaceText(1) : ReplaceShp(1);
        const std::string oldArchive = text ? before_.txt : before_.shp;
        const long steps = StepsOfACleanRun(operation);
        int keptCopies = 0;
        for (long step = 1; step <= steps; ++step) {
            Reset();
            FaultyFileSystem faulty(real_);
            faulty.FailFromStep(step);
            RecordingSink sink;
            const ArchiveOutcome outcome = operation({faulty, disk_.Paths(), table_, sink});
            SCOPED_TRACE(faulty.FiredStep());
            ASSERT_FALSE(sink.messages.empty());
            if (outcome == ArchiveOutcome::Done) {
                ExpectDataSet(ExpectedAfterReplacing(text, 1));
                continue;
            }
            EXPECT_EQ(disk_.Index(), before_.index);
            const std::string archive = text ? disk_.Txt() : disk_.Shp();
            if (archive != oldArchive) {
                ++keptCopies;
                ASSERT_TRUE(disk_.TempExists());
                const std::string copy = testing::ReadWholeFile(disk_.Paths().TempPath);
                EXPECT_EQ(copy.size(), oldArchive.size() + kSafetyCopyMarkSize);
                EXPECT_TRUE(SameBytes(copy.substr(0, oldArchive.size()), oldArchive));
                EXPECT_NE(sink.messages.back().text.find(disk_.Paths().TempPath), std::string::npos);
            }
        }
        EXPECT_GT(keptCopies, 5) << "the walk must reach the failures after the archive was emptied";
    }
}

}  // namespace
}  // namespace qax
