#include "leftover_file.h"

namespace qax {

std::string RemoveLeftoverFile(FileSystem& fs, const std::string& path, const std::string& what) {
    if (!fs.IsRegularFile(path)) return {};
    try {
        fs.Remove(path);
    } catch (const IoError& error) {
        return "\n\n" + what + " " + path + " could not be removed (" + error.Reason().message() +
               "); it is not needed and can be deleted.";
    }
    return {};
}

}  // namespace qax
