// The papers a batch extraction keeps beside the files it writes, so that
// the next extraction into that folder can tell, after a crash, which of the
// files there the batch made (see shp_extract.cpp for how they are used):
//
// - the note, .qaxtool-extract-<hex>: the hidden names of the files the
//   batch is about to make, written whole and flushed before the first of
//   them is made, and never changed afterwards, so that its change time
//   says when the batch began;
// - its record, .qaxtool-made-<hex>: which files those are (their
//   identities), written once they are all made and flushed before a byte
//   goes into any of them.
//
// Each begins with a line naming its version, what follows it and the
// checksum of that, so that only a paper this program wrote whole is ever
// taken for one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_access.h"

namespace qax {

inline constexpr char kBatchNotePrefix[] = ".qaxtool-extract-";
inline constexpr char kBatchRecordPrefix[] = ".qaxtool-made-";

// What an extracted member's file is called after: NAME.SHP, NAME.TXT.
const char* OutputEnding(int group);

// What reading a file named like a note or a record found. Earlier: a note
// an earlier version wrote, which lists the files it made under their final
// names and records nothing that proves them its own. Torn: a record that
// starts as every record does but is not whole, what a write cut short
// leaves of one. Empty: what a power cut leaves of a paper whose bytes had
// not reached the disk.
enum class PaperKind { Ours, Earlier, Empty, Torn, OtherType, NotOurs, Unreadable };

struct FoundNote {
    PaperKind kind = PaperKind::NotOurs;
    std::vector<std::string> names;  // hidden names (Ours), final names (Earlier)
    std::string listing;             // the lines that hold them, as its record is tied to them
    std::int64_t madeAt = 0;         // its change time (Ours, Earlier)
};

// What the file at `path`, named like a note, is to a batch of `group`.
FoundNote ReadBatchNote(FileSystem& fs, const std::string& path, int group);

struct FoundRecord {
    PaperKind kind = PaperKind::NotOurs;
    std::vector<FileIdentity> identities;  // in the order its note lists the files (Ours)
    std::string noteChecksum;              // of its note's listing (Ours)
};

// What the file at `path`, named like a note's record, is.
FoundRecord ReadBatchRecord(FileSystem& fs, const std::string& path);

// Whether `record` is the whole record of `note`, naming a file for each
// name it lists.
bool IsRecordOf(const FoundRecord& record, const FoundNote& note);

// The path of a note's record from the note's (kBatchNotePrefix to
// kBatchRecordPrefix), or of a record's note from the record's.
std::string PaperNamed(const std::string& path, const char* fromPrefix, const char* toPrefix);

// The note and the record of a batch under way: made by it with exclusive
// creates, and so its own to remove.
struct BatchPapers {
    std::string notePath;
    std::string recordPath;
    std::string listing;           // the note's names, as its record is tied to them
    std::unique_ptr<File> record;  // open until the identities are written
};

// Writes and flushes the note of a batch of `group` in `directory`, listing
// the hidden names of the files it is about to make, none of which is there
// now; makes its record, empty, beside it; and flushes both names to disk.
// When it throws, neither is left.
BatchPapers StartBatch(FileSystem& fs, const std::string& directory, int group,
                       const std::vector<std::string>& hiddenNames);

// Writes which files the batch made, in the order its note lists them, and
// flushes it: from then on a byte may go into them.
void RecordMadeFiles(BatchPapers& papers, const std::vector<FileIdentity>& made);

}  // namespace qax
