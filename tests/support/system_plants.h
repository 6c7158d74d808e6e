// What the tests plant in a data set that each system spells its own way:
// a file that is no regular file, a device, a symbolic link, a file's
// identity. Everything else the tests do is the same on every system.
#pragma once

#ifdef _WIN32
#include "windows_api.h"
#else
#include <sys/stat.h>
#endif

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_access.h"

namespace qax::testing {

// Something at `path` that is no regular file and that nobody writes to: a
// named pipe on POSIX (opening one for reading would wait for a writer); a
// directory on Windows, whose named pipes live outside any folder.
inline void PlantNoRegularFile(const std::filesystem::path& path) {
#ifdef _WIN32
    std::filesystem::create_directory(path);
#else
    if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path.string());
#endif
}

// Devices and pseudo-files that read as bytes without end, or made up on
// the spot: never a replacement's bytes.
inline std::vector<std::string> EndlessDevices() {
#ifdef _WIN32
    return {"NUL", "\\\\.\\NUL"};
#else
    return {"/dev/zero", "/dev/urandom", "/proc/self/status"};
#endif
}

// Whether `path` itself is a symbolic link (or, on Windows, any reparse
// point), dangling or not.
inline bool IsSymlink(const std::filesystem::path& path) {
#ifdef _WIN32
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
    std::error_code ec;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
#endif
}

// A symbolic link at `link` to `target`. The standard library of the
// Windows toolchain makes none, so the system is asked directly there.
inline void MakeSymlink(const std::filesystem::path& target, const std::filesystem::path& link) {
#ifdef _WIN32
    const DWORD kind = std::filesystem::is_directory(target) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (!::CreateSymbolicLinkW(link.c_str(), target.c_str(), kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        !IsSymlink(link))
        throw std::runtime_error("no symbolic link made at " + link.string());
#else
    std::filesystem::create_symlink(target, link);
#endif
}

// Whether anything at all has the name, a dangling link included.
inline bool NameExists(const std::filesystem::path& path) {
#ifdef _WIN32
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
#endif
}

// Whether this system makes symbolic links that can be seen as links.
// Wine 8 says it made one and makes nothing: the tests of what the editor
// does with planted links cannot run there, and say so.
inline bool SystemMakesSymlinks() {
    static const bool makes = [] {
        const std::filesystem::path probe =
            std::filesystem::temp_directory_path() / ("qaxedit-link-probe-" + RandomHex(6));
        std::error_code ec;
#ifdef _WIN32
        ::CreateSymbolicLinkW(probe.c_str(), L"nothing", SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
#else
        std::filesystem::create_symlink("nothing", probe, ec);
#endif
        const bool seen = std::filesystem::is_symlink(std::filesystem::symlink_status(probe, ec)) || IsSymlink(probe);
        std::filesystem::remove(probe, ec);
        return seen;
    }();
    return makes;
}

// What the system knows a file by, whatever its name: stays the same while
// the file is emptied and rewritten in place.
inline std::uint64_t FileIdentity(const std::filesystem::path& path) {
#ifdef _WIN32
    const HANDLE handle = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(handle, &information);
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    if (!known) throw std::runtime_error("no identity for " + path.string());
    return (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
#else
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) throw std::runtime_error("stat " + path.string());
    return static_cast<std::uint64_t>(status.st_ino);
#endif
}

}  // namespace qax::testing
