// The temporary whole copy of an archive that makes rewriting it safe: as long
// as the copy is there and whole, the archive can be put back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "file_access.h"

namespace qax {

// Copies the archive to `copyPath`, overwriting what is there, and checks the
// copy before anyone relies on it: complete, on disk, and exactly
// `archiveLength` bytes long (the length measured before the copy). Returns
// the copy opened for reading. Throws IoError; the archive is never written.
std::unique_ptr<File> MakeSafetyCopy(FileSystem& fs, const std::string& archivePath, const std::string& copyPath,
                                     std::uint64_t archiveLength);

// After a failure that may have changed the archive: writes the copy back over
// the archive and, once that succeeded, removes the copy. Returns the text
// that tells the user how it went; when the archive could not be put back,
// the copy is kept and the text says where it is.
std::string RestoreFromSafetyCopy(FileSystem& fs, const std::string& archivePath, const std::string& copyPath);

// Removes the copy when it is no longer needed. Returns an empty text, or the
// text that tells the user it could not be removed.
std::string RemoveSafetyCopy(FileSystem& fs, const std::string& copyPath);

}  // namespace qax
