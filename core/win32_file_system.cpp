// The file layer on Windows: files as Win32 handles opened by wide-character
// path, flushes that wait for the disk, the commit by a write-through
// rename, and the data set's lock as a byte-range lock on a lock file
// beside the index. It keeps the promises the POSIX layer keeps; where the
// means differ, the comment at each says how.
#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "data_set.h"
#include "file_access.h"
#include "windows_api.h"

namespace qax {

namespace {

// The system's reasons as the POSIX layer gives them where there is a
// counterpart, so a message reads the same on both systems; any other in
// the system's own words.
class Win32ErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "win32"; }
    std::string message(int code) const override {
        wchar_t* text = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::wstring wide = length > 0 && text != nullptr ? std::wstring(text, length) : std::wstring();
        if (text != nullptr) ::LocalFree(text);
        while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L'.')) wide.pop_back();
        if (wide.empty()) return "Windows error " + std::to_string(code);
        return Utf8Of(std::filesystem::path(wide));
    }
};

std::error_code SystemError(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return std::make_error_code(std::errc::no_such_file_or_directory);
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return std::make_error_code(std::errc::permission_denied);
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return std::make_error_code(std::errc::device_or_resource_busy);
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return std::make_error_code(std::errc::file_exists);
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return std::make_error_code(std::errc::no_space_on_device);
        case ERROR_WRITE_PROTECT:
            return std::make_error_code(std::errc::read_only_file_system);
        case ERROR_TOO_MANY_OPEN_FILES:
            return std::make_error_code(std::errc::too_many_files_open);
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return std::make_error_code(std::errc::not_enough_memory);
        case ERROR_DIRECTORY:
            return std::make_error_code(std::errc::not_a_directory);
        case ERROR_DIR_NOT_EMPTY:
            return std::make_error_code(std::errc::directory_not_empty);
        case ERROR_INVALID_HANDLE:
            return std::make_error_code(std::errc::bad_file_descriptor);
        case ERROR_FILENAME_EXCED_RANGE:
            return std::make_error_code(std::errc::filename_too_long);
        case ERROR_NOT_SAME_DEVICE:
            return std::make_error_code(std::errc::cross_device_link);
        case ERROR_CANT_RESOLVE_FILENAME:
            return std::make_error_code(std::errc::too_many_symbolic_link_levels);
        case ERROR_NO_UNICODE_TRANSLATION:
            return std::make_error_code(std::errc::illegal_byte_sequence);
        default:
            break;
    }
    static const Win32ErrorCategory category;
    return {static_cast<int>(code != 0 ? code : ERROR_GEN_FAILURE), category};
}

std::error_code LastSystemError() {
    return SystemError(::GetLastError());
}

