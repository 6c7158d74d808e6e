// Writing a file so that its name only ever holds the old bytes or the
// complete new ones: the new bytes go to a fresh file beside it, which is
// flushed to disk and then renamed over the name, and the directory is
// flushed so that the rename itself survives a power cut.
//
// The file beside it is always created new: whatever already has its name
// (a leftover of an earlier run, or a link someone planted there) is removed
// first, the link itself and never what it points to, and the exclusive
// create then fails rather than follow anything that appeared in between.
// The new file takes the permission bits, and as far as the process may set
// them the owner and group, of the file it replaces.
#pragma once

#include <memory>
#include <string>

#include "file_access.h"

namespace qax {

class SaveFile {
public:
    // Where the new bytes are written before they take `target`'s place.
    static std::string PartialPathOf(const std::string& target) { return target + ".new"; }

    // What a target that is a symbolic link means: the file it points to,
    // rewritten where it lies so the link stays (a data file shared between
    // products), or just the name, whose link is replaced (an output the
    // editor makes: whatever the link points to is never written).
    enum class Links { RewriteTarget, ReplaceLink };

    // Creates the partial file. IoError (naming `target`) when it cannot.
    SaveFile(FileSystem& fs, std::string target, Links links);
    // Cancels, silently, unless committed.
    ~SaveFile();
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;

    File& Stream() { return *file_; }

    // Flushes the new bytes to disk, renames them over the target and
    // flushes the directory. When this throws, Renamed() tells whether the
    // target already holds the new bytes (only the directory flush failed).
    void Commit();
    bool Renamed() const { return renamed_; }

    // Closes and removes the partial file; IoError when it cannot be removed.
    void Cancel();

    // The name the new bytes take: `target`, or the file its link points to.
    const std::string& Target() const { return target_; }

private:
    FileSystem& fs_;
    std::string target_;
    std::string partial_;
    std::unique_ptr<File> file_;
    bool renamed_ = false;
};

// Removes whatever has `path` as its name: a file, a link (the link itself,
// never its target) or an empty directory. IoError when it is there and
// cannot be removed, a directory with something in it for one.
void RemoveLeftover(FileSystem& fs, const std::string& path);

// The file a symbolic link finally points to; `path` itself when it is no
// link, or a link that leads nowhere.
std::string LinkTarget(const std::string& path);

}  // namespace qax
