#include "save_file.h"

namespace qax {

void RemoveLeftover(FileSystem& fs, const std::string& path) {
    if (fs.Exists(path)) fs.Remove(path);
}

SaveFile::SaveFile(FileSystem& fs, std::string target)
    : fs_(fs), target_(std::move(target)), partial_(PartialPathOf(target_)) {
    try {
        RemoveLeftover(fs_, partial_);
        file_ = fs_.Open(partial_, OpenMode::CreateNew);
    } catch (const IoError& error) {
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
