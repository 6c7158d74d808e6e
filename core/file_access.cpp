#include "file_access.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace qax {

namespace {

std::error_code LastSystemError() {
    return {errno != 0 ? errno : EIO, std::generic_category()};
}

std::string DescribeIoError(IoStep step, const std::string& path, std::error_code reason) {
    return std::string("could not ") + IoStepName(step) + " " + path + ": " + reason.message();
}

int OpenFlags(OpenMode mode) {
    switch (mode) {
        case OpenMode::Read:
            return O_RDONLY;
        case OpenMode::ReadRegular:
            return O_RDONLY | O_NONBLOCK;
        case OpenMode::ReadOwn:
            return O_RDONLY | O_NONBLOCK | O_NOFOLLOW;
        case OpenMode::ReadUpdate:
            return O_RDWR;
        case OpenMode::WriteTruncate:
            return O_WRONLY | O_CREAT | O_TRUNC;
        case OpenMode::CreateNew:
            // O_EXCL with O_CREAT fails on any existing name, a link (even
            // a dangling one) included, so nothing is ever written through
            // one.
            return O_WRONLY | O_CREAT | O_EXCL;
    }
    return O_RDONLY;
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
        }
        return "unknown data error";
    }
};

// Moves up to `count` bytes between two descriptors at explicit positions
// inside the kernel, without passing them through this process, advancing
// the positions. Returns how many it moved; stops early, without an error,
// where the kernel cannot or will not go on (another file system, the end
// of the source, a failure): the caller carries on with plain reads and
// writes, which also say exactly which side failed.
std::uint64_t KernelTransfer(int fromFd, off_t& from, int toFd, off_t& to, std::uint64_t count) {
    std::uint64_t moved = 0;
#if defined(__linux__)
    constexpr std::uint64_t kLargestRequest = std::uint64_t{1} << 30;
    while (moved < count) {
        errno = 0;
        const ssize_t done = ::copy_file_range(fromFd, &from, toFd, &to,
                                               static_cast<std::size_t>(std::min(count - moved, kLargestRequest)), 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        moved += static_cast<std::uint64_t>(done);
    }
#else
    (void)fromFd;
    (void)from;
    (void)toFd;
    (void)to;
    (void)count;
#endif
    return moved;
}

// The one handle on an open file: a POSIX descriptor, closed silently on the
// way out of a failure and with a check by Close() on the way out of
// success. Nothing is buffered in this process, so what a method has
// written is with the system when it returns.
class DescriptorFile final : public File {
public:
    DescriptorFile(std::string path, int flags, DiskSync sync) : path_(std::move(path)), sync_(sync) {
        errno = 0;
        do {
            fd_ = path_.empty() ? -1 : ::open(path_.c_str(), flags | O_CLOEXEC, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0 && errno == ELOOP && (flags & O_NOFOLLOW) != 0)
            throw IoError(IoStep::Open, path_, MakeDataError(DataError::NotARegularFile));
        if (fd_ < 0)
            throw IoError(
                IoStep::Open, path_,
                path_.empty() ? std::make_error_code(std::errc::no_such_file_or_directory) : LastSystemError());
    }
    ~DescriptorFile() override {
        if (fd_ >= 0) ::close(fd_);
    }

    std::size_t Read(void* buffer, std::size_t count) override {
        Require(IoStep::Read);
        auto* at = static_cast<unsigned char*>(buffer);
        std::size_t done = 0;
        while (done < count) {
            errno = 0;
            const ssize_t got = ::read(fd_, at + done, count - done);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) Fail(IoStep::Read);
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

    void Write(const void* buffer, std::size_t count) override {
        Require(IoStep::Write);
        const auto* at = static_cast<const unsigned char*>(buffer);
        while (count > 0) {
            errno = 0;
            const ssize_t done = ::write(fd_, at, count);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) Fail(IoStep::Write);
            at += done;
            count -= static_cast<std::size_t>(done);
        }
    }

    void Seek(std::uint64_t position) override {
        Require(IoStep::Seek);
        errno = 0;
        if (position > static_cast<std::uint64_t>(INT64_MAX) ||
            ::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0)
            Fail(IoStep::Seek);
    }

    std::uint64_t Position() override {
        Require(IoStep::Seek);
        errno = 0;
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        if (at < 0) Fail(IoStep::Seek);
        return static_cast<std::uint64_t>(at);
    }

    // Measured through the handle itself: the file it names, whatever has
    // happened to its path since it was opened.
    std::uint64_t Length() override { return static_cast<std::uint64_t>(Status().st_size); }

    void SetLength(std::uint64_t length) override {
        Require(IoStep::Write);
        errno = 0;
        if (length > static_cast<std::uint64_t>(INT64_MAX) || ::ftruncate(fd_, static_cast<off_t>(length)) != 0)
            Fail(IoStep::Write);
    }

    void Flush() override {
        Require(IoStep::Flush);
        Sync(sync_);
    }

    void Close() override {
        Require(IoStep::Close);
        const int fd = std::exchange(fd_, -1);
        errno = 0;
        if (::close(fd) != 0) Fail(IoStep::Close);
    }

    std::size_t TransferFrom(File& source, std::size_t count, std::span<unsigned char> buffer) override {
        auto* from = dynamic_cast<DescriptorFile*>(&source);
        if (from == nullptr) return File::TransferFrom(source, count, buffer);
        Require(IoStep::Write);
        from->Require(IoStep::Read);
        off_t fromAt = static_cast<off_t>(from->Position());
        off_t toAt = static_cast<off_t>(Position());
        const auto moved = static_cast<std::size_t>(KernelTransfer(from->fd_, fromAt, fd_, toAt, count));
        from->Seek(static_cast<std::uint64_t>(fromAt));
        Seek(static_cast<std::uint64_t>(toAt));
        if (moved == count) return moved;
        return moved + File::TransferFrom(source, count - moved, buffer);
    }

    const std::string& Path() const override { return path_; }

    void TakeAccessOf(const std::string& modelPath) override {
        Require(IoStep::Write);
        struct stat model {};
        errno = 0;
        if (::stat(modelPath.c_str(), &model) != 0) throw IoError(IoStep::Open, modelPath, LastSystemError());
        // Owner first: changing it may clear the set-id bits the mode then
        // puts back. Without the privilege to give the file away, the group
        // alone is kept where the process belongs to it; otherwise the file
        // stays the process's own, as any file it creates is.
        if (::fchown(fd_, model.st_uid, model.st_gid) != 0) (void)::fchown(fd_, static_cast<uid_t>(-1), model.st_gid);
        if (::fchmod(fd_, model.st_mode & 07777) != 0) Fail(IoStep::Write);
    }

    // Pushes what the system holds of the file to the disk (when asked to).
    void Sync(DiskSync sync) const {
        errno = 0;
        if (sync == DiskSync::On && ::fsync(fd_) != 0) Fail(IoStep::Flush);
    }
    bool IsSameFileAs(const DescriptorFile& other) const {
        const struct stat mine = Status();
        const struct stat theirs = other.Status();
        return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
    }
    int Descriptor() const { return fd_; }
    // Judged on the open descriptor, so that what was checked is what is
    // read. The open did not wait (O_NONBLOCK); a regular file reads the
    // same with or without it, so the flag is simply cleared.
    void RequireRegular(bool singleName) const {
        const struct stat status = Status();
        if (!S_ISREG(status.st_mode)) throw IoError(IoStep::Open, path_, MakeDataError(DataError::NotARegularFile));
        if (singleName && status.st_nlink != 1)
            throw IoError(IoStep::Open, path_, MakeDataError(DataError::NotItsOwnFile));
        // The system's pseudo-files (/proc) call themselves regular and
        // empty, yet read as text made up on the spot: no fixed bytes.
        char probe = 0;
        if (status.st_size == 0 && ::pread(fd_, &probe, 1, 0) > 0)
            throw IoError(IoStep::Open, path_, MakeDataError(DataError::NotARegularFile));
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) Fail(IoStep::Open);
    }
    // Hands the descriptor over; this object no longer closes it.
    int Release() { return std::exchange(fd_, -1); }

private:
    struct stat Status() const {
        Require(IoStep::Length);
        struct stat status {};
        errno = 0;
        if (::fstat(fd_, &status) != 0) Fail(IoStep::Length);
        return status;
    }
    void Require(IoStep step) const {
        if (fd_ < 0) throw IoError(step, path_, std::make_error_code(std::errc::bad_file_descriptor));
    }
    [[noreturn]] void Fail(IoStep step) const { throw IoError(step, path_, LastSystemError()); }

    std::string path_;
    DiskSync sync_;
    int fd_ = -1;
};

// Large enough that the system calls cost nothing next to the bytes moved,
// small enough that copying a whole archive keeps memory flat.
constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;

}  // namespace

