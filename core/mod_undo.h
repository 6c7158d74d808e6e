// The undo of a mod, and the guards that keep an undo from taking off more
// than its own mod.
//
// An undo is a directory of the user's: one file per member the mod
// replaced, holding the member's bytes from before the mod, and
// `manifest.txt`, an ordinary manifest that puts them back (named as a text
// file, so that a file manager opens it as one; undos written before were
// named `manifest`, and are still read). Its guard lines come first:
//
//   guard TYPE NAME SIZE CRC32
//
// one per member, saying what the mod wrote into it (its size in bytes and
// the CRC-32 of its bytes, 8 hexadecimal digits). A manifest with guards
// goes ahead only while every guarded member holds exactly that, so mods
// stacked on each other come off in reverse order, and out of order are
// refused with the reason. A program that does not know guard lines takes
// "guard" for a type it does not have and refuses the line.
//
// An undo directory is the user's own, proved as the crash record is: a
// directory of this user's that nobody else may write (made so when apply
// makes it), held open while it is written or read, its files made and
// read only through that handle, each a plain file of this user's with one
// name that nobody else may change. An undo another user could have
// changed since it was written could put anything into the data set: such
// a directory or file is refused, before the mod and when the undo is
// applied.
//
// The undo is written inside the mod's own transaction, from the copies of
// the old archives the rebuild holds, after the new archives are on disk
// and before the new index takes effect: its member files are flushed
// with their names (one wait for the whole batch), and the manifest written beside its name and renamed
// to it only when nothing has that name. A death before the manifest's
// rename leaves no undo (no manifest); after it and before the new index,
// the old data set and an undo whose guards refuse it. Nothing in the
// directory is read by the writer but what a dead apply --undo left there,
// and nothing it did not make there is touched: its files are made new,
// and removed again (through the held directory, while they are still the
// files it made) when the mod fails.
//
// A death before the mod took effect leaves the undo unfinished: numbered
// member files, a manifest.txt.new, even a complete manifest.txt whose
// guards refuse it. The same apply --undo takes that directory again and
// replaces what is there, once each file is proved the user's own and to
// hold nothing the data set does not (see UndoWriter::Refusal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive_ops.h"
#include "file_access.h"

namespace qax {

inline constexpr const char* kUndoManifestName = "manifest.txt";
// What earlier versions named it.
inline constexpr const char* kOldUndoManifestName = "manifest";
// The first line of every undo's manifest: an undo taken off by an undo of
// its own puts its mod back on, and the messages say which way it goes.
inline constexpr const char* kUndoManifestHeading = "# The undo of a mod, written by qaxtool apply --undo";

// One member the mod replaces, where its old and new bytes lie.
struct UndoMember {
    int group = Txt;
    std::string name;
    std::size_t archive = 0;  // which archive of the rebuild (and which copy) holds it
    std::uint64_t oldOffset = 0;
    std::uint64_t oldSize = 0;
    std::uint64_t newOffset = 0;
    std::uint64_t newSize = 0;
};

// The file of the undo that holds the `number`th member's old bytes: the
// number keeps names apart where the system does not tell case apart;
// every byte of the member's name but letters, digits, '_' and '-' is
// written %XX, so the name is one every system can hold.
std::string UndoFileName(std::size_t number, int group, std::string_view memberName);

// The line of a guard, without its newline.
std::string GuardLine(int group, std::string_view memberName, std::uint64_t size, std::uint32_t crc32);

// The CRC-32 of `size` bytes of `file` from `offset`; nothing when the file
// ends first.
std::optional<std::uint32_t> MemberCrc32(File& file, std::uint64_t offset, std::uint64_t size,
                                         std::span<unsigned char> buffer);

// Each guard checked against the archives as they are (the caller holds
// the lock and has checked that each guard's line is still the index's):
// the text that refuses the mod, naming every member that does not hold
// what its guard says; empty when all hold. A member that holds already
// the bytes of the file the manifest puts there (`batches`: an undo
// applied twice) is told as such. IoError when a file cannot be read.
std::string GuardsRefusal(FileSystem& fs, const DataSetPaths& paths, const std::vector<MemberGuard>& guards,
                          const std::vector<GroupReplacements>& batches);

// The same check, each guard that does not hold as it was found; the text
// GuardsRefusal gives for them.
std::vector<GuardFailure> FailedGuards(FileSystem& fs, const DataSetPaths& paths,
                                       const std::vector<MemberGuard>& guards,
                                       const std::vector<GroupReplacements>& batches);
std::string GuardsRefusalText(const std::vector<GuardFailure>& failures);

// Writes one undo, and takes it away again unless kept.
class UndoWriter {
public:
    UndoWriter(FileSystem& fs, std::string directory, std::vector<UndoMember> members);
    // Removes what was written unless Keep() was called; silently.
    ~UndoWriter();
    UndoWriter(const UndoWriter&) = delete;
    UndoWriter& operator=(const UndoWriter&) = delete;

