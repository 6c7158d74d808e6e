// Removing a file an operation made and no longer needs (a temporary copy,
// an unfinished index or output), where failing to remove it must not hide
// the outcome the user is being told about.
#pragma once

#include <string>

#include "file_access.h"

namespace qax {

// Removes `path` if it is there. Returns an empty text, or a paragraph for
// the user's message saying that `what` (e.g. "The temporary copy") could
// not be removed and why.
std::string RemoveLeftoverFile(FileSystem& fs, const std::string& path, const std::string& what);

}  // namespace qax
