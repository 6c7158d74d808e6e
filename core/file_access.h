// Checked, RAII file access for everything the core reads or writes: the
// file layer, the copy of a run of bytes between open files, the write
// beside, flush and rename of SaveFile, and the texts that tell the user a
// file could not be used.
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
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "report_sink.h"

namespace qax {

// Paths are UTF-8 throughout the program, on every system. On Windows the
// standard library's path type would read a narrow string in the system's
// code page (and lose every name outside it), so each crossing between a
// string and a path goes through these two.
std::filesystem::path PathFromUtf8(const std::string& utf8);
std::string Utf8Of(const std::filesystem::path& path);

enum class IoStep { Open, Read, Write, Seek, Length, Flush, Close, Rename, Remove };

const char* IoStepName(IoStep step);

// Failures that are not the system's: a file that holds fewer bytes than the
// index or an earlier measurement says it must. They travel inside IoError so
// that every failure is reported and rolled back the same way.
enum class DataError {
    EndedEarly = 1,   // the file ended before all the expected bytes were read
    WrongLength,      // a finished file does not have the length it must have
    NotARegularFile,  // a pipe, a device, a directory, or (where links are not followed) a link
    NotItsOwnFile,    // a file that must have one name only has more (a hard link)
    Stopped,          // the user asked the program to stop (a signal)
    Replaced,         // the name was given to another file after the file was checked
    NotProved         // not a file of this user's that nobody else may change, where only such a file will do
};

std::error_code MakeDataError(DataError error);

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

// What keeps the data set's lock file (see DirectoryLock) from being locked.
// Unusable keeps every editor out; the others keep out only a change, which
// must lock the file for writing: a read lock, all this user could take,
// keeps no other editor out of a change of its own.
enum class LockFileProblem {
    Unusable,        // something else has its name (a link, a pipe, a directory), or it cannot be opened at all
    OtherOwner,      // another user's file that this user may only read
    NotWritable,     // this user may only read it
    Unchangeable,    // marked so (immutable): nobody may write it
    ReadOnlyMedium,  // it lies on a medium that takes no writes
    CannotBeMade     // absent, and this user may make no file in its directory
};

class LockFileError : public std::runtime_error {
public:
    // `owner`: the name of the file's owner, where that is the problem.
    LockFileError(std::string path, LockFileProblem problem, std::error_code reason, std::string owner = {});