// The path as the wide-character API takes it: from UTF-8, made absolute
// and plain (separators, "." and "..") by the system, and prefixed with
// \\?\ so that no length limit applies. Device names (\\.\) stay as they
// are, so that opening one shows it for what it is. Empty for a path that
// is not UTF-8, which then names nothing.
std::wstring SystemPath(const std::string& path) {
    if (path.empty()) return {};
    const int length =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(),
                          length);
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
    std::wstring full(wide.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD needed = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (needed == 0) return wide;
        if (needed < full.size()) {
            full.resize(needed);
            break;
        }
        full.resize(needed);
    }
    if (full.rfind(L"\\\\.\\", 0) == 0 || full.rfind(L"\\\\?\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Every handle is opened letting others read, write, rename and delete the
// file meanwhile, as POSIX lets them: a reader must never keep the commit's
// rename from replacing the index.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct OpenRequest {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    bool truncate = false;
};

OpenRequest RequestFor(OpenMode mode) {
    switch (mode) {
        case OpenMode::Read:
        case OpenMode::ReadRegular:
            return {};
        case OpenMode::ReadOwn:
            // The name itself, never what a link or junction there points to.
            return {GENERIC_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, false};
        case OpenMode::ReadUpdate:
            return {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, false};
        case OpenMode::WriteTruncate:
            // Emptied in place rather than created anew (CREATE_ALWAYS), so
            // that it keeps its attributes, as O_TRUNC keeps them.
            return {GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, true};
        case OpenMode::CreateNew:
            // CREATE_NEW on the name itself fails on any existing name, a
            // link or junction (even a dangling one) included, so nothing is
            // ever written through one.
            return {GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, false};
    }
    return {};
}

// The one handle on an open file, closed silently on the way out of a
// failure and with a check by Close() on the way out of success. Nothing is
// buffered in this process.
class HandleFile final : public File {
public:
    HandleFile(std::string path, const OpenRequest& request, DiskSync sync) : path_(std::move(path)), sync_(sync) {
        const std::wstring systemPath = SystemPath(path_);
        handle_ = systemPath.empty() ? INVALID_HANDLE_VALUE
                                     : ::CreateFileW(systemPath.c_str(), request.access, kShareAll, nullptr,
                                                     request.disposition, request.flags, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            const DWORD code = systemPath.empty() ? ERROR_FILE_NOT_FOUND : ::GetLastError();
            // A directory refuses a plain open; POSIX opens it and then finds
            // it is no regular file. The user reads the same either way.
            const DWORD attributes = ::GetFileAttributesW(systemPath.c_str());
            if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                throw IoError(IoStep::Open, path_, MakeDataError(DataError::NotARegularFile));
            throw IoError(IoStep::Open, path_, SystemError(code));
        }
        if (request.truncate) SetLength(0);
    }
    ~HandleFile() override {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }

    std::size_t Read(void* buffer, std::size_t count) override {
        Require(IoStep::Read);
        auto* at = static_cast<unsigned char*>(buffer);
        std::size_t done = 0;
        while (done < count) {
            DWORD got = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, kLargestRequest));
            if (!::ReadFile(handle_, at + done, chunk, &got, nullptr)) {
                if (::GetLastError() == ERROR_BROKEN_PIPE || ::GetLastError() == ERROR_HANDLE_EOF) break;
                Fail(IoStep::Read);
            }
            if (got == 0) break;
            done += got;
        }
        return done;
    }

    void Write(const void* buffer, std::size_t count) override {
        Require(IoStep::Write);
        const auto* at = static_cast<const unsigned char*>(buffer);
        while (count > 0) {
            DWORD done = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, kLargestRequest));
            if (!::WriteFile(handle_, at, chunk, &done, nullptr) || done == 0) Fail(IoStep::Write);
            written_ = true;
            at += done;
            count -= done;
        }
    }

    void Seek(std::uint64_t position) override {
        Require(IoStep::Seek);
        LARGE_INTEGER to{};
        to.QuadPart = static_cast<LONGLONG>(position);
        if (position > static_cast<std::uint64_t>(INT64_MAX) || !::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN))
            Fail(IoStep::Seek);
    }

    std::uint64_t Position() override {
        Require(IoStep::Seek);
        LARGE_INTEGER at{};
        if (!::SetFilePointerEx(handle_, LARGE_INTEGER{}, &at, FILE_CURRENT)) Fail(IoStep::Seek);
        return static_cast<std::uint64_t>(at.QuadPart);
    }

    // Measured through the handle itself: the file it names, whatever has
    // happened to its path since it was opened.
    std::uint64_t Length() override {
        Require(IoStep::Length);
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(handle_, &size)) Fail(IoStep::Length);
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    // The file system's change time, which SetFileTime cannot set (an
    // unpacker that dates a file sets its write time); in units of 100 ns.
    std::optional<std::int64_t> ChangeTime() override {
        FILE_BASIC_INFO info{};
        if (!::GetFileInformationByHandleEx(handle_, FileBasicInfo, &info, sizeof info)) return std::nullopt;
        return std::int64_t{info.ChangeTime.QuadPart} * 100;
    }

    // SetEndOfFile cuts (or extends) at the file pointer; the position is
    // put back afterwards, as ftruncate leaves it alone.
    void SetLength(std::uint64_t length) override {
        Require(IoStep::Write);
        const std::uint64_t at = Position();
        Seek(length);
        if (!::SetEndOfFile(handle_)) Fail(IoStep::Write);
        written_ = true;
        Seek(at);
    }

    void Flush() override {
        Require(IoStep::Flush);
        Sync(sync_);
    }

    // Windows lets an ordinary user flush a file only through a handle on
    // it, never a whole volume, so a file written since its last flush is
    // flushed as it is closed: a batch's single SyncFileSystemOf then has
    // only the names left to wait for.
    void Close() override {
        Require(IoStep::Close);
        if (written_) Sync(sync_);
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        if (!::CloseHandle(handle)) Fail(IoStep::Close);
    }

    const std::string& Path() const override { return path_; }

    // Windows has no permission bits: the file's attributes (hidden,
    // system, not indexed) are what the model passes on, and its access
    // list. Read-only is not taken: the new file must still be renamed, and
    // a read-only model refuses the replacement before anything is made.
    void TakeAccessOf(const std::string& modelPath) override {
        Require(IoStep::Write);
        WIN32_FILE_ATTRIBUTE_DATA model{};
        if (!::GetFileAttributesExW(SystemPath(modelPath).c_str(), GetFileExInfoStandard, &model))
            throw IoError(IoStep::Open, modelPath, LastSystemError());
        constexpr DWORD kPassedOn =
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        FILE_BASIC_INFO basic{};
        if (!::GetFileInformationByHandleEx(handle_, FileBasicInfo, &basic, sizeof basic)) Fail(IoStep::Write);
        basic.FileAttributes = (basic.FileAttributes & ~kPassedOn) | (model.dwFileAttributes & kPassedOn);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!::SetFileInformationByHandle(handle_, FileBasicInfo, &basic, sizeof basic)) Fail(IoStep::Write);
    }

    // Windows has no permission bits: who may write a file the editor
    // made is decided by the access list it inherits from its folder.
    void RestrictWritingToOwner() override { Require(IoStep::Write); }

    // The owner and the access list are not judged on Windows: a file's
    // owner there is often a group (the administrators), and who may write
    // it is an access list, not two bits. The record and the copies are
    // proved by everything else: the name itself, a plain file, a single
    // name, and the mark only the replacement knows.
    FileFacts Facts() override {
        const bool onDisk = ::GetFileType(handle_) == FILE_TYPE_DISK;
        const BY_HANDLE_FILE_INFORMATION information = Information();
        return {.regular = onDisk && (information.dwFileAttributes &
                                      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0,
                .links = information.nNumberOfLinks,
                .ownedByProcess = true,
                .othersMayWrite = false,
                .identity = IdentityOf(information)};
    }
    static FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& information) {
        return {information.dwVolumeSerialNumber,
                (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
    }

    void Sync(DiskSync sync) {
        if (sync == DiskSync::On && !::FlushFileBuffers(handle_)) Fail(IoStep::Flush);
        written_ = false;
    }
    BY_HANDLE_FILE_INFORMATION Information() const {
        Require(IoStep::Length);
        BY_HANDLE_FILE_INFORMATION information{};
        if (!::GetFileInformationByHandle(handle_, &information)) Fail(IoStep::Length);
        return information;
    }
    bool IsSameFileAs(const HandleFile& other) const {
        const BY_HANDLE_FILE_INFORMATION mine = Information();
        const BY_HANDLE_FILE_INFORMATION theirs = other.Information();
        return mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
               mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow;
    }
    // Judged on the open handle, so that what was checked is what is read:
    // a file on a disk (not a pipe, a console or a device), no directory, no
    // link or junction (opened as itself for ReadOwn), and for ReadOwn a
    // single name.
    void RequireRegular(bool singleName) const {
        // The type first: a device has no file information to ask for.
        if (::GetFileType(handle_) != FILE_TYPE_DISK)
            throw IoError(IoStep::Open, path_, MakeDataError(DataError::NotARegularFile));
        const BY_HANDLE_FILE_INFORMATION information = Information();
        if ((information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
            throw IoError(IoStep::Open, path_, MakeDataError(DataError::NotARegularFile));
        if (singleName && information.nNumberOfLinks != 1)
            throw IoError(IoStep::Open, path_, MakeDataError(DataError::NotItsOwnFile));
    }
    HANDLE Release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
    static constexpr std::size_t kLargestRequest = std::size_t{1} << 30;

    void Require(IoStep step) const {
        if (handle_ == INVALID_HANDLE_VALUE)
            throw IoError(step, path_, std::make_error_code(std::errc::bad_file_descriptor));
    }
    [[noreturn]] void Fail(IoStep step) const { throw IoError(step, path_, LastSystemError()); }

    std::string path_;
    DiskSync sync_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool written_ = false;  // written since the last flush
};

// A handle that only asks about a file (no access to its bytes), following
// links or not; INVALID_HANDLE_VALUE when the name leads to nothing.
class QueryHandle {
public:
    QueryHandle(const std::string& path, bool followLinks, DWORD access = 0) {
        const std::wstring systemPath = SystemPath(path);
        if (systemPath.empty()) return;
        handle_ = ::CreateFileW(systemPath.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) error_ = ::GetLastError();
    }
    ~QueryHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    QueryHandle(const QueryHandle&) = delete;
    QueryHandle& operator=(const QueryHandle&) = delete;

    bool Opened() const { return handle_ != INVALID_HANDLE_VALUE; }
    DWORD Error() const { return error_; }
    HANDLE Get() const { return handle_; }
    std::optional<BY_HANDLE_FILE_INFORMATION> Information() const {
        BY_HANDLE_FILE_INFORMATION information{};
        if (!Opened() || !::GetFileInformationByHandle(handle_, &information)) return std::nullopt;
        return information;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    DWORD error_ = ERROR_FILE_NOT_FOUND;
};

constexpr std::size_t kCopyBufferSize = std::size_t{1} << 20;

// A directory held open without letting anyone delete or rename it, so the
// path of each entry leads into this very directory while it is held. Its
// entries are opened as themselves (never through a link or junction) and
// removed through a handle of their own, once that handle is seen to be on
// the file that was proved.
class HandleDirectory final : public Directory {
public:
    HandleDirectory(std::string path, DiskSync sync) : path_(std::move(path)), sync_(sync) {
        const std::wstring systemPath = SystemPath(path_.empty() ? "." : path_);
        handle_ = ::CreateFileW(systemPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) throw IoError(IoStep::Open, path_, LastSystemError());
    }
    ~HandleDirectory() override { ::CloseHandle(handle_); }

    std::unique_ptr<File> OpenEntry(const std::string& name, EntryAccess access) override {
        RequirePlainName(name, IoStep::Open);
        const DWORD rights = GENERIC_READ | (access == EntryAccess::Update ? GENERIC_WRITE : 0);
        auto file = std::make_unique<HandleFile>(
            PathOf(name), OpenRequest{rights, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, false}, sync_);
        file->RequireRegular(false);
        return file;
    }

    // Who may write the new file is decided by the access list it inherits
    // from the folder, as for the record and the copies.
    std::unique_ptr<File> CreateEntry(const std::string& name) override {
        RequirePlainName(name, IoStep::Open);
        return std::make_unique<HandleFile>(PathOf(name), RequestFor(OpenMode::CreateNew), sync_);
    }

    // Listed by the folder's path, which leads into this very folder while
    // it is held (it cannot be renamed or removed meanwhile).
    std::vector<std::string> EntryNames() override {
        WIN32_FIND_DATAW found{};
        const HANDLE search = ::FindFirstFileExW(SystemPath(PathOf("*")).c_str(), FindExInfoBasic, &found,
                                                 FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_NOT_FOUND) return {};
            throw IoError(IoStep::Read, path_, LastSystemError());
        }
        std::vector<std::string> names;
        do {
            const std::wstring wide = found.cFileName;
            if (wide == L"." || wide == L"..") continue;
            names.push_back(Utf8Of(std::filesystem::path(wide)));
        } while (::FindNextFileW(search, &found));
        const DWORD code = ::GetLastError();
        ::FindClose(search);
        if (code != ERROR_NO_MORE_FILES) throw IoError(IoStep::Read, path_, SystemError(code));
        return names;
    }

    // As for a file (HandleFile::Facts): the owner and the access list are
    // not judged on Windows, so a held folder proves only that it is one.
    FileFacts Facts() override {
        BY_HANDLE_FILE_INFORMATION information{};
        if (!::GetFileInformationByHandle(handle_, &information))
            throw IoError(IoStep::Length, path_, LastSystemError());
        return {.regular = false,
                .links = information.nNumberOfLinks,
                .ownedByProcess = true,
                .othersMayWrite = false,
                .identity = HandleFile::IdentityOf(information)};
    }

    bool HasEntry(const std::string& name) override {
        return IsPlainName(name) && ::GetFileAttributesW(SystemPath(PathOf(name)).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    void RemoveEntry(const std::string& name, const FileIdentity& proved) override {
        RequirePlainName(name, IoStep::Remove);
        const std::string path = PathOf(name);
        const HANDLE handle = ::CreateFileW(SystemPath(path).c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (handle == INVALID_HANDLE_VALUE) throw IoError(IoStep::Remove, path, LastSystemError());
        BY_HANDLE_FILE_INFORMATION information{};
        const bool known = ::GetFileInformationByHandle(handle, &information);
        if (!known || HandleFile::IdentityOf(information) != proved) {
            ::CloseHandle(handle);
            throw IoError(IoStep::Remove, path, MakeDataError(DataError::Replaced));
        }
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        const bool removed =
            ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
        const DWORD code = ::GetLastError();
        ::CloseHandle(handle);
        if (!removed) throw IoError(IoStep::Remove, path, SystemError(code));
    }

    void Sync() override {
        if (sync_ == DiskSync::Off) return;
        QueryHandle handle(path_.empty() ? "." : path_, true, GENERIC_READ | GENERIC_WRITE);
        if (!handle.Opened()) throw IoError(IoStep::Flush, path_, SystemError(handle.Error()));
        if (!::FlushFileBuffers(handle.Get()) && ::GetLastError() != ERROR_INVALID_FUNCTION)
            throw IoError(IoStep::Flush, path_, LastSystemError());
    }

    const std::string& Path() const override { return path_; }

private:
    static bool IsPlainName(const std::string& name) {
        return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
    }
    void RequirePlainName(const std::string& name, IoStep step) const {
        if (!IsPlainName(name)) throw IoError(step, PathOf(name), std::make_error_code(std::errc::invalid_argument));
    }

    std::string path_;
    DiskSync sync_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

std::string DirectoryOfPath(const std::string& path) {
    const std::filesystem::path parent = PathFromUtf8(path).parent_path();
    return parent.empty() ? std::string(".") : Utf8Of(parent);
}

}  // namespace

std::unique_ptr<Directory> SystemFileSystem::OpenDirectory(const std::string& path) {
    return std::make_unique<HandleDirectory>(path, sync_);
}

std::unique_ptr<File> SystemFileSystem::Open(const std::string& path, OpenMode mode) {
    auto file = std::make_unique<HandleFile>(path, RequestFor(mode), sync_);
    if (mode == OpenMode::ReadRegular || mode == OpenMode::ReadOwn) file->RequireRegular(mode == OpenMode::ReadOwn);
    return file;
}

std::uint64_t SystemFileSystem::CopyFile(const std::string& from, const std::string& to, CopyTarget mode) {
    HandleFile source(from, {}, sync_);
    // The length is taken once, before the copy: the copy must hold exactly
    // the bytes the source had when it began, never fewer.
    const std::uint64_t length = source.Length();
    // Opened without truncation first: emptying a target that is the source
    // under another name would destroy the very bytes about to be copied.
    HandleFile target(to,
                      mode == CopyTarget::NewFile
                          ? RequestFor(OpenMode::CreateNew)
                          : OpenRequest{GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, false},
                      sync_);
    if (target.IsSameFileAs(source)) throw IoError(IoStep::Open, to, std::make_error_code(std::errc::file_exists));
    target.SetLength(0);

    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::clamp<std::uint64_t>(length, 1, kCopyBufferSize)));
    CopyExactly(source, target, length, buffer);
    if (target.Length() != length) throw IoError(IoStep::Write, to, MakeDataError(DataError::WrongLength));
    target.Sync(sync_);
    target.Close();
    source.Close();
    return length;
}

// MoveFileExW rather than ReplaceFileW: it replaces the name in one step of
// the file system (a link there is replaced, never followed), as rename()
// does, and write-through returns only once the rename is on the disk.
// ReplaceFileW carries the old file's identity over to the new one in
// several steps, and can fail halfway with the old file moved aside.
void SystemFileSystem::Rename(const std::string& from, const std::string& to) {
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | (sync_ == DiskSync::On ? MOVEFILE_WRITE_THROUGH : 0);
    if (!::MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), flags))
        throw IoError(IoStep::Rename, from, LastSystemError());
}

// Without MOVEFILE_REPLACE_EXISTING the system refuses a taken name.
void SystemFileSystem::RenameNew(const std::string& from, const std::string& to) {
    const DWORD flags = sync_ == DiskSync::On ? MOVEFILE_WRITE_THROUGH : 0;
    if (!::MoveFileExW(SystemPath(from).c_str(), SystemPath(to).c_str(), flags))
        throw IoError(IoStep::Rename, to, LastSystemError());
}

void SystemFileSystem::MakeDirectory(const std::string& path) {
    if (!::CreateDirectoryW(SystemPath(path).c_str(), nullptr)) throw IoError(IoStep::Write, path, LastSystemError());
}

// A directory's names reach the disk through a handle on the directory
// itself; a file system that keeps no such handle flushable (it answers
// that the function is not there) writes its names as it pleases, as a
// POSIX file system without directory flushes does.
void SystemFileSystem::SyncDirectoryOf(const std::string& path) {
    if (sync_ == DiskSync::Off) return;
    const std::string directory = DirectoryOfPath(path);
    QueryHandle handle(directory, true, GENERIC_READ | GENERIC_WRITE);
    if (!handle.Opened()) throw IoError(IoStep::Flush, directory, SystemError(handle.Error()));
    if (!::FlushFileBuffers(handle.Get()) && ::GetLastError() != ERROR_INVALID_FUNCTION)
        throw IoError(IoStep::Flush, directory, LastSystemError());
}

// Every file written was flushed as it was closed (see HandleFile::Close):
// only the names of the directory are left to flush.
void SystemFileSystem::SyncFileSystemOf(const std::string& path) {
    if (sync_ == DiskSync::Off) return;
    SyncDirectoryOf(Utf8Of(PathFromUtf8(path.empty() ? "." : path) / "x"));
}

// As std::filesystem::remove: a file, a link or junction itself (never what
// it points to), or an empty directory; nothing there is no failure.
void SystemFileSystem::Remove(const std::string& path) {
    const std::wstring systemPath = SystemPath(path);
    const DWORD attributes = ::GetFileAttributesW(systemPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;
        throw IoError(IoStep::Remove, path, SystemError(code));
    }
    const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ::RemoveDirectoryW(systemPath.c_str())
                                                                      : ::DeleteFileW(systemPath.c_str());
    if (!removed) throw IoError(IoStep::Remove, path, LastSystemError());
}

bool SystemFileSystem::IsRegularFile(const std::string& path) {
    const QueryHandle handle(path, true);
    const auto information = handle.Information();
    return information && (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           ::GetFileType(handle.Get()) == FILE_TYPE_DISK;
}

bool SystemFileSystem::Exists(const std::string& path) {
    const std::wstring systemPath = SystemPath(path);
    return !systemPath.empty() && ::GetFileAttributesW(systemPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SystemFileSystem::MayWrite(const std::string& path) {
    // Judged by the system itself, as the open for update would judge it
    // (access list, read-only attribute, a file someone holds without
    // sharing it): the handle is closed at once, nothing is written.
    const QueryHandle handle(path, true, GENERIC_WRITE);
    if (!handle.Opened()) return false;
    const auto information = handle.Information();
    return information && ((information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                           (information->dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0);
}

std::uint64_t SystemFileSystem::LinkCount(const std::string& path) {
    const QueryHandle handle(path, true);
    const auto information = handle.Information();
    if (!information)
        throw IoError(IoStep::Length, path, SystemError(handle.Opened() ? ::GetLastError() : handle.Error()));
    return information->nNumberOfLinks;
}

namespace {

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other) {
    return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
           one.nFileIndexLow == other.nFileIndexLow;
}

}  // namespace

bool SystemFileSystem::SameFile(const std::string& a, const std::string& b) {
    const QueryHandle first(a, true);
    const QueryHandle second(b, true);
    const auto one = first.Information();
    const auto other = second.Information();
    return one && other && SameIdentity(*one, *other);
}

// Two spellings of one directory (another case, a short 8.3 name) are the
// same directory to the system, which the directory's identity shows; a
// directory that cannot be asked is compared by name the way the file
// system looks names up, without regard to case. (Windows can make a
// single directory tell names apart by case; its identity then tells,
// where its name could not.)
bool SameDirectory(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const QueryHandle first(a, true);
    const QueryHandle second(b, true);
    const auto one = first.Information();
    const auto other = second.Information();
    if (one && other) return SameIdentity(*one, *other);
    const std::wstring x = SystemPath(a);
    const std::wstring y = SystemPath(b);
    return !x.empty() && !y.empty() &&
           ::CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) ==
               CSTR_EQUAL;
}

namespace {

// The devices whose names open the device itself in every directory,
// whatever extension follows: "CON.SHP" is the console, not a file. COM0
// and LPT0 are reserved with the others.
// clang-format off
constexpr const wchar_t* kDeviceNames[] = {
    L"CON",  L"PRN",  L"AUX",  L"NUL",
    L"COM0", L"COM1", L"COM2", L"COM3", L"COM4", L"COM5", L"COM6", L"COM7", L"COM8", L"COM9",
    L"LPT0", L"LPT1", L"LPT2", L"LPT3", L"LPT4", L"LPT5", L"LPT6", L"LPT7", L"LPT8", L"LPT9",
    L"COM\u00B9", L"COM\u00B2", L"COM\u00B3", L"LPT\u00B9", L"LPT\u00B2", L"LPT\u00B3"};
// clang-format on

}  // namespace

std::string FileNameProblem(const std::string& name) {
    if (name.empty()) return {};
    // A name is Unicode on Windows: bytes that are no UTF-8 text have no
    // name there to be written under.
    const int length =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()), nullptr, 0);
    if (length <= 0) return "its bytes are no UTF-8 text, and a file name on Windows is made of Unicode characters";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
            constexpr char kHex[] = "0123456789ABCDEF";
            return std::string("it holds the control character 0x") + kHex[byte >> 4] + kHex[byte & 15] +
                   ", which Windows allows in no file name";
        }
        // ':' would name a stream of another file, the rest the system refuses.
        if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
            return std::string("it holds the character ") + c + ", which Windows allows in no file name";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "it ends in a dot or a space, which Windows drops from the end of a file name";
    // The device is named by what comes before the first dot, spaces at
    // its end aside, in either case.
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()), wide.data(),
                          length);
    std::wstring base = wide.substr(0, wide.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (const wchar_t* device : kDeviceNames)
        if (::CompareStringOrdinal(base.c_str(), static_cast<int>(base.size()), device, -1, TRUE) == CSTR_EQUAL)
            return Utf8Of(std::filesystem::path(base)) +
                   " is the name of a device on Windows, with or without an extension";
    return {};
}

namespace {

// The path without the \\?\ prefix the system puts before a final path.
std::string UserPath(std::wstring path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        path = L"\\\\" + path.substr(8);
    else if (path.rfind(L"\\\\?\\", 0) == 0)
        path.erase(0, 4);
    return Utf8Of(std::filesystem::path(path));
}

}  // namespace

std::string LinkTarget(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(SystemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
    const QueryHandle handle(path, true);
    if (!handle.Opened()) return path;
    std::wstring target(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle.Get(), target.data(), static_cast<DWORD>(target.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return path;
        if (length < target.size()) {
            target.resize(length);
            break;
        }
        target.resize(length + 1);
    }
    return UserPath(target);
}

std::optional<std::string> RunningProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::nullopt;
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return UserPath(path);
}

// The lock: a byte-range lock on a file in the directory, since Windows
// locks no directory. The file is the only name this adds to the data
// directory; it is opened as itself (a link there is not followed), never
// written and never removed, so whatever has its name comes to no harm.
// While anyone holds it, nobody may delete or rename it (its handles do not
// share deletion): two editors can never end up locking two different
// files of that name. Once no editor runs, deleting it does no harm.
// A directory nobody may create files in gets no lock file: readers share
// it without one, since no one who could change the data set can write
// there either, and a writer is refused.
//
// Opened for writing too, though it is never written: Wine gives an
// exclusive lock to the system as a write lock only on a handle that may
// write, and that is the lock the Linux build meets. An exclusive lock on a
// handle that may only read would be a read lock there, which keeps out
// neither the Linux build nor a Windows editor under Wine that could only
// read the file either: so a change is refused where the file cannot be
// opened for writing.
namespace {

// Why a lock file this user could not open for writing cannot be locked
// for writing, from the system's reason and whether it exists.
LockFileProblem NotWritableProblem(DWORD code, bool exists) {
    if (code == ERROR_WRITE_PROTECT) return LockFileProblem::ReadOnlyMedium;
    return exists ? LockFileProblem::NotWritable : LockFileProblem::CannotBeMade;
}

}  // namespace

std::unique_ptr<DirectoryLock> DirectoryLock::TryAcquire(const std::string& directory, LockKind kind) {
    // Joined by the path type: a directory given with its separator at the
    // end must not make a doubled one, which a \\?\ path takes literally.
    const std::string lockPath = Utf8Of(PathFromUtf8(directory.empty() ? "." : directory) / kLockFileName);
    const std::wstring systemPath = SystemPath(lockPath);
    const auto open = [&](DWORD access) {
        return ::CreateFileW(systemPath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    const auto unusable = [&](std::error_code reason) {
        return LockFileError(lockPath, LockFileProblem::Unusable, reason);
    };
    std::optional<LockFileProblem> notWritable;
    DWORD writeCode = ERROR_SUCCESS;
    HANDLE handle = open(GENERIC_READ | GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE) {
        writeCode = ::GetLastError();
        const DWORD attributes = ::GetFileAttributesW(systemPath.c_str());
        const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
        // A directory cannot be opened as a file: the system says only that
        // access is denied.
        if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            throw unusable(MakeDataError(DataError::NotARegularFile));
        if (writeCode != ERROR_ACCESS_DENIED && writeCode != ERROR_WRITE_PROTECT)
            throw unusable(SystemError(writeCode));
        notWritable = NotWritableProblem(writeCode, exists);
        if (!exists) {
            if (kind == LockKind::Shared)
                return std::unique_ptr<DirectoryLock>(
                    new DirectoryLock(reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)));
            throw LockFileError(lockPath, *notWritable, SystemError(writeCode));
        }
        handle = open(GENERIC_READ);
        if (handle == INVALID_HANDLE_VALUE) {
            if (kind == LockKind::Exclusive) throw LockFileError(lockPath, *notWritable, SystemError(writeCode));
            throw unusable(SystemError(::GetLastError()));
        }
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileInformationByHandle(handle, &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        ::CloseHandle(handle);
        throw unusable(MakeDataError(DataError::NotARegularFile));
    }
    OVERLAPPED at{};
    if (kind == LockKind::Exclusive && notWritable) {
        // One who holds the lock now is working: busy, as any holder makes
        // it. Otherwise the change is refused for the file's sake.
        const bool free = ::LockFileEx(handle, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
        ::CloseHandle(handle);  // drops that lock
        if (!free) return nullptr;
        throw LockFileError(lockPath, *notWritable, SystemError(writeCode));
    }
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (kind == LockKind::Exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (!::LockFileEx(handle, flags, 0, 1, 0, &at)) {
        const DWORD code = ::GetLastError();
        ::CloseHandle(handle);
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return nullptr;
        throw unusable(SystemError(code));
    }
    return std::unique_ptr<DirectoryLock>(new DirectoryLock(reinterpret_cast<std::intptr_t>(handle)));
}

DirectoryLock::~DirectoryLock() {
    const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);  // drops the lock
}

// A shared lock may overlap an exclusive one taken through the same handle;
// the first unlock of a range locked both ways then drops the exclusive
// one. So the range is never unlocked in between.
void DirectoryLock::Share() {
    const HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    if (handle == INVALID_HANDLE_VALUE) return;
    OVERLAPPED at{};
    if (::LockFileEx(handle, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        OVERLAPPED same{};
        ::UnlockFileEx(handle, 0, 1, 0, &same);
    }
}

// Windows keeps no table of who holds a lock that a program may read.
std::string DirectoryLock::DescribeHolders(const std::string&) {
    return {};
}

}  // namespace qax
