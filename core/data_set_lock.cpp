#include "data_set_lock.h"

#include <string>

#include "rebuild_record.h"

namespace qax {

namespace {

std::string LockFailureText(const IoError& error) {
    return "The data directory " + error.Path() + " could not be opened to lock it (" + error.Reason().message() +
           ").\nNothing was changed.";
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
                LockFailureText(error) + "\nReplacing members stays refused until this is settled."};
    }
    if (!lock) return {};
    return RecoverInterruptedRebuild(fs, paths);
}

std::unique_ptr<DirectoryLock> LockDataSetForReading(FileSystem& fs, const DataSetPaths& paths, ReportSink& sink,
                                                     const char* caption) {
    const std::string dataDir = DataDirectoryOf(paths);
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(dataDir, LockKind::Shared);
    } catch (const IoError& error) {
        sink.ShowMessage(LockFailureText(error), caption);
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

std::unique_ptr<DirectoryLock> LockDataSet(const ArchiveContext& context, DataSetUse use, const char* caption) {
    const std::string dataDir = DataDirectoryOf(context.paths);
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(dataDir, LockKind::Exclusive);
    } catch (const IoError& error) {
        context.sink.ShowMessage(LockFailureText(error), caption);
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