    const std::string& Path() const { return path_; }
    LockFileProblem Problem() const { return problem_; }
    std::error_code Reason() const { return reason_; }
    const std::string& Owner() const { return owner_; }

private:
    std::string path_;
    LockFileProblem problem_;
    std::error_code reason_;
    std::string owner_;
};

// The three stream modes the data set is accessed with.
enum class OpenMode {
    Read,           // "rb"
    ReadUpdate,     // "r+b": read and write in place, no truncation
    WriteTruncate,  // "wb": create, or empty an existing file
    CreateNew,      // a new file only: fails when anything, even a dangling link, has the name
    // Read, without ever waiting at the open (a pipe nobody writes to, a
    // device), and only a regular file: for files the user names, which may
    // be anything at all. A link is followed.
    ReadRegular,
    // Read only a regular file with a single name, reached without
    // following a link and without waiting: for the files the editor made
    // itself and finds again by name, which a stranger may have replaced.
    ReadOwn
};

// How a whole-file copy treats its target.
enum class CopyTarget {
    Overwrite,  // created, or emptied in place so it keeps its identity (and its links)
    NewFile     // created; fails when anything, even a dangling link, has the name
};

// Which file a handle is on, whatever its names: equal for two handles on
// one file, different for any two files at once.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// What a handle says of its file, measured on the handle itself: a proof
// made from these holds for the file the handle reads and writes, whatever
// happens to its names in the meantime.
struct FileFacts {
    bool regular = false;         // a plain file: no directory, pipe, device or link
    std::uint64_t links = 0;      // how many names it has
    bool ownedByProcess = false;  // its owner is the user this process runs as
    bool othersMayWrite = false;  // its group or anyone else may write it
    FileIdentity identity;
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
    // Moves up to `count` bytes from the current position of `source` to the
    // current position of this file, advancing both; fewer only when the
    // source ends first, and then only bytes the source holds. The bytes go
    // through `buffer` (which must not be empty) unless the system can move
    // them between the two files itself.
    virtual std::size_t TransferFrom(File& source, std::size_t count, std::span<unsigned char> buffer);
    virtual void Seek(std::uint64_t position) = 0;
    virtual std::uint64_t Position() = 0;
    virtual std::uint64_t Length() = 0;
    // Cuts the file to `length` bytes (or extends it with zero bytes).
    virtual void SetLength(std::uint64_t length) = 0;
    // Pushes buffered data to the operating system and then to the disk.
    virtual void Flush() = 0;
    // Closes with a check; the destructor closes silently if this was not called.
    virtual void Close() = 0;
    // Gives this file the permission bits of the file at `modelPath`, and its
    // owner and group as far as the process may set them (the owner only
    // with the privilege to; the group when the process belongs to it).
    virtual void TakeAccessOf(const std::string& modelPath) = 0;
    // Takes the write bits from the group and everyone else, so that only
    // its owner may change it: what the editor writes for its own later
    // use (the crash record, the copies) is proved by that.
    virtual void RestrictWritingToOwner() = 0;
    virtual FileFacts Facts() = 0;
    virtual const std::string& Path() const = 0;
    // When the system last saw the file change in any way (its bytes, its
    // names, its permissions), by the system's own clock, in nanoseconds;
    // only to be compared with another file's on the same system. Copying or
    // unpacking a file does not carry it over: it says when the file came
    // to be as it is here. Nothing where the system does not tell.
    virtual std::optional<std::int64_t> ChangeTime() { return std::nullopt; }
};

// How an entry of a held directory is opened: always the name itself (a
// link is never followed), never waiting (a pipe or a device is refused),
// and only a regular file.
enum class EntryAccess { Read, Update };

// A directory held open by handle: what is opened, removed and flushed
// through it is in that very directory, whatever happens meanwhile to the
// names of the directories on its path. Names given to it are plain names,
// never paths.
class Directory {
public:
    virtual ~Directory() = default;
    Directory() = default;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // IoError when the name cannot be opened, or is a link or no regular file.
    virtual std::unique_ptr<File> OpenEntry(const std::string& name, EntryAccess access) = 0;
    // A new regular file at the name, open for writing, which only its owner
    // may write; IoError when anything, a link included, has the name.
    virtual std::unique_ptr<File> CreateEntry(const std::string& name) = 0;
    // The names the directory holds ("." and ".." aside), listed through
    // the handle.
    virtual std::vector<std::string> EntryNames() = 0;
    // What the handle says of the directory itself: its owner, and whether
    // anyone else may write (and so add, remove or rename) its entries.
    virtual FileFacts Facts() = 0;
    // Whether anything, a link included, has the name.
    virtual bool HasEntry(const std::string& name) = 0;
    // Removes the name only while it still names the file `proved` (the
    // identity taken from the handle the file was proved on): a name that
    // was meanwhile given to another file stays, and IoError says so.
    virtual void RemoveEntry(const std::string& name, const FileIdentity& proved) = 0;
    // Flushes the directory's names to the disk.
    virtual void Sync() = 0;
    // The directory's path as it was opened, for messages.
    virtual const std::string& Path() const = 0;
    std::string PathOf(const std::string& name) const;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
    // Holds the directory at `path` (links on the way followed) until the
    // handle goes. IoError when it cannot be opened.
    virtual std::unique_ptr<Directory> OpenDirectory(const std::string& path) = 0;
    // Copies the whole of `from` to `to` as `target` says, checks that every
    // byte arrived and flushes `to` to the disk. Returns the number of bytes
    // copied. When it throws, `to` may hold part of the copy; `from` is never
    // written.
    virtual std::uint64_t CopyFile(const std::string& from, const std::string& to, CopyTarget target) = 0;
    // Atomically replaces `to` with `from` (same directory). When it throws,
    // nothing was renamed.
    virtual void Rename(const std::string& from, const std::string& to) = 0;
    // Gives `from` the name `to` (same directory) only while nothing has
    // that name: a file that appeared there meanwhile stays, and IoError
    // says so. When it throws, nothing was renamed.
    virtual void RenameNew(const std::string& from, const std::string& to) = 0;
    // Makes a new directory (its parent must exist) that only its owner may
    // write; IoError when anything has the name already.
    virtual void MakeDirectory(const std::string& path) = 0;
    // Flushes the directory that holds `path` to the disk, so that a rename
    // inside it survives a power cut.
    virtual void SyncDirectoryOf(const std::string& path) = 0;
    // Flushes everything written on the file system that holds `path`, data
    // and names alike: one wait for a whole batch of new files.
    virtual void SyncFileSystemOf(const std::string& path) = 0;
    virtual void Remove(const std::string& path) = 0;
    // True for an existing regular file (a directory does not count).
    virtual bool IsRegularFile(const std::string& path) = 0;
    // True when anything has this name, a link is not followed: a dangling
    // link exists.
    virtual bool Exists(const std::string& path) = 0;
    // True when both paths name the same existing file, whatever the spelling.
    virtual bool SameFile(const std::string& a, const std::string& b) = 0;
    // Whether this process may open the existing file for writing, judged
    // on the file itself with the process's effective ids, as an open for
    // update would judge it.
    virtual bool MayWrite(const std::string& path) = 0;
    // How many names the file has (hard links); a symbolic link is followed.
    virtual std::uint64_t LinkCount(const std::string& path) = 0;
};

// A file system that passes every call on to another one: the base of
// those that watch or change a few of the calls and leave the rest alone.
class ForwardingFileSystem : public FileSystem {
public:
    explicit ForwardingFileSystem(FileSystem& inner) : inner_(inner) {}

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override { return inner_.Open(path, mode); }
    std::unique_ptr<Directory> OpenDirectory(const std::string& path) override { return inner_.OpenDirectory(path); }
    std::uint64_t CopyFile(const std::string& from, const std::string& to, CopyTarget target) override {
        return inner_.CopyFile(from, to, target);
    }
    void Rename(const std::string& from, const std::string& to) override { inner_.Rename(from, to); }
    void RenameNew(const std::string& from, const std::string& to) override { inner_.RenameNew(from, to); }
    void MakeDirectory(const std::string& path) override { inner_.MakeDirectory(path); }
    void SyncDirectoryOf(const std::string& path) override { inner_.SyncDirectoryOf(path); }
    void SyncFileSystemOf(const std::string& path) override { inner_.SyncFileSystemOf(path); }
    void Remove(const std::string& path) override { inner_.Remove(path); }
    bool IsRegularFile(const std::string& path) override { return inner_.IsRegularFile(path); }
    bool Exists(const std::string& path) override { return inner_.Exists(path); }
    bool SameFile(const std::string& a, const std::string& b) override { return inner_.SameFile(a, b); }
    bool MayWrite(const std::string& path) override { return inner_.MayWrite(path); }
    std::uint64_t LinkCount(const std::string& path) override { return inner_.LinkCount(path); }

protected:
    FileSystem& inner_;
};

// Whether Flush, CopyFile and SyncDirectoryOf wait for the disk. The editor
// always does; only the benchmark turns it off, to show what durability costs.
enum class DiskSync { On, Off };

// The real file system of the system the program runs on: POSIX
// descriptors (posix_file_system.cpp) or Win32 handles
// (win32_file_system.cpp), chosen when the program is built.
class SystemFileSystem : public FileSystem {
public:
    explicit SystemFileSystem(DiskSync sync = DiskSync::On) : sync_(sync) {}

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
    std::unique_ptr<Directory> OpenDirectory(const std::string& path) override;
    std::uint64_t CopyFile(const std::string& from, const std::string& to, CopyTarget target) override;
    void Rename(const std::string& from, const std::string& to) override;
    void RenameNew(const std::string& from, const std::string& to) override;
    void MakeDirectory(const std::string& path) override;
    void SyncDirectoryOf(const std::string& path) override;
    void SyncFileSystemOf(const std::string& path) override;
    void Remove(const std::string& path) override;
    bool IsRegularFile(const std::string& path) override;
    bool Exists(const std::string& path) override;
    bool SameFile(const std::string& a, const std::string& b) override;
    bool MayWrite(const std::string& path) override;
    std::uint64_t LinkCount(const std::string& path) override;

private:
    DiskSync sync_;
};

// A file system that fails the first write (or open for writing, or flush)
// taken after `stopRequested` says so, as a full disk would fail it, and
// lets every later step through: an operation asked to stop politely (a
// signal) then undoes what it did on its usual failure path, with nothing
// left for recovery. Reading, renaming and removing are never failed.
//
// `commitPath` names the file whose renaming into place is the point of no
// return (the index, for a replacement): once a rename has put a file there,
// the operation has taken effect, and no later step is failed, so that it
// finishes and clears up after itself as it would have without the stop.
class StoppableFileSystem : public ForwardingFileSystem {
public:
    StoppableFileSystem(FileSystem& inner, std::function<bool()> stopRequested, std::string commitPath = {})
        : ForwardingFileSystem(inner), stopRequested_(std::move(stopRequested)), commitPath_(std::move(commitPath)) {}

