#include "safety_copy.h"

#include "leftover_file.h"

namespace qax {

std::unique_ptr<File> MakeSafetyCopy(FileSystem& fs, const std::string& archivePath, const std::string& copyPath,
                                     std::uint64_t archiveLength) {
    const std::uint64_t copied = fs.CopyFile(archivePath, copyPath);
    auto copy = fs.Open(copyPath, OpenMode::Read);
    // Measured again through the copy itself: the archive is emptied on the
    // strength of this check alone.
    if (copied != archiveLength || copy->Length() != archiveLength)
        throw IoError(IoStep::Write, copyPath, MakeDataError(DataError::WrongLength));
    return copy;
}

std::string RestoreFromSafetyCopy(FileSystem& fs, const std::string& archivePath, const std::string& copyPath) {
    try {
        fs.CopyFile(copyPath, archivePath);
    } catch (const IoError& error) {
        return "\n\n" + archivePath + " could not be put back: " + error.what() +
               ".\nIts complete former contents are kept in\n" + copyPath + "\nCopy that file over " + archivePath +
               " before using the data set again. The index is unchanged.";
    }
    return "\n\n" + archivePath + " has been put back as it was, and the index is unchanged." +
           RemoveSafetyCopy(fs, copyPath);
}

std::string RemoveSafetyCopy(FileSystem& fs, const std::string& copyPath) {
    return RemoveLeftoverFile(fs, copyPath, "The temporary copy");
}

}  // namespace qax
