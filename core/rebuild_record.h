// The crash record of a replacement and the mark on its copies: their
// format, where they lie, and the proof that a file found in the data set
// is one the editor made.
//
// The record (`~qaxedit.rec`) lies in the directory where the index really
// lies (its symbolic links followed), where every editor of the data set
// finds it whichever link it came through; the data set's lock is taken on
// that same directory. It says how far the replacement had come, which
// archives it rebuilds with their old and new lengths, and the old and new
// index by length and checksum. Each copy of an archive ends in a mark
// carrying the record's random token.
//
// What the record holds is never used as a path. Every file recovery acts
// on lies at a name this program derives itself, and is acted on only
// through a handle that was proved on the file it opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "data_set.h"
#include "file_access.h"

namespace qax {

inline constexpr const char* kRebuildRecordName = "~qaxedit.rec";
std::string DataDirectoryOf(const DataSetPaths& paths);
std::string RebuildRecordPath(const DataSetPaths& paths);

// Where this program keeps the copy of the `n`th archive of a rebuild: the
// data set's temporary copy for the first, a name beside it for each
// further one.
std::string SafetyCopyPath(const DataSetPaths& paths, std::size_t n);
// The name of that copy in whichever directory holds it.
std::string SafetyCopyName(std::size_t n);

// Each copy ends in a mark of this many bytes after the archive's own: the
// token of its record, the key the record was written with and the
// archive's length.
inline constexpr std::size_t kSafetyCopyMarkSize = 36;
inline constexpr std::size_t kRecordTokenSize = 16;

// How far a replacement had come when its record was last written.
enum class RecordPhase : std::uint32_t {
    // The archives hold their old bytes: the copies are being made (or,
    // after a restore, are no longer needed). Recovery only clears up.
    ArchivesOld = 1,
    // The copies are complete and marked; the archives may be rewritten.
    Rewriting = 2,
    // The new index is in place and the copies are no longer needed: written
    // only where the index alone cannot tell (the new one is the old one).
    Committed = 3
};

struct RecordedArchive {
    std::string archiveName;  // "txt.qax" or "shp.qax", in the data directory
    // Where the replacement put the copy, as that program spelled it: told
    // to the user where the copy is not found at a place this program
    // derives, and never opened, read or removed.
    std::string copyPathHint;
    std::uint64_t oldLength = 0;
    std::uint64_t newLength = 0;
};

struct RebuildRecord {
    RecordPhase phase = RecordPhase::ArchivesOld;
    std::string token;  // kRecordTokenSize random bytes
    // A checksum of the data directory's path when the record was written.
    // Kept in the format, and in each copy's mark, so that records already
    // on disk stay readable. It decides nothing: a path's checksum is for
    // anyone to compute, so it never kept a planted record out, and a data
    // set that moved would lose its recovery by it. A record is known by
    // its data set's content and a copy by the record's token; what keeps a
    // stranger's record out is that it must be this user's own file that
    // nobody else may write (recovery.cpp).
    std::uint32_t dataSetKey = 0;
    std::uint64_t oldIndexLength = 0;
    std::uint32_t oldIndexChecksum = 0;
    std::uint64_t newIndexLength = 0;
    std::uint32_t newIndexChecksum = 0;
    std::vector<RecordedArchive> archives;
    // Where a mod was writing its undo (apply --undo), as an absolute path;
    // empty for none. Only told to the user, so that a dead mod's unfinished
    // undo is found: never opened, listed or removed.
    std::string undoDirectoryHint;
};

std::uint32_t Checksum(const std::string& bytes);
std::uint32_t DataSetKey(const DataSetPaths& paths);
std::string NewRecordToken();

std::string EncodeRecord(const RebuildRecord& record);
// Nothing when the bytes are not a whole, undamaged record of this version.
std::optional<RebuildRecord> DecodeRecord(const std::string& bytes);
// Far above what any record holds; a larger file is not one the editor wrote.
inline constexpr std::uint64_t kLargestRecord = 64 * 1024;
// Whether `bytes` could be the start of a record (a record cut short).
bool StartsLikeRecord(const std::string& bytes);

// Writes the record beside its name and renames it into place, writable by
// its owner only, on disk when this returns.
void WriteRecord(FileSystem& fs, const std::string& recordPath, const RebuildRecord& record);

// The new index and the copies are written under names that carry the
// record's token until they are complete, so that only a record can vouch
// for a leftover of them.
std::string PartialNameFor(const std::string& fileName, const std::string& token);
std::string PartialPathFor(const std::string& path, const std::string& token);

std::string CopyMark(const std::string& token, std::uint32_t dataSetKey, std::uint64_t archiveLength);
// Whether `copy` carries `mark` after exactly `archiveLength` bytes; judged
// through the open file, which is left at its start.
bool IsMarkedCopy(File& copy, const std::string& mark, std::uint64_t archiveLength);

// What is said of a file at the copy's name that no record accounts for.
std::string StrayCopyText(const std::string& copyPath);

// ---------------------------------------------------------------------------
// The proof. Each claim is judged on the facts of the handle that is then
// used, never on a name looked up again.
enum class Claim {
    // The record and the copies: read and relied on. A plain file with one
    // name, of the user running this program, whom nobody else may change.
    MadeByThisUser,
    // A file named with a proved record's token (an unfinished index or
    // copy): only ever removed. A plain file with one name; whoever could
    // put another file of his there could remove it himself.
    NamedForThisReplacement,
    // An archive written back by recovery: a plain file with one name, as a
    // replacement requires of it.
    DataFile
};

enum class Unproved { No, NotAPlainFile, SeveralNames, AnotherUsers, OthersMayWrite };
Unproved CheckClaim(const FileFacts& facts, Claim claim);
// Why a file is not proved, as the end of a sentence ("it belongs to
// another user"); empty for Unproved::No.
std::string UnprovedReason(Unproved unproved);

}  // namespace qax
