// The file layer on a POSIX system: files as descriptors, the kernel's own
// copy, flushes that wait for the disk, and the data set's lock as an
// advisory lock on its directory.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "data_set.h"
#include "file_access.h"

namespace qax {

namespace {

std::error_code LastSystemError() {
    return {errno != 0 ? errno : EIO, std::generic_category()};
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
    // Takes over a descriptor opened elsewhere (relative to a held
    // directory); `path` only names it in messages.
    DescriptorFile(std::string path, DiskSync sync, int adopted) : path_(std::move(path)), sync_(sync), fd_(adopted) {}
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

    std::optional<std::int64_t> ChangeTime() override {
        const struct stat status = Status();
        return std::int64_t{status.st_ctim.tv_sec} * 1000000000 + status.st_ctim.tv_nsec;
    }

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

    void RestrictWritingToOwner() override {
        const mode_t mode = Status().st_mode & 07777;
        errno = 0;
        if (::fchmod(fd_, mode & ~static_cast<mode_t>(S_IWGRP | S_IWOTH)) != 0) Fail(IoStep::Write);
    }

    FileFacts Facts() override {
        const struct stat status = Status();
        return {.regular = S_ISREG(status.st_mode),
                .links = static_cast<std::uint64_t>(status.st_nlink),
                .ownedByProcess = status.st_uid == ::geteuid(),
                .othersMayWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0,
                .identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)}};
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

// A directory held by a descriptor: its entries are opened, compared and
// removed with the *at calls relative to it, so nothing on the way to it
// is looked up again once it is held.
class DescriptorDirectory final : public Directory {
public:
    DescriptorDirectory(std::string path, DiskSync sync)
        : path_(std::move(path)),
          handle_(path_.empty() ? std::string(".") : path_, O_RDONLY | O_DIRECTORY, sync),
          sync_(sync) {}

