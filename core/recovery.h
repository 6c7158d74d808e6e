// Finishing or undoing a replacement that a dead process left behind.
//
// The next editor to open the data set (at start-up, or at the start of
// any operation) reads the record the replacement left: an old index means
// the archives may be half rewritten and are written back from their
// copies; a new index means the replacement was complete, and only its
// leftovers go. Recovery may do only what a replacement of this data set
// may do, and only to files it derived itself: the archives and the index
// beside the record, the copies at the places this program keeps them,
// the record, and the unfinished files named with the record's token. Each
// is opened without following a link, relative to a handle of its
// directory held for the whole recovery, proved on that very handle, and
// then read, written or removed only through it. Anything else is left as
// it is, and the report says what was found and what to do.
#pragma once

#include <string>

#include "data_set.h"
#include "file_access.h"

namespace qax {

enum class RecoveryState {
    Clean,      // nothing was left by an interrupted replacement
    Undone,     // the archive was put back from its copy
    Completed,  // the replacement had taken effect; its leftovers were removed
    StrayCopy,  // a file at the temporary copy's name that no record accounts for: left alone
    Unresolved  // nothing was touched; the text says what the user can do
};

struct RecoveryReport {
    RecoveryState state = RecoveryState::Clean;
    std::string text;  // one or two sentences for the user; empty when Clean
    // Unresolved because the data set's lock could not be taken at all (the
    // data directory or its lock file cannot be used): every operation that
    // comes next says the same when it takes the lock.
    bool lockUnusable = false;
};

// Finishes or undoes the replacement a dead process left, and removes the
// leftovers of the editor's own interrupted writes. The caller holds the
// data set's exclusive lock.
RecoveryReport RecoverInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths);

// What RecoverInterruptedRebuild would do now, told without doing it: the
// state it would reach, and the same text it gives where it would leave
// everything as it is. Reads only; the caller holds the data set's lock
// (shared is enough).
RecoveryReport DescribeInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths);

}  // namespace qax
