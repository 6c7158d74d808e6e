// The file layer's parts that hold on every system: the errors, the
// checked copy, the stoppable wrapper, SaveFile and the error texts. The
// system's own files and lock are in posix_file_system.cpp.
#include "file_access.h"

#include <algorithm>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace qax {

namespace {

std::string DescribeIoError(IoStep step, const std::string& path, std::error_code reason) {
    return std::string("could not ") + IoStepName(step) + " " + path + ": " + reason.message();
}

class DataErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "qax data"; }
    std::string message(int code) const override {
        switch (static_cast<DataError>(code)) {
            case DataError::EndedEarly:
                return "the file ended before all the expected bytes were there";
            case DataError::WrongLength:
                return "the file does not have the length it must have";
            case DataError::NotARegularFile:
                return "it is not a regular file of its own (a link, a pipe, a device or a directory)";
            case DataError::NotItsOwnFile:
                return "it has more than one name (a hard link)";
            case DataError::Stopped:
                return "the program was asked to stop";
            case DataError::Replaced:
                return "another file took its name after it was checked";
            case DataError::NotProved:
                return "it is not a file of this user's that nobody else may change";
        }
        return "unknown data error";
    }
};

}  // namespace

std::error_code MakeDataError(DataError error) {
    static const DataErrorCategory category;
    return {static_cast<int>(error), category};
}

std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

const char* IoStepName(IoStep step) {
    switch (step) {
        case IoStep::Open:
            return "open";
        case IoStep::Read:
            return "read";
        case IoStep::Write:
            return "write";
        case IoStep::Seek:
            return "seek in";
        case IoStep::Length:
            return "measure";
        case IoStep::Flush:
            return "flush";
        case IoStep::Close:
            return "close";
        case IoStep::Rename:
            return "rename";
        case IoStep::Remove:
            return "remove";
    }
    return "access";
}

std::size_t File::TransferFrom(File& source, std::size_t count, std::span<unsigned char> buffer) {
    if (buffer.empty() && count > 0) throw std::invalid_argument("a transfer needs a buffer to move bytes through");
    std::size_t moved = 0;
    while (moved < count) {
        const std::size_t chunk = std::min(count - moved, buffer.size());
        const std::size_t got = source.Read(buffer.data(), chunk);
        if (got > 0) Write(buffer.data(), got);
        moved += got;
        if (got < chunk) break;
    }
    return moved;
}

IoError::IoError(IoStep step, std::string path, std::error_code reason)
    : std::runtime_error(DescribeIoError(step, path, reason)), step_(step), path_(std::move(path)), reason_(reason) {}

LockFileError::LockFileError(std::string path, LockFileProblem problem, std::error_code reason, std::string owner)
    : std::runtime_error(
          "the lock file " + path +
          (problem == LockFileProblem::Unusable ? " cannot be used: " : " cannot be locked for writing: ") +
          reason.message()),
      path_(std::move(path)),
      problem_(problem),
      reason_(reason),
      owner_(std::move(owner)) {}