    // Whether a step was failed for the request.
    bool Stopped() const { return stopped_; }
    // Whether the commit path was renamed into place.
    bool Committed() const { return committed_; }
    // Fails the step when the request is new; called before each step.
    void Check(IoStep step, const std::string& path);

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
    std::unique_ptr<Directory> OpenDirectory(const std::string& path) override;
    std::uint64_t CopyFile(const std::string& from, const std::string& to, CopyTarget target) override;
    void Rename(const std::string& from, const std::string& to) override;
    void RenameNew(const std::string& from, const std::string& to) override;
    void MakeDirectory(const std::string& path) override;
    void SyncDirectoryOf(const std::string& path) override;
    void SyncFileSystemOf(const std::string& path) override;
    void Remove(const std::string& path) override;

private:
    std::function<bool()> stopRequested_;
    std::string commitPath_;
    bool stopped_ = false;
    bool committed_ = false;
};

// Reads exactly `count` bytes; false when the file ended first.
bool ReadExactly(File& file, void* buffer, std::size_t count);

// The whole of a file's bytes; IoError when it cannot be opened or read whole.
std::string ReadWholeFile(FileSystem& fs, const std::string& path);

// An advisory lock on a directory, held from a successful TryAcquire until
// destruction. Several shared holders may hold it at once, an exclusive
// holder alone. Both builds lock the first byte of an empty `~qaxedit.lck`
// in the directory (made where the user may), which is never written; on
// POSIX the directory itself is locked too. The system drops the locks when
// the holding process dies, whatever way it dies. An exclusive holder locks
// that byte for writing or not at all: where the user may only read the
// file, its lock could not keep the other build out.
inline constexpr char kLockFileName[] = "~qaxedit.lck";

enum class LockKind { Shared, Exclusive };

class DirectoryLock {
public:
    // Empty when another holder keeps it from being taken at once; never
    // waits. IoError when the directory cannot be opened; LockFileError when
    // the lock file cannot be used, or cannot be locked for writing for an
    // exclusive lock.
    static std::unique_ptr<DirectoryLock> TryAcquire(const std::string& directory, LockKind kind);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    // Turns an exclusive lock into a shared one; others may then share it.
    void Share();

