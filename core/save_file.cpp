#include "save_file.h"

#include <filesystem>

namespace qax {

void RemoveLeftover(FileSystem& fs, const std::string& path) {
    if (fs.Exists(path)) fs.Remove(path);
}

std::string LinkTarget(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) return path;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? path : target.string();
}

SaveFile::SaveFile(FileSystem& fs, std::string target, Links links)
    : fs_(fs),
      target_(links == Links::RewriteTarget ? LinkTarget(target) : std::move(target)),
      partial_(PartialPathOf(target_)) {
    try {
        RemoveLeftover(fs_, partial_);
        file_ = fs_.Open(partial_, OpenMode::CreateNew);
        // Only a file the name really holds is a model; a link that is to
        // be replaced says nothing about the file that replaces it.
        if (fs_.IsRegularFile(target_) && LinkTarget(target_) == target_) file_->TakeAccessOf(target_);
    } catch (const IoError& error) {
        file_.reset();
        try {
            RemoveLeftover(fs_, partial_);
        } catch (const IoError&) {
            // What is left has the name of an unfinished write, which the
            // next recovery removes; the failure the user must see is the
            // one being thrown.
        }
        // The user knows the file by the name it is written for.
        throw IoError(error.Step(), target_, error.Reason());
    }
}

SaveFile::~SaveFile() {
    if (renamed_ || file_ == nullptr) return;
    try {
        Cancel();
    } catch (const IoError&) {
        // Nothing can be told from a destructor; whoever cancels on a way
        // out that can report does so with Cancel() itself.
    }
}

void SaveFile::Commit() {
    file_->Flush();
    file_->Close();
    fs_.Rename(partial_, target_);
    renamed_ = true;
    file_.reset();
    fs_.SyncDirectoryOf(target_);
}

void SaveFile::Cancel() {
    if (renamed_) return;
    file_.reset();
    RemoveLeftover(fs_, partial_);
}

}  // namespace qax