std::error_code MakeDataError(DataError error) {
    static const DataErrorCategory category;
    return {static_cast<int>(error), category};
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

std::unique_ptr<File> PosixFileSystem::Open(const std::string& path, OpenMode mode) {
    auto file = std::make_unique<DescriptorFile>(path, OpenFlags(mode), sync_);
    if (mode == OpenMode::ReadRegular || mode == OpenMode::ReadOwn) file->RequireRegular(mode == OpenMode::ReadOwn);
    return file;
}

std::uint64_t PosixFileSystem::CopyFile(const std::string& from, const std::string& to, CopyTarget mode) {
    DescriptorFile source(from, O_RDONLY, sync_);
    // The length is taken once, before the copy: the copy must hold exactly
    // the bytes the source had when it began, never fewer.
    const std::uint64_t length = source.Length();
    // Opened without truncation first: emptying a target that is the source
    // under another name would destroy the very bytes about to be copied.
    // A new file is created exclusively, so nothing is ever written through
    // a link that someone left with its name.
    DescriptorFile target(to, O_WRONLY | O_CREAT | (mode == CopyTarget::NewFile ? O_EXCL : 0), sync_);
    if (target.IsSameFileAs(source)) throw IoError(IoStep::Open, to, std::make_error_code(std::errc::file_exists));
    target.SetLength(0);

    off_t fromAt = 0;
    off_t toAt = 0;
    std::uint64_t copied = KernelTransfer(source.Descriptor(), fromAt, target.Descriptor(), toAt, length);
    source.Seek(copied);
    target.Seek(copied);
    std::vector<unsigned char> buffer;
    while (copied < length) {
        buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length - copied, kCopyBufferSize)));
        const std::size_t got = source.Read(buffer.data(), buffer.size());
        if (got == 0) throw IoError(IoStep::Read, from, MakeDataError(DataError::EndedEarly));
        target.Write(buffer.data(), got);
        copied += got;
    }
    if (target.Length() != length) throw IoError(IoStep::Write, to, MakeDataError(DataError::WrongLength));
    target.Sync(sync_);
    target.Close();
    source.Close();
    return copied;
}