    // Who holds the lock on `directory` as far as the system tells (on
    // Linux, its table of locks): "qaxedit (process 1234)" for each holder,
    // joined; empty when that cannot be known.
    static std::string DescribeHolders(const std::string& directory);

private:
    // The system's handle on what is locked: a descriptor of the directory
    // on POSIX, a Win32 handle of the lock file on Windows; and on POSIX the
    // descriptor of the lock file the Windows build locks (-1 for none).
    explicit DirectoryLock(std::intptr_t handle, std::intptr_t lockFile = -1) : handle_(handle), lockFile_(lockFile) {}
    std::intptr_t handle_;
    std::intptr_t lockFile_;
};

// ---------------------------------------------------------------------------
// Moving a run of bytes between open files, with every failure and every
// early end of data turned into an IoError.

// Copies exactly `count` bytes from the current position of `from` to the
// current position of `to`, one buffer's worth at a time (moved by the
// system itself where it can). A source that ends early stops the copy with
// IoError(Read, EndedEarly): what was written up to then came from the
// source, and nothing that is not in it is ever written.
void CopyExactly(File& from, File& to, std::uint64_t count, std::span<unsigned char> buffer);

// ---------------------------------------------------------------------------
// Writing a file so that its name only ever holds the old bytes or the
// complete new ones: the new bytes go to a fresh file beside it, which is
// flushed to disk and then renamed over the name, and the directory is
// flushed so that the rename itself survives a power cut.
//
// The file beside it is always created new: whatever already has its name
// (a leftover of an earlier run, or a link someone planted there) is removed
// first, the link itself and never what it points to, and the exclusive
// create then fails rather than follow anything that appeared in between.
// The new file takes the permission bits, and as far as the process may set
// them the owner and group, of the file it replaces.

class SaveFile {
public:
    // Where the new bytes are written before they take `target`'s place,
    // unless the caller names the place itself.
    static std::string PartialPathOf(const std::string& target) { return target + ".new"; }