namespace {

// A file of a StoppableFileSystem: each of its steps is checked too.
class StoppableFile final : public File {
public:
    StoppableFile(StoppableFileSystem& fs, std::unique_ptr<File> inner) : fs_(fs), inner_(std::move(inner)) {}
    // Reading changes nothing, and whatever reads (a check, a recovery
    // proving its copy) must see the files as they are.
    std::size_t Read(void* buffer, std::size_t count) override { return inner_->Read(buffer, count); }
    void Write(const void* buffer, std::size_t count) override {
        fs_.Check(IoStep::Write, Path());
        inner_->Write(buffer, count);
    }
    std::size_t TransferFrom(File& source, std::size_t count, std::span<unsigned char> buffer) override {
        fs_.Check(IoStep::Write, Path());
        auto* stoppable = dynamic_cast<StoppableFile*>(&source);
        return inner_->TransferFrom(stoppable != nullptr ? *stoppable->inner_ : source, count, buffer);
    }
    void Seek(std::uint64_t position) override { inner_->Seek(position); }
    std::uint64_t Position() override { return inner_->Position(); }
    std::uint64_t Length() override { return inner_->Length(); }
    void SetLength(std::uint64_t length) override {
        fs_.Check(IoStep::Write, Path());
        inner_->SetLength(length);
    }
    void Flush() override {
        fs_.Check(IoStep::Flush, Path());
        inner_->Flush();
    }
    void Close() override { inner_->Close(); }
    void TakeAccessOf(const std::string& modelPath) override { inner_->TakeAccessOf(modelPath); }
    void RestrictWritingToOwner() override {
        fs_.Check(IoStep::Write, Path());
        inner_->RestrictWritingToOwner();
    }
    FileFacts Facts() override { return inner_->Facts(); }
    const std::string& Path() const override { return inner_->Path(); }
    std::optional<std::int64_t> ChangeTime() override { return inner_->ChangeTime(); }

private:
    StoppableFileSystem& fs_;
    std::unique_ptr<File> inner_;
};

// A held directory of a StoppableFileSystem: an entry opened for update or
// made is checked as an open for writing; removing and flushing are let through,
// as on the file system itself.
class StoppableDirectory final : public Directory {
public:
    StoppableDirectory(StoppableFileSystem& fs, std::unique_ptr<Directory> inner) : fs_(fs), inner_(std::move(inner)) {}
    std::unique_ptr<File> OpenEntry(const std::string& name, EntryAccess access) override {
        if (access == EntryAccess::Update) fs_.Check(IoStep::Open, PathOf(name));
        return std::make_unique<StoppableFile>(fs_, inner_->OpenEntry(name, access));
    }
    std::unique_ptr<File> CreateEntry(const std::string& name) override {
        fs_.Check(IoStep::Open, PathOf(name));
        return std::make_unique<StoppableFile>(fs_, inner_->CreateEntry(name));
    }
    std::vector<std::string> EntryNames() override { return inner_->EntryNames(); }
    FileFacts Facts() override { return inner_->Facts(); }
    bool HasEntry(const std::string& name) override { return inner_->HasEntry(name); }
    void RemoveEntry(const std::string& name, const FileIdentity& proved) override {
        inner_->RemoveEntry(name, proved);
    }
    void Sync() override { inner_->Sync(); }
    const std::string& Path() const override { return inner_->Path(); }

private:
    StoppableFileSystem& fs_;
    std::unique_ptr<Directory> inner_;
};

}  // namespace

std::string Directory::PathOf(const std::string& name) const {
    return Utf8Of(PathFromUtf8(Path()) / PathFromUtf8(name));
}

std::unique_ptr<Directory> StoppableFileSystem::OpenDirectory(const std::string& path) {
    return std::make_unique<StoppableDirectory>(*this, inner_.OpenDirectory(path));
}

void StoppableFileSystem::Check(IoStep step, const std::string& path) {
    if (stopped_ || committed_ || !stopRequested_()) return;
    stopped_ = true;
    throw IoError(step, path, MakeDataError(DataError::Stopped));
}

std::unique_ptr<File> StoppableFileSystem::Open(const std::string& path, OpenMode mode) {
    if (mode != OpenMode::Read && mode != OpenMode::ReadRegular && mode != OpenMode::ReadOwn) Check(IoStep::Open, path);
    return std::make_unique<StoppableFile>(*this, inner_.Open(path, mode));
}

std::uint64_t StoppableFileSystem::CopyFile(const std::string& from, const std::string& to, CopyTarget target) {
    Check(IoStep::Write, to);
    return inner_.CopyFile(from, to, target);
}

// Renaming, flushing a directory and removing are let through: they are
// how a replacement commits and clears up, and a stop that comes once the
// new index is in place must not leave that half done.
void StoppableFileSystem::Rename(const std::string& from, const std::string& to) {
    inner_.Rename(from, to);
    if (!commitPath_.empty() && !committed_ && inner_.SameFile(to, commitPath_)) committed_ = true;
}

void StoppableFileSystem::RenameNew(const std::string& from, const std::string& to) {
    inner_.RenameNew(from, to);
}

void StoppableFileSystem::MakeDirectory(const std::string& path) {
    Check(IoStep::Write, path);
    inner_.MakeDirectory(path);
}

void StoppableFileSystem::SyncDirectoryOf(const std::string& path) {
    inner_.SyncDirectoryOf(path);
}

void StoppableFileSystem::SyncFileSystemOf(const std::string& path) {
    inner_.SyncFileSystemOf(path);
}

