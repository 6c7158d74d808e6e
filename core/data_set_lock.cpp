#include "data_set_lock.h"

#include <string>

#include "rebuild_record.h"

namespace qax {

namespace {

std::string LockFailureText(const IoError& error) {
    return "The data directory " + error.Path() + " could not be opened to lock it (" + error.Reason().message() +
           ").\nNothing was changed.";
}

std::string WhyNotWritable(const LockFileError& error) {
    switch (error.Problem()) {
        case LockFileProblem::OtherOwner:
            return "it belongs to another user (" + error.Owner() + "), and this user may only read it";
        case LockFileProblem::NotWritable:
            return "this user may only read it";
        case LockFileProblem::Unchangeable:
            return "it is marked unchangeable (immutable), so nobody may write it";
        case LockFileProblem::ReadOnlyMedium:
            return "it lies on a read-only medium";
        case LockFileProblem::CannotBeMade:
            return "it does not exist, and this user may not make files in the data directory";
        case LockFileProblem::Unusable:
            break;
    }
    return error.Reason().message();
}

std::string WhatToDo(const LockFileError& error) {
    const std::string removable =
        "remove it when no editor runs on this data set: it holds nothing, and the next change makes it anew.";
    switch (error.Problem()) {
        case LockFileProblem::CannotBeMade:
            return "Ask the directory's owner to make the change, or to let this user make files there.";
        case LockFileProblem::ReadOnlyMedium:
            return "Copy the data set to a medium that takes writes to change it.";
        case LockFileProblem::Unchangeable:
            return "Ask whoever marked it to clear the mark (chattr -i), or to " + removable;
        default:
            return "Ask its owner to make the change or to let this user write the file, or " + removable;
    }
}

}  // namespace

std::string LockFileText(const LockFileError& error) {
    if (error.Problem() == LockFileProblem::Unusable)
        return "The lock file " + error.Path() + " cannot be used (" + error.Reason().message() +
               "). Every editor of this data set, of either build, takes its lock on that empty file, so none "
               "reads or changes the data set while something else has the file's name. It holds nothing: "
               "remove it when no editor runs on this data set, and the next command makes it anew.\nNothing was "
               "changed.";
    return "The lock file " + error.Path() + " cannot be locked for writing: " + WhyNotWritable(error) +
           ". A change takes that lock so that no other editor, of this build or the other system's, works on "
           "the data set at the same time; a lock for reading, all this user could take, keeps none out, so "
           "nothing may be changed now. " +
           WhatToDo(error) + "\nNothing was changed.";
}

namespace {

// What start-up recovery says where a change may not lock the lock file:
// nothing while nothing waits to be recovered (reading goes on, and a
// change says why it is refused when it is asked for), or that what waits
// cannot be recovered now.
RecoveryReport PendingUnderReadOnlyLockFile(FileSystem& fs, const DataSetPaths& paths, const LockFileError& refusal) {
    const std::string cannot =
        "A replacement in this data set was interrupted, and it can be neither finished "
        "nor undone now. " +
        LockFileText(refusal);
    try {
        const std::unique_ptr<DirectoryLock> reading =
            DirectoryLock::TryAcquire(DataDirectoryOf(paths), LockKind::Shared);
        if (!reading) return {};
        RecoveryReport pending = DescribeInterruptedRebuild(fs, paths);
        if (pending.state == RecoveryState::Clean || pending.state == RecoveryState::StrayCopy) return pending;
        return {RecoveryState::Unresolved, cannot};
    } catch (const std::exception&) {
        return {RecoveryState::Unresolved, cannot};
    }
}

// Names the holder where the system tells it.
std::string DataSetBusyText(const std::string& dataDir) {
    const std::string holders = DirectoryLock::DescribeHolders(dataDir);
    return "Another editor is working on this data set right now" +
           (holders.empty() ? std::string() : " (" + holders + ")") +
           ". Try again when it has finished.\nNothing was changed.";
}

}  // namespace

RecoveryReport RecoverAtStartUp(FileSystem& fs, const DataSetPaths& paths) {
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(DataDirectoryOf(paths), LockKind::Exclusive);
    } catch (const IoError& error) {
        return {RecoveryState::Unresolved,
                LockFailureText(error) + "\nReplacing members stays refused until this is settled.", true};
    } catch (const LockFileError& error) {
        if (error.Problem() != LockFileProblem::Unusable) return PendingUnderReadOnlyLockFile(fs, paths, error);
        return {RecoveryState::Unresolved,
                LockFileText(error) + "\nReplacing members stays refused until this is settled.", true};
    }
    if (!lock) return {};
    return RecoverInterruptedRebuild(fs, paths);
}

