// The write cycle of a replacement, and what makes it safe beyond the life of
// one process.
//
// A replacement rebuilds an archive in place from a whole copy of it:
//
//   1. copy the archive to the temporary file beside the editor, check the
//      copy and flush it (file and directory) to disk;
//   2. write the crash record into the data directory, on disk before
//      anything else happens: which archive is rebuilt, where its copy is,
//      the old and new lengths and checksums of the archive and the index;
//   3. let the caller write the archive anew from the copy; check its
//      length, cut it there and flush it;
//   4. write the new index beside the old one and rename it over it: this
//      rename is the moment the replacement takes effect;
//   5. remove the record, then the copy.
//
// A failure the process lives through puts the archive back from the copy
// at once. A process that dies anywhere leaves the record behind, and the
// next editor to open the data set (at start-up, or at the start of any
// operation) finishes or undoes the replacement from it: an old index means
// the archive may be half rewritten and is copied back from the copy; a new
// index means the replacement was complete. All of this runs under the
// data set's exclusive lock, so one editor never "recovers" a rebuild that
// another editor is still running.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "replacement_inputs.h"

namespace qax {

// The crash record lives in the directory where the index really lies (its
// symbolic links followed), where every editor of the data set finds it,
// whatever directory it runs from and whichever link it came through; the
// data set's lock is taken on that same directory.
inline constexpr const char* kRebuildRecordName = "~qaxedit.rec";
std::string DataDirectoryOf(const DataSetPaths& paths);
std::string RebuildRecordPath(const DataSetPaths& paths);

// Why a replacement of `archivePaths` cannot be covered by the lock and the
// crash record: an archive that does not really lie beside the index, a
// data file with a second name (a hard link: an editor that came through
// the other name would take another lock and never see the record), or a
// data directory the user may not write (the record and the new index are
// written there). Nothing when it can.
Refusal DataSetLayoutRefusal(FileSystem& fs, const DataSetPaths& paths, const std::vector<std::string>& archivePaths);

// One archive of a rebuild.
struct ArchiveRebuild {
    std::string archivePath;
    std::uint64_t archiveLength = 0;     // measured before the copy is made
    std::uint64_t newArchiveLength = 0;  // what writeArchive must produce
    // Writes the whole new archive from the copy (opened for reading at its
    // start) into the archive (opened for update at its start). Throws on
    // any failure.
    std::function<void(File& copy, File& archive)> writeArchive;
};

// One or more archives rebuilt under one record and committed by one
// rename of the index: the data set comes out wholly old or wholly new.
struct RebuildJob {
    std::vector<ArchiveRebuild> archives;
    const IndexImage* oldIndex = nullptr;
    const IndexImage* newIndex = nullptr;
};

// Each copy ends in a mark of this many bytes after the archive's own: the
// token of its record, the data set's key and the archive's length. It is
// read once, to check the copy before anything relies on it.
inline constexpr std::size_t kSafetyCopyMarkSize = 36;

// Where the copy of the `n`th archive of a rebuild lies: the data set's
// temporary copy for the first, a name beside it for each further one.
std::string SafetyCopyPath(const DataSetPaths& paths, std::size_t n);

// Runs steps 1 to 5. The caller holds the data set's exclusive lock.
ArchiveOutcome RebuildArchive(const ArchiveContext& context, const RebuildJob& job);

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
};

// Finishes or undoes a replacement that a dead process left, and removes
// the leftovers of the editor's own interrupted writes (the record's and,
// where a record vouches for it, the new index's unfinished siblings).
// Everything named by a record is acted on only once it is proved to be
// what that replacement of this data set made; otherwise nothing is
// touched and the report says what was found. The caller holds the data
// set's exclusive lock.
RecoveryReport RecoverInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths);

// What RecoverInterruptedRebuild would do now, told without doing it: the
// state it would reach and a text naming the files and what would happen
// to them. Reads only; the caller holds the data set's lock (shared is
// enough).
RecoveryReport DescribeInterruptedRebuild(FileSystem& fs, const DataSetPaths& paths);

// Recovery as the editor runs it when it starts: only when the exclusive
// lock can be had at once (another editor holding it is still working, and
// what it left is its own); Clean otherwise.
RecoveryReport RecoverAtStartUp(FileSystem& fs, const DataSetPaths& paths);

// Rehearse: the exclusive lock a change takes, without recovering anything:
// what recovery would do is told, and the lock is refused where a real
// change would stop (an unresolved record, or a file at the copy's name).
enum class DataSetUse { Change, Read, Rehearse };

// The caption of the refusal when another editor holds the data set: no
// file failed, the data set is only busy.
inline constexpr const char* kDataSetBusyCaption = "Data Set Busy";

// Takes the data set's lock for one operation: exclusive to change it,
// shared to read from it. Recovers first where it can. Returns nothing,
// after telling the user why under `caption`, when another editor is
// working on the data set or an interrupted replacement could not be
// recovered.
std::unique_ptr<DirectoryLock> LockDataSet(const ArchiveContext& context, DataSetUse use, const char* caption);

// The shared lock for reading a member in the data directory `dataDir`,
// without recovering; nothing (after a message) when another editor is
// changing the data set or left a replacement unfinished.
std::unique_ptr<DirectoryLock> LockDataSetForReading(FileSystem& fs, const std::string& dataDir, ReportSink& sink,
                                                     const char* caption);

}  // namespace qax
