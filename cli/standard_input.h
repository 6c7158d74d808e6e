// Standard input, which can be read once: read to its end however a stop
// comes, kept whole for a replacement, claimed by one place only; and the
// lists and manifests read from it or from files.
#pragma once

#ifdef _WIN32
#include "windows_api.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "file_access.h"
#include "tool_output.h"

namespace qax::tool {

// How reading standard input ended.
enum class InputEnd { Whole, Stopped, Failed };

// Standard input to its end, in pieces handed to `take` (false: it failed,
// errno says why). A stop signal ends it at once, however long the writer
// of the input keeps it open.
InputEnd ReadStandardInput(const std::function<bool(const char*, std::size_t)>& take, int& reason);

// The most a manifest or a -T list may hold: 64 MiB, thousands of times
// the lines that name every member of a data set with long paths, and far
// less than a machine's memory. An endless source (/dev/zero, a pipe that
// never ends) is refused there rather than read until memory runs out.
inline constexpr std::size_t kListByteLimit = std::size_t{64} << 20;

// Standard input kept in a file of its own for as long as the tool runs:
// a replacement needs a regular file with fixed bytes. In the system's
// temporary directory, never in the data directory. Where the system
// allows it the file has no name at all (or loses it as soon as it is
// made) and is reached through the tool's own descriptor, so that nothing
// of it outlives the tool, however it ends; on Windows the system deletes
// it when the tool's handle closes.
class SpooledInput {
public:
    SpooledInput() = default;
    SpooledInput(const SpooledInput&) = delete;
    SpooledInput& operator=(const SpooledInput&) = delete;
    ~SpooledInput() {
#ifdef _WIN32
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
#else
        if (fd_ >= 0) ::close(fd_);
        if (!namedPath_.empty()) ::unlink(namedPath_.c_str());
#endif
    }

    bool Filled() const {
        return !path_.empty();
    }
    // The name the replacement opens it by.
    const std::string& Path() const {
        return path_;
    }

    // Reads standard input whole into the spool; false, after a message,
    // when it could not (and nothing said when a stop ended it).
    bool Fill(TerminalSink& sink) {
        std::string where;
        if (!Create(where)) {
            sink.Say("Could not keep standard input in " + where + " (" + std::strerror(errno) + ")");
            return false;
        }
        int reason = 0;
        const InputEnd end =
            ReadStandardInput([this](const char* bytes, std::size_t count) { return Write(bytes, count); }, reason);
        if (end == InputEnd::Failed)
            sink.Say(std::string("Could not read standard input (") + std::strerror(reason) + ")");
        if (end != InputEnd::Whole) return false;
        path_ = readPath_;
        return true;
    }

private:
#ifdef _WIN32
    bool Create(std::string& where) {
        wchar_t directory[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, directory);
        if (length == 0 || length > MAX_PATH) {
            where = "the temporary directory";
            errno = ENOENT;
            return false;
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path name =
                std::filesystem::path(std::wstring(directory, length)) / ("qaxtool-stdin-" + RandomHex(6));
            where = Utf8Of(name);
            // Shared for deleting too, so that the replacement may open it by
            // its name while this handle keeps it.
            handle_ = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            if (handle_ != INVALID_HANDLE_VALUE) {
                readPath_ = where;
                return true;
            }
            if (::GetLastError() != ERROR_FILE_EXISTS) break;
        }
        errno = EACCES;
        return false;
    }
    bool Write(const char* bytes, std::size_t count) {
        while (count > 0) {
            DWORD wrote = 0;
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
            if (!::WriteFile(handle_, bytes, piece, &wrote, nullptr)) {
                errno = EIO;
                return false;
            }
            bytes += wrote;
            count -= wrote;
        }
        return true;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    // Whether `path` leads to the file open at `fd`.
    static bool Leads(const std::string& path, int fd) {
        struct stat viaPath {};
        struct stat open {};
        return ::stat(path.c_str(), &viaPath) == 0 && ::fstat(fd, &open) == 0 && viaPath.st_dev == open.st_dev &&
               viaPath.st_ino == open.st_ino;
    }
    bool Create(std::string& where) {
        const char* tmp = std::getenv("TMPDIR");
        const std::string directory = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
        where = directory;
#ifdef O_TMPFILE
        fd_ = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            readPath_ = "/proc/self/fd/" + std::to_string(fd_);
            if (Leads(readPath_, fd_)) return true;
            ::close(fd_);
        }
#endif
        std::string named = directory + "/qaxtool-stdin-XXXXXX";
        where = named;
        fd_ = ::mkstemp(named.data());
        if (fd_ < 0) return false;
        readPath_ = "/proc/self/fd/" + std::to_string(fd_);
        if (Leads(readPath_, fd_)) {
            ::unlink(named.c_str());
        } else {
            // No way to reach it but its name: it goes when the tool ends.
            readPath_ = namedPath_ = named;
        }
        return true;
    }
    bool Write(const char* bytes, std::size_t count) {
        while (count > 0) {
            const ssize_t wrote = ::write(fd_, bytes, count);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            bytes += wrote;
            count -= static_cast<std::size_t>(wrote);
        }
        return true;
    }

    int fd_ = -1;
    std::string namedPath_;
#endif
    std::string readPath_;
    std::string path_;
};

// Where standard input is named: it can be read once, so at most one place
// may name it.
class InputClaim {
public:
    // The usage problem when `place` is the second place to name it.
    std::optional<std::string> Claim(const std::string& place) {
        if (place_.empty()) {
            place_ = place;
            return std::nullopt;
        }
        return "standard input can be read only once, but " + place_ + " and " + place + " both name it";
    }

private:
    std::string place_;
};

// One entry of a list (-T) or line of a manifest, with where it is, for the
// messages about it: "pairs.txt, line 3".
struct SourceLine {
    std::string text;
    std::string where;
};

// A list's or a manifest's bytes as UTF-8 text: a UTF-8 byte-order mark
// dropped, UTF-16 with a mark (either byte order) converted; without a
// mark the bytes stay as they are. The problem when the bytes are not the
// text their mark says.
std::optional<std::string> AsUtf8Text(std::string& bytes);

// The entries of a list or the lines of a manifest: ended by newlines (a
// carriage return before one dropped), or by zero bytes with `null`, once
// read as text (AsUtf8Text). The problem's exit status goes to `status`
// when it cannot be read whole, or holds more than kListByteLimit bytes. A
// named pipe is read as standard input is: a stop ends the read at once,
// whatever its writer does.
std::optional<std::vector<SourceLine>> ReadSource(const std::string& source, bool null, TerminalSink& sink,
                                                  int& status);
// The same, of bytes read already from the source `name`.
std::optional<std::vector<SourceLine>> SplitSource(std::string bytes, const std::string& name, bool null,
                                                   TerminalSink& sink, int& status);

}  // namespace qax::tool
