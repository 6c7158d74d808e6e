// Everything a replacement reads and checks before it changes anything, in
// the order it does so: the whole index held in memory, the checks that may
// refuse the replacement, and the inputs both replacements share (the
// selected group's entries, the replacement file kept open, the archive's
// length).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "archive_ops.h"
#include "file_access.h"
#include "index_file.h"

namespace qax {

// ---------------------------------------------------------------------------
// The whole index held in memory while an archive is rebuilt; the rebuild
// transaction writes it back through SaveFile.
//
// The image is as long as the index file is, whatever that length: nothing
// in it is cut off and nothing is read past its end.

class IndexImage {
public:
    // Reads the whole index; IoError when it cannot be opened or read whole.
    static IndexImage Load(FileSystem& fs, const std::string& indexPath);

    IndexImage() = default;
    explicit IndexImage(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

    std::uint64_t Length() const { return bytes_.size(); }
    const std::vector<unsigned char>& Bytes() const { return bytes_; }

    // The entry at byte `position`; the image must hold all 16 bytes of it.
    IndexEntry EntryAt(std::uint64_t position) const;
    void SetSize(std::uint64_t entryPosition, std::int32_t size);
    void SetOffset(std::uint64_t entryPosition, std::uint32_t offset);

private:
    unsigned char* Field(std::uint64_t entryPosition, std::uint32_t fieldOffset);

    std::vector<unsigned char> bytes_;
};

// ---------------------------------------------------------------------------
// The checks that decide, before anything is touched, whether an archive
// operation may run.

// Why an operation may not run: the text of the message that refuses it, or
// nothing when it may go on.
using Refusal = std::optional<std::string>;

// A failed start-up leaves the section table all zero; with it a replacement
// would write into the index header.
Refusal StartUpRefusal(const SectionTable& table);

// selectedLine must name one of the group's entries.
Refusal SelectionRefusal(int selectedLine, std::uint32_t entryCount);

// The replacement file must not be the archive being rebuilt, the index or
// the temporary copy, under any name; and the temporary copy must not be the
// archive or the index either.
Refusal SameFileRefusal(FileSystem& fs, const DataSetPaths& paths, const std::string& archivePath,
                        const std::string& replacementFileName);
// Its first half alone, the replacement file against the three: what each
// further file of a batch needs once the data files are known apart.
Refusal ReplacementFileRefusal(FileSystem& fs, const DataSetPaths& paths, const std::string& archivePath,
                               const std::string& replacementFileName);

// Every member of the group must have a size of 0 or more.
Refusal MemberSizeRefusal(const std::vector<IndexEntry>& group);

// The members an operation reads from the archive must lie inside it.
Refusal MemberBoundsRefusal(const std::vector<IndexEntry>& members, std::uint64_t archiveLength,
                            const std::string& archivePath);

// The Shp members must lie back to back from the start of the archive:
// fresh offsets are sums of sizes, which is right only then; otherwise the
// rewritten index would point into the wrong bytes.
Refusal BackToBackRefusal(const std::vector<IndexEntry>& members);

// What a rebuild of txt.qax changes besides the replaced members' bytes. It
// writes the members back to back in index order, each with bytes of its
// own, and gives every entry the offset that layout gives it; from any
// other layout it moves members, copies shared bytes apart and drops bytes
// no entry points to. Every member still reads what it read, but a mod
// taken off again leaves txt.qax and the index laid out anew instead of
// byte for byte as they were. Empty when the members lie so already;
// otherwise what differs, in words, with the first member of each kind.
// The members must have sizes of 0 or more and lie inside the archive.
std::string TextLayoutChanges(const std::vector<IndexEntry>& members, std::uint64_t archiveLength);

// The new member's size must fit the index's signed 32-bit field, and every
// new offset its unsigned 32-bit field.
Refusal NewSizeRefusal(std::uint64_t replacementLength, std::uint64_t newGroupLength,
                       const std::string& replacementFileName);

// All the checks a replacement makes before it opens a file, in order: the
// start-up, the selection, the files involved.
Refusal ReplacementStartRefusal(const ArchiveContext& context, int group, const std::string& archivePath,
                                int selectedLine, const std::string& replacementFileName);

// The section table as the section file gives it now, for an index of
// `indexLength` bytes, with the text of the refusal when it no longer fits
// the index. IoError when the section file cannot be read.
struct CurrentSectionTable {
    SectionTable table;
    Refusal refusal;
};
CurrentSectionTable ReadCurrentSectionTable(FileSystem& fs, const DataSetPaths& paths, std::uint64_t indexLength);
// The same, measuring the index itself; a file that cannot be read is told
// in the refusal.
CurrentSectionTable ReadCurrentSectionTable(FileSystem& fs, const DataSetPaths& paths);

// The selected line must still be the line the index gives for the entry
// at its place, as the index and section file are now; otherwise the data
// set changed since it was listed.
Refusal StaleSelectionRefusal(const IndexImage& index, const SectionTable& table, int group,
                              const ListedLine& selected);

// Shows the refusal and says so.
ArchiveOutcome Refuse(ReportSink& sink, const std::string& text, const char* caption);

// ---------------------------------------------------------------------------
// What both replacements read before they change anything: the whole index,
// the selected group's entries, the replacement file (kept open) and the
// archive's length.

struct ReplacementInputs {
    SectionTable table;  // as the section file gives it now
    IndexImage image;
    std::vector<std::uint64_t> positions;  // byte position of each entry of the group in the index
    std::vector<IndexEntry> members;       // the group's entries, in index order
    std::size_t selected = 0;
    std::unique_ptr<File> replacement;
    std::uint64_t replacementLength = 0;
    std::uint64_t archiveLength = 0;

