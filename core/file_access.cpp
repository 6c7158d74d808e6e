#include "file_access.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
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

const char* ModeString(OpenMode mode) {
    switch (mode) {
        case OpenMode::Read:
            return "rb";
        case OpenMode::ReadUpdate:
            return "r+b";
        case OpenMode::WriteTruncate:
            return "wb";
        case OpenMode::CreateNew:
            // "x" adds O_EXCL: the open fails on any existing name, a link
            // included, so nothing is ever written through one.
            return "wbx";
    }
    return "rb";
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
        }
        return "unknown data error";
    }
};

// Moves up to `count` bytes between two descriptors at explicit positions
// inside the kernel, advancing the positions. Returns how many it moved;
// stops early, without an error, where the kernel cannot or will not go on.
std::size_t KernelTransfer(int fromFd, off_t& from, int toFd, off_t& to, std::size_t count) {
    std::size_t moved = 0;
#if defined(__linux__)
    while (moved < count) {
        errno = 0;
        const ssize_t done = ::copy_file_range(fromFd, &from, toFd, &to, count - moved, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        moved += static_cast<std::size_t>(done);
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

class StdioFile final : public File {
public:
    StdioFile(std::FILE* stream, std::string path, DiskSync sync)
        : stream_(stream), path_(std::move(path)), sync_(sync) {}
    ~StdioFile() override {
        if (stream_ != nullptr) std::fclose(stream_);
    }

    std::size_t Read(void* buffer, std::size_t count) override {
        Require(IoStep::Read);
        errno = 0;
        std::size_t done = std::fread(buffer, 1, count, stream_);
        if (done < count && std::ferror(stream_)) Fail(IoStep::Read);
        return done;
    }

    void Write(const void* buffer, std::size_t count) override {
        Require(IoStep::Write);
        errno = 0;
        if (std::fwrite(buffer, 1, count, stream_) != count) Fail(IoStep::Write);
    }

    void Seek(std::uint64_t position) override {
        Require(IoStep::Seek);
        errno = 0;
        if (position > static_cast<std::uint64_t>(INT64_MAX) ||
            fseeko(stream_, static_cast<off_t>(position), SEEK_SET) != 0)
            Fail(IoStep::Seek);
    }

    std::uint64_t Position() override {
        Require(IoStep::Seek);
        errno = 0;
        off_t at = ftello(stream_);
        if (at < 0) Fail(IoStep::Seek);
        return static_cast<std::uint64_t>(at);
    }

    std::uint64_t Length() override {
        Require(IoStep::Length);
        errno = 0;
        if (std::fflush(stream_) != 0) Fail(IoStep::Length);
        std::error_code ec;
        auto size = std::filesystem::file_size(path_, ec);
        if (ec) throw IoError(IoStep::Length, path_, ec);
        return size;
    }

    void SetLength(std::uint64_t length) override {
        Require(IoStep::Write);
        errno = 0;
        if (std::fflush(stream_) != 0 || length > static_cast<std::uint64_t>(INT64_MAX) ||
            ::ftruncate(fileno(stream_), static_cast<off_t>(length)) != 0)
            Fail(IoStep::Write);
    }

    void Flush() override {
        Require(IoStep::Flush);
        errno = 0;
        if (std::fflush(stream_) != 0) Fail(IoStep::Flush);
        if (sync_ == DiskSync::On && ::fsync(fileno(stream_)) != 0) Fail(IoStep::Flush);
    }

    void Close() override {
        Require(IoStep::Close);
        std::FILE* stream = stream_;
        stream_ = nullptr;
        errno = 0;
        if (std::fclose(stream) != 0) Fail(IoStep::Close);
    }

    std::size_t TransferFrom(File& source, std::size_t count, std::span<unsigned char> buffer) override {
        auto* stdioSource = dynamic_cast<StdioFile*>(&source);
        if (stdioSource == nullptr) return File::TransferFrom(source, count, buffer);
        Require(IoStep::Write);
        stdioSource->Require(IoStep::Read);
        // The kernel works on the descriptors: what this stream still buffers
        // must reach the file first, and both streams must then be moved to
        // where the kernel left off.
        errno = 0;
        if (std::fflush(stream_) != 0) Fail(IoStep::Write);
        off_t from = stdioSource->Tell();
        off_t to = Tell();
        const std::size_t moved = KernelTransfer(fileno(stdioSource->stream_), from, fileno(stream_), to, count);
        stdioSource->SeekTo(from);
        SeekTo(to);
        // Whatever the kernel would not move (another file system, an error,
        // the end of the source) is tried again through the buffer, which
        // also names the side that failed.
        if (moved == count) return moved;
        return moved + File::TransferFrom(source, count - moved, buffer);
    }

    const std::string& Path() const override { return path_; }

    void TakeAccessOf(const std::string& modelPath) override {
        Require(IoStep::Write);
        struct stat model {};
        errno = 0;
        if (::stat(modelPath.c_str(), &model) != 0) throw IoError(IoStep::Open, modelPath, LastSystemError());
        const int fd = fileno(stream_);
        // Owner first: changing it may clear the set-id bits the mode then
        // puts back. Without the privilege to give the file away, the group
        // alone is kept where the process belongs to it; otherwise the file
        // stays the process's own, as any file it creates is.
        if (::fchown(fd, model.st_uid, model.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), model.st_gid);
        if (::fchmod(fd, model.st_mode & 07777) != 0) Fail(IoStep::Write);
    }

private:
    off_t Tell() const {
        errno = 0;
        const off_t at = ftello(stream_);
        if (at < 0) Fail(IoStep::Seek);
        return at;
    }
    void SeekTo(off_t position) const {
        errno = 0;
        if (fseeko(stream_, position, SEEK_SET) != 0) Fail(IoStep::Seek);
    }

    void Require(IoStep step) const {
        if (stream_ == nullptr) throw IoError(step, path_, std::make_error_code(std::errc::bad_file_descriptor));
    }
    [[noreturn]] void Fail(IoStep step) const { throw IoError(step, path_, LastSystemError()); }

    std::FILE* stream_;
    std::string path_;
    DiskSync sync_;
};

// A POSIX descriptor, closed silently on the way out of a failure and with a
// check by Close() on the way out of success.
class Descriptor {
public:
    Descriptor(const std::string& path, int flags) : path_(path) {
        errno = 0;
        do {
            fd_ = path.empty() ? -1 : ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0)
            throw IoError(
                IoStep::Open, path,
                path.empty() ? std::make_error_code(std::errc::no_such_file_or_directory) : LastSystemError());
    }
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return fd_; }
    // Hands the descriptor over; this object no longer closes it.
    int Release() { return std::exchange(fd_, -1); }

    std::uint64_t Length() const { return static_cast<std::uint64_t>(Status().st_size); }

    bool IsSameFileAs(const Descriptor& other) const {
        const struct stat mine = Status();
        const struct stat theirs = other.Status();
        return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
    }

    void Empty() const {
        errno = 0;
        if (::ftruncate(fd_, 0) != 0) throw IoError(IoStep::Write, path_, LastSystemError());
    }

    std::size_t ReadSome(unsigned char* buffer, std::size_t count) const {
        for (;;) {
            errno = 0;
            const ssize_t got = ::read(fd_, buffer, count);
            if (got >= 0) return static_cast<std::size_t>(got);
            if (errno != EINTR) throw IoError(IoStep::Read, path_, LastSystemError());
        }
    }

    void WriteAll(const unsigned char* buffer, std::size_t count) const {
        while (count > 0) {
            errno = 0;
            const ssize_t done = ::write(fd_, buffer, count);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) throw IoError(IoStep::Write, path_, LastSystemError());
            buffer += done;
            count -= static_cast<std::size_t>(done);
        }
    }

    void Sync() const {
        errno = 0;
        if (::fsync(fd_) != 0) throw IoError(IoStep::Flush, path_, LastSystemError());
    }

    void Close() {
        const int fd = fd_;
        fd_ = -1;
        errno = 0;
        if (::close(fd) != 0) throw IoError(IoStep::Close, path_, LastSystemError());
    }

private:
    struct stat Status() const {
        struct stat status {};
        if (::fstat(fd_, &status) != 0) throw IoError(IoStep::Length, path_, LastSystemError());
        return status;
    }

    std::string path_;
    int fd_ = -1;
};

// Large enough that the system calls cost nothing next to the bytes moved,
// small enough that copying a whole archive keeps memory flat.
constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;

// Copies inside the kernel, without moving the bytes through this process,
// for as long as the file system allows. Returns how far it got; the caller
// carries on from there with plain reads and writes, which also tell exactly
// which side failed when something did (a full disk, an early end, a file
// system that cannot copy this way).
std::uint64_t KernelCopy(const Descriptor& source, const Descriptor& target, std::uint64_t length) {
    std::uint64_t copied = 0;
#if defined(__linux__)
    constexpr std::uint64_t kLargestRequest = std::uint64_t{1} << 30;
    while (copied < length) {
        errno = 0;
        const ssize_t done = ::copy_file_range(source.Get(), nullptr, target.Get(), nullptr,
                                               static_cast<std::size_t>(std::min(length - copied, kLargestRequest)), 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        copied += static_cast<std::uint64_t>(done);
    }
#else
    (void)source;
    (void)target;
    (void)length;
#endif
    return copied;
}

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

std::unique_ptr<File> StdioFileSystem::Open(const std::string& path, OpenMode mode) {
    errno = 0;
    std::FILE* stream = path.empty() ? nullptr : std::fopen(path.c_str(), ModeString(mode));
    if (stream == nullptr) {
        std::error_code reason =
            path.empty() ? std::make_error_code(std::errc::no_such_file_or_directory) : LastSystemError();
        throw IoError(IoStep::Open, path, reason);
    }
    return std::make_unique<StdioFile>(stream, path, sync_);
}

std::uint64_t StdioFileSystem::CopyFile(const std::string& from, const std::string& to, CopyTarget mode) {
    Descriptor source(from, O_RDONLY);
    // The length is taken once, before the copy: the copy must hold exactly
    // the bytes the source had when it began, never fewer.
    const std::uint64_t length = source.Length();
    // Opened without truncation first: emptying a target that is the source
    // under another name would destroy the very bytes about to be copied.
    // A new file is created exclusively, so nothing is ever written through
    // a link that someone left with its name.
    Descriptor target(to, O_WRONLY | O_CREAT | (mode == CopyTarget::NewFile ? O_EXCL : 0));
    if (target.IsSameFileAs(source)) throw IoError(IoStep::Open, to, std::make_error_code(std::errc::file_exists));
    target.Empty();

    std::uint64_t copied = KernelCopy(source, target, length);
    std::vector<unsigned char> buffer;
    while (copied < length) {
        buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length - copied, kCopyBufferSize)));
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length - copied, buffer.size()));
        const std::size_t got = source.ReadSome(buffer.data(), wanted);
        if (got == 0) throw IoError(IoStep::Read, from, MakeDataError(DataError::EndedEarly));
        target.WriteAll(buffer.data(), got);
        copied += got;
    }
    if (target.Length() != length) throw IoError(IoStep::Write, to, MakeDataError(DataError::WrongLength));
    if (sync_ == DiskSync::On) target.Sync();
    target.Close();
    source.Close();
    return copied;
}