void PosixFileSystem::Rename(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (ec) throw IoError(IoStep::Rename, from, ec);
}

void PosixFileSystem::SyncDirectoryOf(const std::string& path) {
    if (sync_ == DiskSync::Off) return;
    std::string directory = std::filesystem::path(path).parent_path().string();
    if (directory.empty()) directory = ".";
    DescriptorFile handle(directory, O_RDONLY | O_DIRECTORY, sync_);
    handle.Sync(sync_);
    handle.Close();
}

void PosixFileSystem::SyncFileSystemOf(const std::string& path) {
    if (sync_ == DiskSync::Off) return;
    DescriptorFile handle(path.empty() ? "." : path, O_RDONLY, sync_);
    if (::syncfs(handle.Descriptor()) != 0) throw IoError(IoStep::Flush, path, LastSystemError());
    handle.Close();
}

void PosixFileSystem::Remove(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::remove(path, ec) && ec) throw IoError(IoStep::Remove, path, ec);
}

bool PosixFileSystem::IsRegularFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

bool PosixFileSystem::Exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

bool PosixFileSystem::MayWrite(const std::string& path) {
    return !path.empty() && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::uint64_t PosixFileSystem::LinkCount(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) throw IoError(IoStep::Length, path, LastSystemError());
    return static_cast<std::uint64_t>(status.st_nlink);
}