    // Why the undo cannot go into its directory: a member whose name a
    // manifest line cannot hold; no directory there, or a missing parent;
    // a directory of another user's, or one others may write; one that
    // holds anything but the unfinished undo a dead apply --undo left (its
    // file names, each file this user's own that nobody else may change,
    // each member file holding the bytes of the member its name gives, or
    // the first of them where no complete manifest vouches that it was
    // finished; a manifest that begins as an undo's does). Empty when it
    // can; the directory is then held, and proved, from here on. Judged
    // against the data set as it is: the caller holds its lock.
    std::string Refusal(const ArchiveContext& context);
    // What the directory held that Write replaces, in a sentence; empty
    // when it held nothing.
    const std::string& Replaces() const { return replaces_; }

    // Makes the directory when it is missing (only its owner may write
    // it), takes away what Refusal found a dead undo had left, writes each
    // member's old bytes from `copies` (the held copies of the old
    // archives, in the rebuild's order) and the guards from the new
    // archives at `archivePaths`, flushed, then the manifest. IoError on
    // any failure.
    void Write(const std::vector<File*>& copies, const std::vector<std::string>& archivePaths);
    // The mod took effect: the undo stays.
    void Keep() { kept_ = true; }
    // Removes what was written: empty, or a paragraph naming what stays.
    std::string Abandon();

private:
    struct Made {
        std::string name;
        std::optional<FileIdentity> identity;  // none: the handle could not tell, so it is not removed
    };
    std::unique_ptr<File> CreateEntry(const std::string& name);
    std::string LeftoverRefusal(const ArchiveContext& context, const std::vector<std::string>& names);

    FileSystem& fs_;
    std::string directory_;
    std::vector<UndoMember> members_;
    std::unique_ptr<Directory> held_;
    std::vector<Made> made_;
    // What a dead undo left, proved, manifest first: taken away by Write.
    std::vector<Made> leftovers_;
    std::string replaces_;
    bool madeDirectory_ = false;
    bool kept_ = false;
};

// Why the held directory `directory` cannot hold an undo to write or to
// read: another user's, or one others may write (judged on its handle).
// Empty when it can.
std::string UndoDirectoryProblem(Directory& directory);

// An undo being applied: its directory held and proved, and its manifest
// and member files opened only through it, each proved at every open.
class UndoSource {
public:
    // Holds `directory`; IoError when it cannot be opened.
    UndoSource(FileSystem& fs, const std::string& directory);
    // Why the undo cannot be applied from its directory (another user's,
    // or one others may write); empty when it can.
    std::string DirectoryRefusal() { return UndoDirectoryProblem(*held_); }
    // Why the file `name` cannot be read as part of the undo (it is not
    // there, not a plain file with one name, another user's, or others may
    // change it), naming it and what to do; empty when it can.
    std::string FileRefusal(const std::string& name);
    // The file, opened through the held directory and proved on that very
    // handle; IoError (NotProved) when it is not this user's own.
    std::unique_ptr<File> OpenFile(const std::string& name);
    const std::string& Path() const { return held_->Path(); }
    std::string PathOf(const std::string& name) const { return held_->PathOf(name); }

private:
    std::unique_ptr<Directory> held_;
};

// A file system that reads the files of an undo (`files`: each path as the
// manifest's lines give it, to its name in the undo's directory) through
// the undo's held directory, proved at every open; everything else goes to
// `inner` as it is.
class UndoReadingFileSystem final : public ForwardingFileSystem {
public:
    UndoReadingFileSystem(FileSystem& inner, UndoSource& source, std::map<std::string, std::string> files)
        : ForwardingFileSystem(inner), source_(source), files_(std::move(files)) {}

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;

private:
    UndoSource& source_;
    std::map<std::string, std::string> files_;
};

}  // namespace qax