void StoppableFileSystem::Remove(const std::string& path) {
    inner_.Remove(path);
}

bool ReadExactly(File& file, void* buffer, std::size_t count) {
    return file.Read(buffer, count) == count;
}

std::string ReadWholeFile(FileSystem& fs, const std::string& path) {
    auto file = fs.Open(path, OpenMode::Read);
    std::string bytes(static_cast<std::size_t>(file->Length()), '\0');
    if (!bytes.empty() && !ReadExactly(*file, bytes.data(), bytes.size()))
        throw IoError(IoStep::Read, path, MakeDataError(DataError::EndedEarly));
    file->Close();
    return bytes;
}

void CopyExactly(File& from, File& to, std::uint64_t count, std::span<unsigned char> buffer) {
    if (buffer.empty() && count > 0) throw std::invalid_argument("CopyExactly needs a buffer to copy through");
    while (count > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
        if (to.TransferFrom(from, chunk, buffer) != chunk)
            throw IoError(IoStep::Read, from.Path(), MakeDataError(DataError::EndedEarly));
        count -= chunk;
    }
}

void RemoveLeftover(FileSystem& fs, const std::string& path) {
    if (fs.Exists(path)) fs.Remove(path);
}

std::string RandomHex(std::size_t bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device source;
    std::string text;
    for (std::size_t i = 0; i < bytes; ++i) {
        const unsigned value = source() & 0xFFu;
        text += kDigits[value >> 4];
        text += kDigits[value & 0xFu];
    }
    return text;
}

SaveFile::SaveFile(FileSystem& fs, std::string target, Links links, const std::string& partialName)
    : fs_(fs), target_(links == Links::RewriteTarget ? LinkTarget(target) : std::move(target)) {
    const std::filesystem::path directory = PathFromUtf8(target_).parent_path();
    partial_ = partialName.empty() ? PartialPathOf(target_) : Utf8Of(directory / PathFromUtf8(partialName));
    try {
        // Whatever already has the partial name may be anyone's (a user's
        // file, a link planted there): it is left alone, and the new bytes
        // go to a name of their own instead. The exclusive create fails
        // rather than follow anything that appears in between.
        if (fs_.Exists(partial_))
            partial_ = Utf8Of(
                directory / PathFromUtf8("." + Utf8Of(PathFromUtf8(target_).filename()) + "." + RandomHex(8) + ".new"));
        file_ = fs_.Open(partial_, OpenMode::CreateNew);
        // Only a file the name really holds is a model; a link that is to
        // be replaced says nothing about the file that replaces it.
        if (fs_.IsRegularFile(target_) && LinkTarget(target_) == target_) file_->TakeAccessOf(target_);
    } catch (const IoError& error) {
        if (file_ != nullptr) {
            file_.reset();
            try {
                RemoveLeftover(fs_, partial_);
            } catch (const IoError&) {
                // The failure the user must see is the one being thrown.
            }
        }
        // The user knows the file by the name it is written for.
        throw IoError(error.Step(), target_, error.Reason());
    }
}

SaveFile::~SaveFile() {
    if (renamed_ || (file_ == nullptr && !closed_)) return;
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

void SaveFile::Close() {
    file_->Close();
    file_.reset();
    closed_ = true;
}

void SaveFile::CommitDurable() {
    fs_.Rename(partial_, target_);
    renamed_ = true;
}

void SaveFile::Cancel() {
    if (renamed_ || (file_ == nullptr && !closed_)) return;
    file_.reset();
    // Made by this object with an exclusive create: its own to remove.
    RemoveLeftover(fs_, partial_);
}

void FileErrorReport(ReportSink& sink, const std::string& path) {
    sink.ShowMessage("Could not open " + path + "\n", kFileErrorCaption);
}

std::string FileErrorText(const IoError& error) {
    if (error.Step() == IoStep::Open) return "Could not open " + error.Path() + "\n";
    return std::string("Could not ") + IoStepName(error.Step()) + " " + error.Path() + "\n(" +
           error.Reason().message() + ")";
}

void FileErrorReport(ReportSink& sink, const IoError& error) {
    sink.ShowFileError(FileErrorText(error), kFileErrorCaption, error.Reason().message());
}

}  // namespace qax