bool PosixFileSystem::SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (a.empty() || b.empty()) return false;
    bool same = std::filesystem::equivalent(a, b, ec);
    return !ec && same;
}

namespace {

// A file of a StoppableFileSystem: each of its steps is checked too.
class StoppableFile final : public File {
public:
    StoppableFile(StoppableFileSystem& fs, std::unique_ptr<File> inner) : fs_(fs), inner_(std::move(inner)) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        fs_.Check(IoStep::Read, Path());
        return inner_->Read(buffer, count);
    }
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
    const std::string& Path() const override { return inner_->Path(); }

private:
    StoppableFileSystem& fs_;
    std::unique_ptr<File> inner_;
};

}  // namespace

void StoppableFileSystem::Check(IoStep step, const std::string& path) {
    if (stopped_ || !stopRequested_()) return;
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

std::unique_ptr<DirectoryLock> DirectoryLock::TryAcquire(const std::string& directory, LockKind kind) {
    DescriptorFile handle(directory.empty() ? "." : directory, O_RDONLY | O_DIRECTORY, DiskSync::Off);
    for (;;) {
        errno = 0;
        if (::flock(handle.Descriptor(), (kind == LockKind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) break;
        if (errno == EWOULDBLOCK) return nullptr;
        if (errno != EINTR) throw IoError(IoStep::Open, directory, LastSystemError());
    }
    return std::unique_ptr<DirectoryLock>(new DirectoryLock(handle.Release()));
}

DirectoryLock::~DirectoryLock() {
    ::close(fd_);  // drops the lock
}

void DirectoryLock::Share() {
    // Converting to shared never has to wait: this holder is the only one.
    while (::flock(fd_, LOCK_SH) != 0 && errno == EINTR) {
    }
}

std::string DirectoryLock::DescribeHolders(const std::string& directory) {
    struct stat info {};
    if (::stat(directory.empty() ? "." : directory.c_str(), &info) != 0) return {};
    // A line of the table: "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF",
    // the device in hexadecimal and the inode in decimal.
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%lu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long>(info.st_ino));
    std::ifstream locks("/proc/locks");
    std::string described;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, type, advisory, access, pid, where;
        if (!(fields >> number >> type) || type == "->" || type != "FLOCK") continue;
        if (!(fields >> advisory >> access >> pid >> where) || where != device) continue;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        std::getline(comm, name);
        if (!described.empty()) described += ", ";
        described += (name.empty() ? std::string("a program") : name) + " (process " + pid + ")";
    }
    return described;
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

std::string LinkTarget(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) return path;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? path : target.string();
}

SaveFile::SaveFile(FileSystem& fs, std::string target, Links links, const std::string& partialName)
    : fs_(fs), target_(links == Links::RewriteTarget ? LinkTarget(target) : std::move(target)) {
    const std::filesystem::path directory = std::filesystem::path(target_).parent_path();
    partial_ = partialName.empty() ? PartialPathOf(target_) : (directory / partialName).string();
    try {
        // Whatever already has the partial name may be anyone's (a user's
        // file, a link planted there): it is left alone, and the new bytes
        // go to a name of their own instead. The exclusive create fails
        // rather than follow anything that appears in between.
        if (fs_.Exists(partial_))
            partial_ =
                (directory / ("." + std::filesystem::path(target_).filename().string() + "." + RandomHex(8) + ".new"))
                    .string();
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
