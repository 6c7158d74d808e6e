// The one sequence every replacement goes through, which keeps the user's
// data whole whatever fails:
//
//   1. copy the archive to the temporary file and check the copy;
//   2. let the caller write the archive anew from the copy, from its first
//      byte on;
//   3. check the new archive's length, cut it there and flush it to disk;
//   4. write the new index beside the old one and rename it over it: only
//      now does the change take effect;
//   5. flush the directory entry and remove the temporary copy.
//
// A failure in 1 changes nothing. A failure in 2 to 4 puts the archive back
// from the copy; the index was never touched. Each is reported with the file
// that failed and the system's reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive_ops.h"
#include "index_image.h"

namespace qax {

struct RebuildJob {
    std::string archivePath;
    std::uint64_t archiveLength = 0;     // measured before the copy is made
    std::uint64_t newArchiveLength = 0;  // what writeArchive must produce
    const IndexImage* newIndex = nullptr;
    // Writes the whole new archive from the copy (opened for reading at its
    // start) into the archive, from its start. Throws on any failure.
    std::function<void(File& copy, File& archive)> writeArchive;
};

ArchiveOutcome RebuildArchive(const ArchiveContext& context, const RebuildJob& job);

}  // namespace qax
