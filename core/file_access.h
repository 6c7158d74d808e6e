// Checked, RAII file access for everything the core reads or writes.
//
// Every operation either succeeds completely or throws IoError naming the
// file, the step that failed and the system's reason. The archive operations
// rely on that: a short write or a failed flush must never go unnoticed,
// because the user's archive is emptied before it is rebuilt.
//
// FileSystem is an interface so that tests can put a fault-injecting layer
// underneath the core without touching any global state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qax {

enum class IoStep { Open, Read, Write, Seek, Length, Flush, Close, Rename, Remove };

const char* IoStepName(IoStep step);

class IoError : public std::runtime_error {
public:
    IoError(IoStep step, std::string path, std::error_code reason);

    IoStep Step() const { return step_; }
    const std::string& Path() const { return path_; }
    std::error_code Reason() const { return reason_; }

private:
    IoStep step_;
    std::string path_;
    std::error_code reason_;
};

// The three stream modes the data set is accessed with.
enum class OpenMode {
    Read,          // "rb"
    ReadUpdate,    // "r+b": read and write in place, no truncation
    WriteTruncate  // "wb": create, or empty an existing file
};

class File {
public:
    virtual ~File() = default;
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Reads up to `count` bytes; fewer only at the end of the file.
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    // Writes all `count` bytes or throws.
    virtual void Write(const void* buffer, std::size_t count) = 0;
    virtual void Seek(std::uint64_t position) = 0;
    virtual std::uint64_t Position() = 0;
    virtual std::uint64_t Length() = 0;
    // Pushes buffered data to the operating system and then to the disk.
    virtual void Flush() = 0;
    // Closes with a check; the destructor closes silently if this was not called.
    virtual void Close() = 0;
    virtual const std::string& Path() const = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
    // Atomically replaces `to` with `from` (same directory).
    virtual void Rename(const std::string& from, const std::string& to) = 0;
    virtual void Remove(const std::string& path) = 0;
    // True for an existing regular file (a directory does not count).
    virtual bool IsRegularFile(const std::string& path) = 0;
    // True when both paths name the same existing file, whatever the spelling.
    virtual bool SameFile(const std::string& a, const std::string& b) = 0;
};

// The real file system, through C stdio streams.
class StdioFileSystem : public FileSystem {
public:
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
    void Rename(const std::string& from, const std::string& to) override;
    void Remove(const std::string& path) override;
    bool IsRegularFile(const std::string& path) override;
    bool SameFile(const std::string& a, const std::string& b) override;
};

// Reads exactly `count` bytes; false when the file ended first.
bool ReadExactly(File& file, void* buffer, std::size_t count);

}  // namespace qax
