// The write cycle of a replacement: one open, write, commit or undo, top to
// bottom in RebuildArchive.
//
//   1. write the crash record (rebuild_record.h) into the data directory,
//      on disk before anything else happens;
//   2. copy each archive beside its name, mark the copy as this
//      replacement's, rename it into place and flush it; then record that
//      the archives may be rewritten;
//   3. let the caller write each archive anew from its copy; check its
//      length, cut it there and flush it;
//   4. let the caller write what must be on disk before the change takes
//      effect (an undo); then write the new index beside the old one and
//      rename it over it: this rename is the moment the replacement takes
//      effect;
//   5. remove the copies, then the record.
//
// A failure the process lives through puts the archives back from the
// copies it holds open. A process that dies anywhere leaves the record
// behind, and the next editor to open the data set finishes or undoes the
// replacement from it (recovery.h). All of this runs under the data set's
// exclusive lock (data_set_lock.h), so one editor never recovers a rebuild
// that another editor is still running. The callers of a replacement take
// the lock and recovery together with it, so this header brings both.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "data_set_lock.h"
#include "rebuild_record.h"
#include "recovery.h"
#include "replacement_inputs.h"

namespace qax {

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
    // Called once every archive is rewritten and on disk, before the new
    // index is written, with the held copies of the old archives in the
    // order of `archives`: what must be on disk before the change takes
    // effect (the undo of a mod) is written here. Throwing undoes the
    // replacement as any failure does.
    std::function<void(const std::vector<File*>& copies)> beforeCommit;
    // Called when the replacement fails after beforeCommit may have begun,
    // before the archives are put back: while the record still vouches for
    // the replacement, so that a death meanwhile is still told of. Takes
    // back what beforeCommit wrote; returns a paragraph naming what stays,
    // or nothing.
    std::function<std::string()> takeBack;
    // Where beforeCommit writes the undo of a mod, for the record (absolute;
    // empty for none): a death leaves the next editor able to say where the
    // unfinished undo is.
    std::string undoDirectory;
};

// Runs steps 1 to 5. The caller holds the data set's exclusive lock.
ArchiveOutcome RebuildArchive(const ArchiveContext& context, const RebuildJob& job);

}  // namespace qax