namespace {

// The shared lock for reading, as LockDataSetForReading takes it.
// `unrecoverable`: why no editor of this user could recover what a dead
// replacement left, where that is not only a matter of time.
std::unique_ptr<DirectoryLock> ReadingLock(FileSystem& fs, const DataSetPaths& paths, ReportSink& sink,
                                           const char* caption, const std::string& unrecoverable) {
    const std::string dataDir = DataDirectoryOf(paths);
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(dataDir, LockKind::Shared);
    } catch (const IoError& error) {
        sink.ShowMessage(LockFailureText(error), caption);
        return nullptr;
    } catch (const LockFileError& error) {
        sink.ShowMessage(LockFileText(error), caption);
        return nullptr;
    }
    if (!lock) {
        sink.ShowMessage(DataSetBusyText(dataDir), kDataSetBusyCaption);
        return nullptr;
    }
    // Nobody is rebuilding (that would hold the lock exclusively), so a
    // record is one a dead process left: until it is recovered, an archive
    // may be half rewritten. What is said of it is what recovery itself
    // would say, in every program.
    const RecoveryReport pending = DescribeInterruptedRebuild(fs, paths);
    if (pending.state == RecoveryState::Unresolved) {
        sink.ShowMessage(pending.text + "\nUntil then nothing is read from the archives.", caption);
        return nullptr;
    }
    if (!unrecoverable.empty() &&
        (pending.state == RecoveryState::Undone || pending.state == RecoveryState::Completed)) {
        sink.ShowMessage(
            "A replacement in this data set was interrupted and cannot be recovered now; until it "
            "is, nothing is read from the archives. " +
                unrecoverable,
            caption);
        return nullptr;
    }
    if (pending.state == RecoveryState::Undone || pending.state == RecoveryState::Completed) {
        sink.ShowMessage("A replacement in this data set was interrupted and has not been recovered yet. " +
                             pending.text +
                             " The editor does that when it next starts, and so does any replacement or extraction "
                             "before it begins; until then nothing is read from the archives.",
                         caption);
        return nullptr;
    }
    return lock;
}

}  // namespace

std::unique_ptr<DirectoryLock> LockDataSetForReading(FileSystem& fs, const DataSetPaths& paths, ReportSink& sink,
                                                     const char* caption) {
    return ReadingLock(fs, paths, sink, caption, {});
}

std::unique_ptr<DirectoryLock> LockDataSet(const ArchiveContext& context, DataSetUse use, const char* caption) {
    const std::string dataDir = DataDirectoryOf(context.paths);
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(dataDir, LockKind::Exclusive);
    } catch (const IoError& error) {
        context.sink.ShowMessage(LockFailureText(error), caption);
        return nullptr;
    } catch (const LockFileError& error) {
        // Readers share the data set under a lock for reading, which is
        // all they need of the lock file.
        if (use == DataSetUse::Read && error.Problem() != LockFileProblem::Unusable)
            return ReadingLock(context.fs, context.paths, context.sink, caption, LockFileText(error));
        context.sink.ShowMessage(LockFileText(error), caption);
        return nullptr;
    }
    if (!lock) {
        // Readers share the data set with each other; one that cannot
        // recover still reads when nothing is left to recover.
        if (use == DataSetUse::Read) return LockDataSetForReading(context.fs, context.paths, context.sink, caption);
        context.sink.ShowMessage(DataSetBusyText(dataDir), kDataSetBusyCaption);
        return nullptr;
    }
    if (use == DataSetUse::Rehearse) {
        // What recovery would do is told; the rehearsal goes on only where
        // the real run would, on the index and archives as they stand: an
        // undone replacement leaves the index as it is now, a completed one
        // too.
        const RecoveryReport report = DescribeInterruptedRebuild(context.fs, context.paths);
        if (!report.text.empty()) context.sink.ShowMessage(report.text, caption);
        if (report.state == RecoveryState::Unresolved || report.state == RecoveryState::StrayCopy) return nullptr;
        return lock;
    }
    const RecoveryReport report = RecoverInterruptedRebuild(context.fs, context.paths);
    // A stray copy matters only to a replacement, which refuses with it.
    if (!report.text.empty() && report.state != RecoveryState::StrayCopy)
        context.sink.ShowMessage(report.text, caption);
    if (report.state == RecoveryState::Unresolved) return nullptr;
    if (use == DataSetUse::Read) lock->Share();
    return lock;
}

}  // namespace qax