void StdioFileSystem::Rename(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (ec) throw IoError(IoStep::Rename, from, ec);
}

void StdioFileSystem::SyncDirectoryOf(const std::string& path) {
    if (sync_ == DiskSync::Off) return;
    std::string directory = std::filesystem::path(path).parent_path().string();
    if (directory.empty()) directory = ".";
    Descriptor handle(directory, O_RDONLY | O_DIRECTORY);
    handle.Sync();
    handle.Close();
}

void StdioFileSystem::Remove(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::remove(path, ec) && ec) throw IoError(IoStep::Remove, path, ec);
}

bool StdioFileSystem::IsRegularFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

bool StdioFileSystem::Exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

bool StdioFileSystem::MayWrite(const std::string& path) {
    return !path.empty() && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

std::uint64_t StdioFileSystem::LinkCount(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) throw IoError(IoStep::Length, path, LastSystemError());
    return static_cast<std::uint64_t>(status.st_nlink);
}

bool StdioFileSystem::SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (a.empty() || b.empty()) return false;
    bool same = std::filesystem::equivalent(a, b, ec);
    return !ec && same;
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
    Descriptor handle(directory.empty() ? "." : directory, O_RDONLY | O_DIRECTORY);
    for (;;) {
        errno = 0;
        if (::flock(handle.Get(), (kind == LockKind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) break;
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

}  // namespace qax
