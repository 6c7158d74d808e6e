// The archive operations: replacing a Txt or Shp member, and extracting a Shp
// member to a file of its own.
//
// A replacement rebuilds the whole archive. It first copies the archive to
// the temporary file beside the editor, then writes the archive anew from
// that copy, and only once the new archive is complete and on disk does it
// put the new index in place (written beside the old one and renamed over
// it). Any failure on the way puts the archive back from the copy and leaves
// the index untouched, so after a failure both are byte for byte what they
// were. The operations run without a window: everything they need comes in
// through ArchiveContext, and they report through its sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data_set.h"
#include "file_access.h"
#include "index_file.h"
#include "report_sink.h"

namespace qax {

struct ArchiveContext {
    FileSystem& fs;
    const DataSetPaths& paths;
    const SectionTable& table;
    ReportSink& sink;
};

enum class ArchiveOutcome {
    Done,     // the data set was changed (or the file extracted)
    Refused,  // the operation could not start; nothing was touched; a message said why
    Failed,   // a file step failed; the data set is as it was before, and the failure was reported
    Stale     // the data set changed since it was listed; nothing was touched; the list must be read again
};

// The line the user selected, as the list shows it: its number (-1 when no
// line is selected) and its text. An operation goes ahead only while the
// index still gives that very line for the entry at that place.
struct ListedLine {
    int number = -1;
    std::string text;
};

inline constexpr const char* kDataSetChangedText =
    "The data set has changed since it was listed: the selected line no longer describes the member at its "
    "place. The list has been read again; select the member again.";

// The texts of the Shp replacement, shown in the text pane.
inline constexpr const char* kShpStartText = "This takes awhile. Please be patient. ";
inline constexpr const char* kShpProgressMark = "* ";
inline constexpr const char* kShpDoneText = "Finally done with the new shp.qax";

// The Shp archive moves through a block of this size; one progress mark is
// due each time the bytes consumed pass another kShpProgressStep.
inline constexpr std::size_t kShpCopyBlockSize = 65536;
inline constexpr std::uint64_t kShpProgressStep = 1000000;

// Captions of the messages that refuse an operation.
inline constexpr const char* kReplaceCaption = "Replace Selection";
inline constexpr const char* kExtractCaption = "Extract File";

// Every operation runs under the data set's lock (exclusive for a
// replacement, shared for an extraction) and first recovers what an
// interrupted replacement left; another editor at work refuses it.

// selected: the list's selected line, read once.
// Rebuilds txt.qax member by member with the selected member's bytes replaced
// by the file's; sets its size and the offsets that follow in the index.
ArchiveOutcome ReplaceTextMember(const ArchiveContext& context, const ListedLine& selected,
                                 const std::string& replacementFileName);

// Rebuilds shp.qax by position through 65,536-byte blocks, showing the busy
// cursor and progress marks and letting the window process events once
// before the copy and at each mark; then gives the selected entry its new
// size and every Shp entry a fresh offset.
ArchiveOutcome ReplaceShpMember(const ArchiveContext& context, const ListedLine& selected,
                                const std::string& replacementFileName);

// One member of a batch: its line as the list shows it, and the file whose
// bytes it takes.
struct MemberReplacement {
    ListedLine selected;
    std::string replacementFileName;
};

// Replaces several members of one group (Txt or Shp) in one rebuild of its
// archive: one safety copy, one crash record, one index commit, under one
// lock. The result is byte for byte what replacing them one after another
// with ReplaceTextMember or ReplaceShpMember, in the order given, makes:
// txt.qax comes out back to back in index order, keeping no byte that no
// entry points to; shp.qax, whose members must lie back to back, is rebuilt
// by position, keeping what follows its last member. Everything a
// one-after-another run would refuse at any of its steps, and a member
// given twice, is refused before anything is touched. Shows the busy cursor
// and a progress mark (as the Shp replacement does) for every 1,000,000
// bytes written; shows nothing else on success.
ArchiveOutcome ReplaceMembers(const ArchiveContext& context, int group,
                              const std::vector<MemberReplacement>& replacements);

// The members of one group, for a replacement of several groups at once.
struct GroupReplacements {
    int group = Txt;
    std::vector<MemberReplacement> replacements;
};

// DryRun: every check the replacement makes, under the lock it takes, and
// then Done without writing a byte or recovering anything (what recovery
// would do is told).
enum class RunMode { Apply, DryRun };

// What a member must hold for a mod to go ahead: the bytes another mod
// wrote into it, known by their number and their CRC-32. An undo guards
// each member it puts back, so that it never takes off a change that came
// after its own mod.
struct MemberGuard {
    int group = Txt;
    ListedLine selected;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
};

// A guard that did not hold: what its member holds instead, and whether
// that is what the manifest would put there (a manifest applied twice)
// rather than another change's bytes.
struct GuardFailure {
    int group = Txt;
    std::string name;
    std::uint64_t expectedSize = 0;
    std::uint32_t expectedCrc32 = 0;
    std::int64_t foundSize = 0;
    std::optional<std::uint32_t> foundCrc32;  // none: the member's bytes are not all in its archive
    bool appliedBefore = false;
};

struct ModOptions {
    RunMode mode = RunMode::Apply;
    // Each must hold under the lock, or nothing is touched.
    std::vector<MemberGuard> guards;
    // When given, gets each guard that did not hold when the mod is refused
    // for them, for a caller that reports them one by one.
    std::vector<GuardFailure>* guardFailures = nullptr;
    // Where the undo of the mod goes (mod_undo.h): a new or empty
    // directory, or one that holds only the unfinished undo a dead apply
    // --undo left, which it replaces; empty for no undo.
    std::string undoDirectory;
    // When given, gets what the rebuild changes in txt.qax's layout besides
    // the replaced members' bytes (TextLayoutChanges), as found under the
    // lock, in a dry run too: empty when the mod leaves txt.qax alone or
    // changes nothing else there, so that taking it off again leaves every
    // data file byte for byte as it was.
    std::string* textLayoutChanges = nullptr;
    // When given, gets what the undo replaces in its directory, in a
    // sentence (empty when nothing).
    std::string* undoReplaced = nullptr;
};

// A whole mod, Txt and Shp members together, in one transaction: each
// group's archive rebuilt as ReplaceMembers rebuilds it, under one lock, one
// crash record and one commit of the index, so that the data set comes out
// wholly as it was or with every member replaced. Each group at most once;
// every refusal of any group, and every guard that does not hold, is made
// before anything is touched. With an undo directory, the undo is on disk
// before the new index takes effect, and is removed again when the mod
// fails.
ArchiveOutcome ReplaceMembers(const ArchiveContext& context, const std::vector<GroupReplacements>& batches,
                              const ModOptions& options = {});

// selected: the selected list line (the window raises the list-index error
// itself when nothing is selected); a damaged line raises ConversionError
// before any file is opened.
// editorDir: the editor's directory, without a trailing separator.
// Writes editorDir/<trimmed name>.SHP byte for byte, replacing a file of that
// name; nothing is shown on success.
ArchiveOutcome ExtractShpMember(const ArchiveContext& context, const ListedLine& selected,
                                const std::string& editorDir);

// Whether a member's name can name its extracted file (NAME.SHP) in a
// directory: nothing that leaves the directory, nothing the system cannot
// hold as a file name there (FileNameProblem). Extraction refuses any other
// name, saying which and why, before anything is written.
bool IsExtractableName(const std::string& name);

// Several members of `group` into `directory`, under one lock, from one
// reading of the index, flushed to disk together (each under a hidden name
// first, given its own once all are on disk; a small note listing the
// hidden names, and a record of which files they are, are flushed first,
// for RemoveUnfinishedExtractions): what a run of ExtractMember would
// write, each member's refusal told and the others written. `written` gets
// the paths of the files that took their names. Done when every member was
// written.
ArchiveOutcome ExtractMembers(const ArchiveContext& context, int group, const std::vector<ListedLine>& members,
                              const std::string& directory, std::vector<std::string>& written);

// Removes what an extraction into `directory` left unfinished when it died:
// a file named as an extraction's output is while it is written
// (NAME.SHP.new, or .NAME.SHP.<hex>.new when that name was taken; the same
// with TXT) whose bytes are all the first bytes of the member NAME of that
// type, so that nothing is lost that the archive does not hold; and a
// hidden file .NAME.SHP.<hex>.part that the note of a batch cut short
// lists, when it is the very file that batch recorded making, changed after
// the note, and holds only its member's first bytes (then the note and its
// record). A file under a member's own name is never a note's to remove;
// an earlier version's note proves nothing. Any other file is left alone.
// The caller holds the data set's lock. Returns a paragraph for each file
// removed, or found and left.
// Only the members of `group` are looked for: the window writes Shp files
// only, and qaxtool cleans up for the type it is about to extract.
std::string RemoveUnfinishedExtractions(FileSystem& fs, const DataSetPaths& paths, const std::string& directory,
                                        int group = Shp);

}  // namespace qax
