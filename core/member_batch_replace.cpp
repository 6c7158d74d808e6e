// Many members of one group replaced in one rebuild of the archive.
//
// The new archive is described as a list of pieces, each either a run of the
// temporary copy or a replacement file, and written in one pass. For txt.qax
// the pieces are the members in index order, so the members come out back
// to back, exactly as a Txt replacement leaves them after each of its
// steps. For shp.qax they are the copy's bytes between the replaced
// members, so the archive is rebuilt by position, exactly as each Shp
// replacement would rebuild it; since its members lie back to back, the
// replaced members can be taken in any order and land where a run one after
// another would put them.
#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive_checks.h"
#include "archive_ops.h"
#include "block_copy.h"
#include "file_errors.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"

namespace qax {

namespace {

constexpr std::size_t kBatchCopyBufferSize = std::size_t{1} << 20;
// Pieces are moved in slices of this size, so that progress is told while
// a long run of the copy moves.
constexpr std::uint64_t kProgressSlice = std::uint64_t{16} << 20;

struct Incoming {
    std::size_t member = 0;  // its place in the group
    std::unique_ptr<File> file;
    std::uint64_t length = 0;
    const std::string* fileName = nullptr;
};

// A run of the temporary copy (file is null) or a whole replacement file.
struct Piece {
    std::uint64_t copyOffset = 0;
    std::uint64_t length = 0;
    File* file = nullptr;
};

void AddCopyRun(std::vector<Piece>& pieces, std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return;
    // Neighbours in the copy become one run: the archive then moves in large
    // blocks instead of one small read per member.
    if (!pieces.empty() && pieces.back().file == nullptr && pieces.back().copyOffset + pieces.back().length == offset) {
        pieces.back().length += length;
        return;
    }
    pieces.push_back({offset, length, nullptr});
}

std::vector<Piece> TextPieces(const std::vector<IndexEntry>& members, const std::vector<Incoming*>& byMember) {
    std::vector<Piece> pieces;
    for (std::size_t k = 0; k < members.size(); ++k) {
        if (byMember[k] != nullptr)
            pieces.push_back({0, byMember[k]->length, byMember[k]->file.get()});
        else
            AddCopyRun(pieces, members[k].offset, static_cast<std::uint64_t>(members[k].size));
    }
    return pieces;
}

std::vector<Piece> ShpPieces(const std::vector<IndexEntry>& members, const std::vector<Incoming*>& byMember,
                             std::uint64_t archiveLength) {
    std::vector<Piece> pieces;
    std::uint64_t position = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
        if (byMember[k] == nullptr) continue;
        AddCopyRun(pieces, position, members[k].offset - position);
        pieces.push_back({0, byMember[k]->length, byMember[k]->file.get()});
        position = std::uint64_t{members[k].offset} + static_cast<std::uint64_t>(members[k].size);
    }
    AddCopyRun(pieces, position, archiveLength - position);
    return pieces;
}

// One progress mark in the pane for every kShpProgressStep bytes written.
class Progress {
public:
    explicit Progress(ReportSink& sink) : sink_(sink) {}
    void Add(std::uint64_t bytes) {
        written_ += bytes;
        while (written_ >= nextMark_) {
            nextMark_ += kShpProgressStep;
            sink_.AppendPaneText(kShpProgressMark);
            sink_.ProcessEvents();
        }
    }

private:
    ReportSink& sink_;
    std::uint64_t written_ = 0;
    std::uint64_t nextMark_ = kShpProgressStep;
};

void WritePieces(const std::vector<Piece>& pieces, File& copy, File& archive, ReportSink& sink) {
    // The archive still holds the copy's bytes: copy runs that would land
    // where they already are need not be written again.
    std::size_t next = 0;
    std::uint64_t written = 0;
    while (next < pieces.size() && pieces[next].file == nullptr && pieces[next].copyOffset == written)
        written += pieces[next++].length;
    if (written > 0) archive.Seek(written);

    std::vector<unsigned char> buffer(kBatchCopyBufferSize);
    Progress progress(sink);
    std::uint64_t copyPosition = 0;  // the copy is opened at its start
    for (; next < pieces.size(); ++next) {
        const Piece& piece = pieces[next];
        File& from = piece.file != nullptr ? *piece.file : copy;
        if (piece.file == nullptr && copyPosition != piece.copyOffset) copy.Seek(piece.copyOffset);
        for (std::uint64_t left = piece.length; left > 0;) {
            const std::uint64_t slice = std::min(left, kProgressSlice);
            CopyExactly(from, archive, slice, buffer);
            left -= slice;
            progress.Add(slice);
        }
        if (piece.file != nullptr)
            piece.file->Close();
        else
            copyPosition = piece.copyOffset + piece.length;
    }
}

// The busy cursor from construction to the way out, whatever that way is.
class BusyCursor {
public:
    explicit BusyCursor(ReportSink& sink) : sink_(sink) { sink_.SetBusyCursor(true); }
    ~BusyCursor() { sink_.SetBusyCursor(false); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

private:
    ReportSink& sink_;
};

}  // namespace

ArchiveOutcome ReplaceMembers(const ArchiveContext& context, int group,
                              const std::vector<MemberReplacement>& replacements) {
    ReportSink& sink = context.sink;
    if (group != Txt && group != Shp)
        return Refuse(sink, "Only Txt and Shp members can be replaced.\nNothing was changed.", kReplaceCaption);
    if (replacements.empty())
        return Refuse(sink, "No member to replace was given.\nNothing was changed.", kReplaceCaption);
    const std::string& archivePath = group == Txt ? context.paths.TxtArchivePath : context.paths.ShpArchivePath;
    std::set<int> lines;
    for (const MemberReplacement& replacement : replacements) {
        if (std::string text = ReplacementStartRefusal(context, group, archivePath, replacement.selected.number,
                                                       replacement.replacementFileName);
            !text.empty())
            return Refuse(sink, text, kReplaceCaption);
        // A second replacement of the same member would make the first one
        // pointless, and is most likely a slip in the list.
        if (!lines.insert(replacement.selected.number).second)
            return Refuse(sink,
                          "The member on line " + std::to_string(replacement.selected.number + 1) +
                              " is to be replaced twice.\nNothing was changed.",
                          kReplaceCaption);
    }
    const auto lock = LockDataSet(context, DataSetUse::Change, kReplaceCaption);
    if (!lock) return ArchiveOutcome::Refused;

    // The first member brings the index, the section table and the group
    // with it; the others are checked against the same index.
    ReplacementInputs inputs;
    if (auto stopped = LoadReplacementInputs(context, group, archivePath, replacements.front().selected,
                                             replacements.front().replacementFileName, inputs))
        return *stopped;
    const std::vector<IndexEntry>& members = inputs.members;
    std::vector<Incoming> incoming(replacements.size());
    incoming[0] = {inputs.selected, std::move(inputs.replacement), inputs.replacementLength,
                   &replacements.front().replacementFileName};
    try {
        for (std::size_t i = 1; i < replacements.size(); ++i) {
            const MemberReplacement& replacement = replacements[i];
            if (std::string text = StaleSelectionRefusal(inputs.image, inputs.table, group, replacement.selected);
                !text.empty()) {
                sink.ShowMessage(text, kReplaceCaption);
                return ArchiveOutcome::Stale;
            }
            incoming[i].member = static_cast<std::size_t>(replacement.selected.number);
            incoming[i].file = context.fs.Open(replacement.replacementFileName, OpenMode::Read);
            incoming[i].length = incoming[i].file->Length();
            incoming[i].fileName = &replacement.replacementFileName;
        }
    } catch (const IoError& error) {
        FileErrorReport(sink, error);
        return ArchiveOutcome::Failed;
    }

    // The refusals each step of a run one after another would make. The
    // bounds and the layout hold for every later step once they hold for the
    // first: each step leaves the members back to back and inside.
    if (group == Txt) {
        if (std::string text = MemberBoundsRefusal(members, inputs.archiveLength, archivePath); !text.empty())
            return Refuse(sink, text, kReplaceCaption);
    } else {
        for (const Incoming& in : incoming)
            if (std::string text = MemberBoundsRefusal({members[in.member]}, inputs.archiveLength, archivePath);
                !text.empty())
                return Refuse(sink, text, kReplaceCaption);
        if (std::string text = BackToBackRefusal(members); !text.empty()) return Refuse(sink, text, kReplaceCaption);
    }
    // The sizes grow step by step in the order given, and a step is refused
    // when what it makes is too large, even if a later one would shrink it.
    std::uint64_t groupLength = 0;
    for (const IndexEntry& member : members) groupLength += static_cast<std::uint64_t>(member.size);
    std::uint64_t archiveLength = inputs.archiveLength;
    for (const Incoming& in : incoming) {
        const std::uint64_t oldSize = static_cast<std::uint64_t>(members[in.member].size);
        groupLength = groupLength - oldSize + in.length;
        archiveLength = archiveLength - oldSize + in.length;
        if (std::string text = NewSizeRefusal(
                in.length, group == Txt ? groupLength : std::max(groupLength, archiveLength), *in.fileName);
            !text.empty())
            return Refuse(sink, text, kReplaceCaption);
    }

    std::vector<Incoming*> byMember(members.size(), nullptr);
    for (Incoming& in : incoming) byMember[in.member] = &in;
    IndexImage newIndex = inputs.image;
    std::uint64_t offset = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
        const std::uint64_t size =
            byMember[k] != nullptr ? byMember[k]->length : static_cast<std::uint64_t>(members[k].size);
        if (byMember[k] != nullptr) newIndex.SetSize(inputs.positions[k], static_cast<std::int32_t>(size));
        newIndex.SetOffset(inputs.positions[k], static_cast<std::uint32_t>(offset));
        offset += size;
    }
    const std::vector<Piece> pieces =
        group == Txt ? TextPieces(members, byMember) : ShpPieces(members, byMember, inputs.archiveLength);

    BusyCursor busy(sink);
    return RebuildArchive(
        context, {.archivePath = archivePath,
                  .archiveLength = inputs.archiveLength,
                  .newArchiveLength = group == Txt ? groupLength : archiveLength,
                  .oldIndex = &inputs.image,
                  .newIndex = &newIndex,
                  .writeArchive = [&](File& copy, File& archive) { WritePieces(pieces, copy, archive, sink); }});
}

}  // namespace qax