    std::unique_ptr<File> OpenEntry(const std::string& name, EntryAccess access) override {
        const std::string path = PathOf(name);
        RequirePlainName(name, IoStep::Open);
        const int flags = (access == EntryAccess::Update ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        int fd = -1;
        errno = 0;
        do {
            fd = ::openat(handle_.Descriptor(), name.c_str(), flags);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno == ELOOP) throw IoError(IoStep::Open, path, MakeDataError(DataError::NotARegularFile));
        if (fd < 0) throw IoError(IoStep::Open, path, LastSystemError());
        auto file = std::make_unique<DescriptorFile>(path, sync_, fd);
        file->RequireRegular(false);
        return file;
    }

    // Made with no write bits for anyone but its owner, whatever the
    // user's file mask lets through.
    std::unique_ptr<File> CreateEntry(const std::string& name) override {
        const std::string path = PathOf(name);
        RequirePlainName(name, IoStep::Open);
        int fd = -1;
        errno = 0;
        do {
            fd = ::openat(handle_.Descriptor(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0644);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) throw IoError(IoStep::Open, path, LastSystemError());
        return std::make_unique<DescriptorFile>(path, sync_, fd);
    }

    std::vector<std::string> EntryNames() override {
        // A second descriptor of the same directory, read from its start:
        // the held one keeps its own position, and closing the listing
        // closes only the copy.
        errno = 0;
        const int copy = ::openat(handle_.Descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (copy < 0) throw IoError(IoStep::Read, path_, LastSystemError());
        DIR* listing = ::fdopendir(copy);
        if (listing == nullptr) {
            const IoError error(IoStep::Read, path_, LastSystemError());
            ::close(copy);
            throw error;
        }
        std::vector<std::string> names;
        errno = 0;
        while (const struct dirent* entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
            errno = 0;
        }
        const int failure = errno;
        ::closedir(listing);
        if (failure != 0) throw IoError(IoStep::Read, path_, {failure, std::generic_category()});
        return names;
    }

    FileFacts Facts() override { return handle_.Facts(); }

    bool HasEntry(const std::string& name) override {
        struct stat status {};
        return IsPlainName(name) && ::fstatat(handle_.Descriptor(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    }

    // POSIX removes names, never open files; so the name is looked at
    // through the held directory right before it goes, and removed only
    // while it is still the file that was proved. Whoever could give the
    // name to another file in between may write this directory, and so
    // could have removed that file himself: nothing outside the directory,
    // and nothing he could not reach, can be lost this way.
    void RemoveEntry(const std::string& name, const FileIdentity& proved) override {
        const std::string path = PathOf(name);
        RequirePlainName(name, IoStep::Remove);
        struct stat status {};
        errno = 0;
        if (::fstatat(handle_.Descriptor(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            throw IoError(IoStep::Remove, path, LastSystemError());
        const FileIdentity found{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
        if (found != proved) throw IoError(IoStep::Remove, path, MakeDataError(DataError::Replaced));
        errno = 0;
        if (::unlinkat(handle_.Descriptor(), name.c_str(), 0) != 0)
            throw IoError(IoStep::Remove, path, LastSystemError());
    }

    void Sync() override { handle_.Sync(sync_); }
    const std::string& Path() const override { return path_; }

private:
    static bool IsPlainName(const std::string& name) {
        return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
    }
    void RequirePlainName(const std::string& name, IoStep step) const {
        if (!IsPlainName(name)) throw IoError(step, PathOf(name), std::make_error_code(std::errc::invalid_argument));
    }

    std::string path_;
    DescriptorFile handle_;
    DiskSync sync_;
};

// Large enough that the system calls cost nothing next to the bytes moved,
// small enough that copying a whole archive keeps memory flat.
constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;

}  // namespace

std::unique_ptr<File> SystemFileSystem::Open(const std::string& path, OpenMode mode) {
    auto file = std::make_unique<DescriptorFile>(path, OpenFlags(mode), sync_);
    if (mode == OpenMode::ReadRegular || mode == OpenMode::ReadOwn) file->RequireRegular(mode == OpenMode::ReadOwn);
    return file;
}

std::unique_ptr<Directory> SystemFileSystem::OpenDirectory(const std::string& path) {
    return std::make_unique<DescriptorDirectory>(path, sync_);
}

std::uint64_t SystemFileSystem::CopyFile(const std::string& from, const std::string& to, CopyTarget mode) {
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

void SystemFileSystem::Rename(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (ec) throw IoError(IoStep::Rename, from, ec);
}

// The system refuses to rename over a name that is taken (RENAME_NOREPLACE);
// where a file system cannot do that, a second name that cannot be made
// over a taken one, and then the first name removed, does the same.
void SystemFileSystem::RenameNew(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno != EINVAL && errno != ENOSYS) throw IoError(IoStep::Rename, to, LastSystemError());
    if (::link(from.c_str(), to.c_str()) != 0) throw IoError(IoStep::Rename, to, LastSystemError());
    if (::unlink(from.c_str()) != 0) throw IoError(IoStep::Remove, from, LastSystemError());
}

// Whatever the user's file mask lets through, nobody but the owner may add
// to it or take from it: what the program keeps there is proved by that.
void SystemFileSystem::MakeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0) throw IoError(IoStep::Write, path, LastSystemError());
}

void SystemFileSystem::SyncDirectoryOf(const std::string& path) {
    if (sync_ == DiskSync::Off) return;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    DescriptorFile handle(parent.empty() ? std::string(".") : parent.string(), O_RDONLY | O_DIRECTORY, sync_);
    handle.Sync(sync_);
    handle.Close();
}

void SystemFileSystem::SyncFileSystemOf(const std::string& path) {
    if (sync_ == DiskSync::Off) return;
    DescriptorFile handle(path.empty() ? "." : path, O_RDONLY, sync_);
    if (::syncfs(handle.Descriptor()) != 0) throw IoError(IoStep::Flush, path, LastSystemError());
    handle.Close();
}

void SystemFileSystem::Remove(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::remove(path, ec) && ec) throw IoError(IoStep::Remove, path, ec);
}

bool SystemFileSystem::IsRegularFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

bool SystemFileSystem::Exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

bool SystemFileSystem::MayWrite(const std::string& path) {
    return !path.empty() && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::uint64_t SystemFileSystem::LinkCount(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) throw IoError(IoStep::Length, path, LastSystemError());
    return static_cast<std::uint64_t>(status.st_nlink);
}

bool SystemFileSystem::SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (a.empty() || b.empty()) return false;
    bool same = std::filesystem::equivalent(a, b, ec);
    return !ec && same;
}

std::string LinkTarget(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec)) return path;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    return ec ? path : target.string();
}

bool SameDirectory(const std::string& a, const std::string& b) {
    return a == b;
}

std::string FileNameProblem(const std::string&) {
    return {};
}

std::optional<std::string> RunningProgramPath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || !self.is_absolute()) return std::nullopt;
    return self.string();
}

namespace {

// The Windows build, which cannot lock a directory, locks the first byte of
// kLockFileName beside the index; Wine gives that lock to the system as a
// record lock on the same byte. So that a Linux and a Windows editor of one
// data set (a Windows tool under Wine, or two systems sharing a folder)
// never change it at once, this build takes the same lock on the same byte
// besides its lock on the directory, which older Linux editors know.

#ifdef F_OFD_SETLK
// Held by the open file, not the process: closing another descriptor of the
// file never drops it, and it meets Wine's record locks all the same.
constexpr int kSetRecordLock = F_OFD_SETLK;
#else
constexpr int kSetRecordLock = F_SETLK;
#endif

// Locks byte 0 of `fd` as `type` without waiting; false when another holder
// keeps it.
bool LockFirstByte(int fd, short type, const std::string& path) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    for (;;) {
        errno = 0;
        if (::fcntl(fd, kSetRecordLock, &range) == 0) return true;
        if (errno == EAGAIN || errno == EACCES) return false;
        if (errno != EINTR) throw LockFileError(path, LockFileProblem::Unusable, LastSystemError());
    }
}

int OpenLockFileAt(int directory, int flags) {
    int fd = -1;
    do {
        errno = 0;
        fd = ::openat(directory, kLockFileName, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The name of the user `uid`, or its number where the system has no name.
std::string UserName(uid_t uid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) return found->pw_name;
    return "user " + std::to_string(uid);
}

// The lock file as this user may open it: for writing where it may (made
// where it is missing), else for reading, and then why it may not write it.
struct OpenedLockFile {
    std::unique_ptr<DescriptorFile> file;        // none: absent and not to be made, or unreadable
    std::optional<LockFileProblem> notWritable;  // why it cannot be locked for writing
    std::error_code reason;                      // the system's word for that
    std::string owner;                           // the owner, where that is why
};

// Never through a link, never a pipe or device: something else with the
// file's name makes the lock file unusable.
OpenedLockFile OpenLockFile(int directory, const std::string& path) {
    OpenedLockFile opened;
    int fd = OpenLockFileAt(directory, O_RDWR | O_CREAT);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        const int writeError = errno;
        opened.reason = {writeError, std::generic_category()};
        struct stat status {};
        if (::fstatat(directory, kLockFileName, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            // Absent: no one who could change the data set could have made
            // it either, as the Windows build judges the same.
            opened.notWritable = writeError == EROFS ? LockFileProblem::ReadOnlyMedium : LockFileProblem::CannotBeMade;
            return opened;
        }
        if (writeError == EROFS) {
            opened.notWritable = LockFileProblem::ReadOnlyMedium;
        } else if (writeError == EPERM) {
            opened.notWritable = LockFileProblem::Unchangeable;
        } else if (status.st_uid != ::geteuid()) {
            opened.notWritable = LockFileProblem::OtherOwner;
            opened.owner = UserName(status.st_uid);
        } else {
            opened.notWritable = LockFileProblem::NotWritable;
        }
        fd = OpenLockFileAt(directory, O_RDONLY);
        if (fd < 0 && errno == EACCES) return opened;
    }
    if (fd < 0) {
        throw LockFileError(path, LockFileProblem::Unusable,
                            errno == ELOOP ? MakeDataError(DataError::NotARegularFile) : LastSystemError());
    }
    opened.file = std::make_unique<DescriptorFile>(path, DiskSync::Off, fd);
    try {
        opened.file->RequireRegular(false);
    } catch (const IoError& error) {
        throw LockFileError(path, LockFileProblem::Unusable, error.Reason());
    }
    return opened;
}

}  // namespace

std::unique_ptr<DirectoryLock> DirectoryLock::TryAcquire(const std::string& directory, LockKind kind) {
    DescriptorFile handle(directory.empty() ? "." : directory, O_RDONLY | O_DIRECTORY, DiskSync::Off);
    for (;;) {
        errno = 0;
        if (::flock(handle.Descriptor(), (kind == LockKind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) break;
        if (errno == EWOULDBLOCK) return nullptr;
        if (errno != EINTR) throw IoError(IoStep::Open, directory, LastSystemError());
    }
    const std::string lockPath = Utf8Of(PathFromUtf8(directory.empty() ? "." : directory) / kLockFileName);
    const OpenedLockFile lockFile = OpenLockFile(handle.Descriptor(), lockPath);
    if (kind == LockKind::Exclusive && lockFile.notWritable) {
        // A change needs the write lock that keeps the other build out. One
        // who holds the file's lock for writing now is working: busy, as
        // any holder makes it.
        if (lockFile.file && !LockFirstByte(lockFile.file->Descriptor(), F_RDLCK, lockPath)) return nullptr;
        throw LockFileError(lockPath, *lockFile.notWritable, lockFile.reason, lockFile.owner);
    }
    if (lockFile.file &&
        !LockFirstByte(lockFile.file->Descriptor(), kind == LockKind::Exclusive ? F_WRLCK : F_RDLCK, lockPath))
        return nullptr;
    return std::unique_ptr<DirectoryLock>(
        new DirectoryLock(handle.Release(), lockFile.file ? lockFile.file->Release() : -1));
}

DirectoryLock::~DirectoryLock() {
    // Closing drops each lock.
    if (lockFile_ >= 0) ::close(static_cast<int>(lockFile_));
    ::close(static_cast<int>(handle_));
}

void DirectoryLock::Share() {
    // Converting to shared never has to wait: this holder is the only one.
    while (::flock(static_cast<int>(handle_), LOCK_SH) != 0 && errno == EINTR) {
    }
    if (lockFile_ >= 0) {
        struct flock range {};
        range.l_type = F_RDLCK;
        range.l_whence = SEEK_SET;
        range.l_len = 1;
        while (::fcntl(static_cast<int>(lockFile_), kSetRecordLock, &range) != 0 && errno == EINTR) {
        }
    }
}

std::string DirectoryLock::DescribeHolders(const std::string& directory) {
    const std::string dir = directory.empty() ? "." : directory;
    // Where each lock is kept in the system's table: "08:01:5678", the
    // device in hexadecimal and the inode in decimal.
    const auto where = [](const std::string& path) -> std::string {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return {};
        char text[64];
        std::snprintf(text, sizeof text, "%02x:%02x:%lu", major(info.st_dev), minor(info.st_dev),
                      static_cast<unsigned long>(info.st_ino));
        return text;
    };
    const std::string directoryLock = where(dir);
    const std::string fileLock = where(Utf8Of(PathFromUtf8(dir) / kLockFileName));
    if (directoryLock.empty()) return {};
    // A line of the table: "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF".
    // The lock file's record locks name their process where it is known (a
    // lock held by an open file rather than a process says -1).
    std::ifstream locks("/proc/locks");
    std::string described;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, type, advisory, access, pid, at;
        if (!(fields >> number >> type) || type == "->") continue;
        if (!(fields >> advisory >> access >> pid >> at) || pid == "-1") continue;
        const bool onDirectory = type == "FLOCK" && at == directoryLock;
        const bool onLockFile = (type == "POSIX" || type == "OFDLCK") && !fileLock.empty() && at == fileLock;
        if (!onDirectory && !onLockFile) continue;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        std::getline(comm, name);
        const std::string holder = (name.empty() ? std::string("a program") : name) + " (process " + pid + ")";
        if (described.find(holder) != std::string::npos) continue;
        if (!described.empty()) described += ", ";
        described += holder;
    }
    return described;
}

}  // namespace qax
