#include "file_access.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

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
    case OpenMode::Read: return "rb";
    case OpenMode::ReadUpdate: return "r+b";
    case OpenMode::WriteTruncate: return "wb";
    }
    return "rb";
}

class StdioFile final : public File {
public:
    StdioFile(std::FILE* stream, std::string path) : stream_(stream), path_(std::move(path)) {}
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

    void Flush() override {
        Require(IoStep::Flush);
        errno = 0;
        if (std::fflush(stream_) != 0 || ::fsync(fileno(stream_)) != 0) Fail(IoStep::Flush);
    }

    void Close() override {
        Require(IoStep::Close);
        std::FILE* stream = stream_;
        stream_ = nullptr;
        errno = 0;
        if (std::fclose(stream) != 0) Fail(IoStep::Close);
    }

    const std::string& Path() const override { return path_; }

private:
    void Require(IoStep step) const {
        if (stream_ == nullptr) throw IoError(step, path_, std::make_error_code(std::errc::bad_file_descriptor));
    }
    [[noreturn]] void Fail(IoStep step) const { throw IoError(step, path_, LastSystemError()); }

    std::FILE* stream_;
    std::string path_;
};

}  // namespace

const char* IoStepName(IoStep step) {
    switch (step) {
    case IoStep::Open: return "open";
    case IoStep::Read: return "read";
    case IoStep::Write: return "write";
    case IoStep::Seek: return "seek in";
    case IoStep::Length: return "measure";
    case IoStep::Flush: return "flush";
    case IoStep::Close: return "close";
    case IoStep::Rename: return "rename";
    case IoStep::Remove: return "remove";
    }
    return "access";
}

IoError::IoError(IoStep step, std::string path, std::error_code reason)
    : std::runtime_error(DescribeIoError(step, path, reason)),
      step_(step),
      path_(std::move(path)),
      reason_(reason) {}

std::unique_ptr<File> StdioFileSystem::Open(const std::string& path, OpenMode mode) {
    errno = 0;
    std::FILE* stream = path.empty() ? nullptr : std::fopen(path.c_str(), ModeString(mode));
    if (stream == nullptr) {
        std::error_code reason = path.empty() ? std::make_error_code(std::errc::no_such_file_or_directory)
                                              : LastSystemError();
        throw IoError(IoStep::Open, path, reason);
    }
    return std::make_unique<StdioFile>(stream, path);
}

void StdioFileSystem::Rename(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (ec) throw IoError(IoStep::Rename, from, ec);
}

void StdioFileSystem::Remove(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::remove(path, ec) && ec) throw IoError(IoStep::Remove, path, ec);
}

bool StdioFileSystem::IsRegularFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
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

}  // namespace qax