    const IndexEntry& Selected() const { return members[selected]; }
    std::uint64_t SelectedPosition() const { return positions[selected]; }
    // The group's members back to back, the selected one as long as the
    // replacement file: their total length...
    std::uint64_t NewGroupLength() const;
    // ...and the index with the selected entry's new size and every entry
    // of the group at the offset that layout gives it. Complete before the
    // archive is touched, it takes effect only once the new archive has.
    IndexImage NewIndex() const;
};

// What LoadReplacementInputs gives: the inputs, ready for the rebuild, or
// the outcome the replacement stopped with (its failure or refusal already
// reported to the user).
class LoadedReplacementInputs {
public:
    // Not explicit, so that the loader returns either as it is.
    LoadedReplacementInputs(ReplacementInputs inputs) : result_(std::move(inputs)) {}
    LoadedReplacementInputs(ArchiveOutcome stopped) : result_(stopped) {}

    bool Ready() const { return std::holds_alternative<ReplacementInputs>(result_); }
    // Only when Ready().
    ReplacementInputs& Inputs() { return std::get<ReplacementInputs>(result_); }
    // Only when not Ready().
    ArchiveOutcome Outcome() const { return std::get<ArchiveOutcome>(result_); }

private:
    std::variant<ReplacementInputs, ArchiveOutcome> result_;
};

// The replacement files, opened before the data set is locked, or the
// outcome that stopped them (already reported).
struct OpenedReplacements {
    std::vector<std::unique_ptr<File>> files;  // one per name, in the order given; null where not kept open
    std::vector<std::uint64_t> lengths;        // each file's length when it was checked
    std::optional<ArchiveOutcome> stopped;
};

// What a replacement checks and opens before it takes the lock, in the
// order it would open the files: the index must be writable, then each
// replacement file must open (without waiting, so a pipe or a device never
// blocks the editor) and be a regular file, then the archives must be
// writable, and the data set's layout must let the lock and the record
// cover them (DataSetLayoutRefusal). The first that fails is reported.
// The files marked in `keepOpen` (all of them when it is empty) stay open;
// the others are closed once checked and measured, so that a batch of any
// size stays within the open-files limit.
OpenedReplacements OpenReplacementFiles(const ArchiveContext& context, const std::vector<std::string>& archivePaths,
                                        const std::vector<std::string>& replacementFileNames,
                                        const std::vector<bool>& keepOpen = {});

// Reads the index and the section file as they are now and checks that the
// selected line still describes its entry; then measures the archive, and
// checks that the index holds the group and that no entry of it has a
// negative size. Touches nothing. Gives the inputs (with `replacement`, the
// open replacement file) when all of that went through, or else the outcome
// it stopped with.
LoadedReplacementInputs LoadReplacementInputs(const ArchiveContext& context, int group, const std::string& archivePath,
                                              const ListedLine& selected, std::unique_ptr<File> replacement);

}  // namespace qax