    // What a target that is a symbolic link means: the file it points to,
    // rewritten where it lies so the link stays (a data file shared between
    // products), or just the name, whose link is replaced (an output the
    // editor makes: whatever the link points to is never written).
    enum class Links { RewriteTarget, ReplaceLink };

    // Creates the partial file (at PartialPathOf the target, or at
    // `partialName` in the target's directory). IoError (naming `target`)
    // when it cannot.
    SaveFile(FileSystem& fs, std::string target, Links links, const std::string& partialName = {});
    // Cancels, silently, unless committed.
    ~SaveFile();
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;

    File& Stream() { return *file_; }

    // Flushes the new bytes to disk, renames them over the target and
    // flushes the directory. When this throws, Renamed() tells whether the
    // target already holds the new bytes (only the directory flush failed).
    void Commit();
    bool Renamed() const { return renamed_; }

    // For a batch whose files are flushed together: Close() ends the new
    // bytes without waiting for the disk (the partial file stays, and Cancel
    // still removes it); once the caller has made them durable
    // (SyncFileSystemOf), CommitDurable() renames them over the target, and
    // the caller flushes the directory once for all of them.
    void Close();
    void CommitDurable();

    // Closes and removes the partial file; IoError when it cannot be removed.
    void Cancel();

    // The name the new bytes take: `target`, or the file its link points to.
    const std::string& Target() const { return target_; }
    const std::string& PartialPath() const { return partial_; }

private:
    FileSystem& fs_;
    std::string target_;
    std::string partial_;
    std::unique_ptr<File> file_;
    bool closed_ = false;  // the partial file is complete and closed
    bool renamed_ = false;
};

// Removes whatever has `path` as its name: a file, a link (the link itself,
// never its target) or an empty directory. IoError when it is there and
// cannot be removed, a directory with something in it for one.
void RemoveLeftover(FileSystem& fs, const std::string& path);

// `bytes` random bytes as lower-case hexadecimal: names and marks that no
// one else can have chosen in advance.
std::string RandomHex(std::size_t bytes);

// The file a symbolic link finally points to; `path` itself when it is no
// link, or a link that leads nowhere.
std::string LinkTarget(const std::string& path);

// Whether two directory paths name one directory as the system tells names
// apart: on POSIX byte for byte, since names there differ by case; on
// Windows without regard to case, as its file systems look names up (the
// directory's identity where both can be asked, its name otherwise).
bool SameDirectory(const std::string& a, const std::string& b);

// Why the system the program runs on cannot hold `name` as a file's name in
// a directory, in words for the user; empty when it can. Separators and the
// names "." and ".." (which leave the directory on every system) are the
// caller's to refuse. On POSIX every other name is a name; on Windows a
// device's name, a character the system forbids, a control character, a
// dot or space at the end, or bytes that are no UTF-8 text are not.
std::string FileNameProblem(const std::string& name);

// ---------------------------------------------------------------------------
// How the core tells the user that a file could not be used.

inline constexpr const char* kFileErrorCaption = "File Error";
// For what goes wrong after a replacement took effect: the member is replaced.
inline constexpr const char* kReplacedWithWarningCaption = "Replaced, with a Warning";

// "Could not open <path>\n" in a box captioned "File Error" with one OK button.
void FileErrorReport(ReportSink& sink, const std::string& path);

// Any failed file step: an open is reported exactly as above; a read, write,
// flush or other step names the step, the file and the system's reason.
void FileErrorReport(ReportSink& sink, const IoError& error);

// The text FileErrorReport shows for `error`, for callers that must add what
// happened next (for example that an archive was restored).
std::string FileErrorText(const IoError& error);

}  // namespace qax
