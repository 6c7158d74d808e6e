// The data set's lock: one editor changes a data set at a time, readers
// share it, and nobody reads or changes it while a replacement that died
// is waiting to be recovered.
#pragma once

#include <memory>
#include <string>

#include "archive_ops.h"
#include "file_access.h"
#include "recovery.h"

namespace qax {

// Rehearse: the exclusive lock a change takes, without recovering anything:
// what recovery would do is told, and the lock is refused where a real
// change would stop (an unresolved record, or a file at the copy's name).
enum class DataSetUse { Change, Read, Rehearse };

// The caption of the refusal when another editor holds the data set: no
// file failed, the data set is only busy.
inline constexpr const char* kDataSetBusyCaption = "Data Set Busy";

// What the user is told when the lock file keeps the data set's lock from
// being taken: which file, why, and what to do.
std::string LockFileText(const LockFileError& error);

// Takes the data set's lock for one operation: exclusive to change it,
// shared to read from it. Recovers first where it can. Returns nothing,
// after telling the user why under `caption`, when another editor is
// working on the data set or an interrupted replacement could not be
// recovered.
std::unique_ptr<DirectoryLock> LockDataSet(const ArchiveContext& context, DataSetUse use, const char* caption);

// The shared lock for reading a member, without recovering; nothing (after
// a message) when another editor is changing the data set or left a
// replacement unfinished.
std::unique_ptr<DirectoryLock> LockDataSetForReading(FileSystem& fs, const DataSetPaths& paths, ReportSink& sink,
                                                     const char* caption);

// Recovery as the editor runs it when it starts: only when the exclusive
// lock can be had at once (another editor holding it is still working, and
// what it left is its own); Clean otherwise.
RecoveryReport RecoverAtStartUp(FileSystem& fs, const DataSetPaths& paths);

}  // namespace qax
