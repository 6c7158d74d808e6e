// The replacement operations of archive_ops.h, each read top to bottom: the
// inputs and checks (replacement_inputs), then the new archive written inside
// the rebuild transaction (rebuild_transaction), the Shp one through its
// block copy with progress marks (shp_archive_copy).
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive_ops.h"
#include "catalogue.h"
#include "file_access.h"
#include "mod_undo.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"
#include "shp_archive_copy.h"

namespace qax {

namespace {

// The busy cursor from construction until End() or the way out, whatever
// that way is.
class BusyCursor {
public:
    explicit BusyCursor(ReportSink& sink) : sink_(sink) { sink_.SetBusyCursor(true); }
    ~BusyCursor() { End(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

    void End() {
        if (busy_) sink_.SetBusyCursor(false);
        busy_ = false;
    }

private:
    ReportSink& sink_;
    bool busy_ = true;
};

}  // namespace

// ---------------------------------------------------------------------------
// The Txt replacement: txt.qax is rebuilt member by member, in index order,
// from the temporary copy, with the selected member's bytes taken from the
// replacement file. The leading members that already lie where the rebuild
// puts them are left as they are; writing starts at the first byte that
// changes. The members come out back to back, so every entry's
// offset is where the new archive puts it; for an archive that was back to
// back already, that changes the selected entry's size and the offsets after
// it and nothing else.

namespace {

// Members are usually back to back in the copy, so neighbours are merged
// into one run and the archive moves in large blocks instead of one small
// read per member.
class MemberRunCopier {
public:
    MemberRunCopier(File& copy, File& archive, std::span<unsigned char> buffer)
        : copy_(copy), archive_(archive), buffer_(buffer) {}

    // The first `length` bytes come out as they are (they are the members
    // that already lie back to back from offset 0): both files move past
    // them and nothing is written there.
    void Keep(std::uint64_t length) {
        if (length == 0) return;
        copy_.Seek(length);
        archive_.Seek(length);
        copyPosition_ = length;
    }

    void Add(std::uint64_t offset, std::uint64_t size) {
        if (size == 0) return;
        if (runLength_ > 0 && runStart_ + runLength_ == offset) {
            runLength_ += size;
            return;
        }
        Finish();
        runStart_ = offset;
        runLength_ = size;
    }

    void Finish() {
        if (runLength_ == 0) return;
        if (copyPosition_ != runStart_) copy_.Seek(runStart_);
        CopyExactly(copy_, archive_, runLength_, buffer_);
        copyPosition_ = runStart_ + runLength_;
        runLength_ = 0;
    }

private:
    File& copy_;
    File& archive_;
    std::span<unsigned char> buffer_;
    std::uint64_t copyPosition_ = 0;  // the copy is opened at its start
    std::uint64_t runStart_ = 0;
    std::uint64_t runLength_ = 0;
};

constexpr std::size_t kTextCopyBufferSize = std::size_t{1} << 20;

// How many of the members before `selected` already sit where the rebuild
// would put them (each at the sum of the sizes before it), and the length
// they cover. An empty member has no bytes to be out of place.
std::pair<std::size_t, std::uint64_t> MembersInPlace(const std::vector<IndexEntry>& members, std::size_t selected) {
    std::uint64_t length = 0;
    std::size_t k = 0;
    for (; k < selected; ++k) {
        if (members[k].size != 0 && members[k].offset != length) break;
        length += static_cast<std::uint64_t>(members[k].size);
    }
    return {k, length};
}

}  // namespace

ArchiveOutcome ReplaceTextMember(const ArchiveContext& context, const ListedLine& selected,
                                 const std::string& replacementFileName) {
    const std::string& archivePath = context.paths.TxtArchivePath;
    if (const Refusal refusal =
            ReplacementStartRefusal(context, Txt, archivePath, selected.number, replacementFileName))
        return Refuse(context.sink, *refusal, kReplaceCaption);
    OpenedReplacements opened = OpenReplacementFiles(context, {archivePath}, {replacementFileName});
    if (opened.stopped) return *opened.stopped;
    const auto lock = LockDataSet(context, DataSetUse::Change, kReplaceCaption);
    if (!lock) return ArchiveOutcome::Refused;

    LoadedReplacementInputs loaded =
        LoadReplacementInputs(context, Txt, archivePath, selected, std::move(opened.files.front()));
    if (!loaded.Ready()) return loaded.Outcome();
    ReplacementInputs& inputs = loaded.Inputs();
    const std::vector<IndexEntry>& members = inputs.members;
    // Every member is read from the copy, so every member must be inside it.
    if (const Refusal refusal = MemberBoundsRefusal(members, inputs.archiveLength, archivePath))
        return Refuse(context.sink, *refusal, kReplaceCaption);

    const std::uint64_t newLength = inputs.NewGroupLength();
    if (const Refusal refusal = NewSizeRefusal(inputs.replacementLength, newLength, replacementFileName))
        return Refuse(context.sink, *refusal, kReplaceCaption);
    const IndexImage newIndex = inputs.NewIndex();
    // The window lets no events through during a Txt rebuild; the busy
    // cursor at least says it is at work.
    BusyCursor busy(context.sink);

    const auto writeArchive = [&](File& copy, File& archive) {
        std::vector<unsigned char> buffer(kTextCopyBufferSize);
        MemberRunCopier runs(copy, archive, buffer);
        const auto [inPlace, unchangedLength] = MembersInPlace(members, inputs.selected);
        runs.Keep(unchangedLength);
        for (std::size_t k = inPlace; k < inputs.selected; ++k)
            runs.Add(members[k].offset, static_cast<std::uint64_t>(members[k].size));
        runs.Finish();
        CopyExactly(*inputs.replacement, archive, inputs.replacementLength, buffer);
        inputs.replacement->Close();
        for (std::size_t k = inputs.selected + 1; k < members.size(); ++k)
            runs.Add(members[k].offset, static_cast<std::uint64_t>(members[k].size));
        runs.Finish();
    };
    return RebuildArchive(context, {.archives = {{.archivePath = archivePath,
                                                  .archiveLength = inputs.archiveLength,
                                                  .newArchiveLength = newLength,
                                                  .writeArchive = writeArchive}},
                                    .oldIndex = &inputs.image,
                                    .newIndex = &newIndex,
                                    .beforeCommit = {},
                                    .takeBack = {},
                                    .undoDirectory = {}});
}

// ---------------------------------------------------------------------------
// The Shp replacement: shp.qax is rebuilt by position from the temporary
// copy (the bytes before the selected member stay where they are; the
// replacement file and the bytes after the old member are written after
// them), and every Shp entry gets a fresh offset, the
// sum of the sizes before it. Shows the busy cursor and progress marks, and
// lets the window process events once before the copy and at each mark.

ArchiveOutcome ReplaceShpMember(const ArchiveContext& context, const ListedLine& selected,
                                const std::string& replacementFileName) {
    ReportSink& sink = context.sink;
    const std::string& archivePath = context.paths.ShpArchivePath;
    if (const Refusal refusal =
            ReplacementStartRefusal(context, Shp, archivePath, selected.number, replacementFileName))
        return Refuse(sink, *refusal, kReplaceCaption);
    OpenedReplacements opened = OpenReplacementFiles(context, {archivePath}, {replacementFileName});
    if (opened.stopped) return *opened.stopped;
    const auto lock = LockDataSet(context, DataSetUse::Change, kReplaceCaption);
    if (!lock) return ArchiveOutcome::Refused;

    // Every check is made before the start text appears, so the pane never
    // promises a copy that is then refused.
    LoadedReplacementInputs loaded =
        LoadReplacementInputs(context, Shp, archivePath, selected, std::move(opened.files.front()));
    if (!loaded.Ready()) return loaded.Outcome();
    ReplacementInputs& inputs = loaded.Inputs();
    const IndexEntry old = inputs.Selected();
    if (const Refusal refusal = MemberBoundsRefusal({old}, inputs.archiveLength, archivePath))
        return Refuse(sink, *refusal, kReplaceCaption);
    if (const Refusal refusal = BackToBackRefusal(inputs.members)) return Refuse(sink, *refusal, kReplaceCaption);

    const std::uint64_t oldSize = static_cast<std::uint64_t>(old.size);
    const std::uint64_t newArchiveLength = inputs.archiveLength - oldSize + inputs.replacementLength;
    if (const Refusal refusal = NewSizeRefusal(
            inputs.replacementLength, std::max(inputs.NewGroupLength(), newArchiveLength), replacementFileName))
        return Refuse(sink, *refusal, kReplaceCaption);
    // The members lie back to back, so this is every entry's fresh offset.
    const IndexImage newIndex = inputs.NewIndex();

    BusyCursor busy(sink);
    sink.ClearPane();
    sink.SetPaneText(kShpStartText);
    sink.ProcessEvents();

    const auto writeArchive = [&](File& copy, File& archive) {
        ShpArchiveCopy shp(copy, archive, inputs.archiveLength, sink);
        shp.KeepHead(old.offset);
        CopyExactly(*inputs.replacement, archive, inputs.replacementLength, shp.Block());
        inputs.replacement->Close();
        shp.Skip(oldSize);
        shp.CopyTail();
    };
    const ArchiveOutcome outcome = RebuildArchive(context, {.archives = {{.archivePath = archivePath,
                                                                          .archiveLength = inputs.archiveLength,
                                                                          .newArchiveLength = newArchiveLength,
                                                                          .writeArchive = writeArchive}},
                                                            .oldIndex = &inputs.image,
                                                            .newIndex = &newIndex,
                                                            .beforeCommit = {},
                                                            .takeBack = {},
                                                            .undoDirectory = {}});

    busy.End();
    if (outcome == ArchiveOutcome::Done) {
        sink.ClearPane();
        sink.SetPaneText(kShpDoneText);
    }
    return outcome;
}

// ---------------------------------------------------------------------------
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
    std::uint64_t newOffset = 0;  // where the rebuilt archive puts it
};

// A run of the temporary copy (incoming is null) or a whole replacement file.
struct Piece {
    std::uint64_t copyOffset = 0;
    std::uint64_t length = 0;
    Incoming* incoming = nullptr;
};

void AddCopyRun(std::vector<Piece>& pieces, std::uint64_t offset, std::uint64_t length) {
    if (length == 0) return;
    // Neighbours in the copy become one run: the archive then moves in large
    // blocks instead of one small read per member.
    if (!pieces.empty() && pieces.back().incoming == nullptr &&
        pieces.back().copyOffset + pieces.back().length == offset) {
        pieces.back().length += length;
        return;
    }
    pieces.push_back({offset, length, nullptr});
}

std::vector<Piece> TextPieces(const std::vector<IndexEntry>& members, const std::vector<Incoming*>& byMember) {
    std::vector<Piece> pieces;
    for (std::size_t k = 0; k < members.size(); ++k) {
        if (byMember[k] != nullptr)
            pieces.push_back({0, byMember[k]->length, byMember[k]});
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
        pieces.push_back({0, byMember[k]->length, byMember[k]});
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

// A replacement file closed after its check is opened again when its turn
// comes, and must still have the length it was checked with: the index
// gives it that size.
File& OpenIncoming(FileSystem& fs, Incoming& in) {
    if (in.file == nullptr) {
        in.file = fs.Open(*in.fileName, OpenMode::ReadRegular);
        if (in.file->Length() != in.length)
            throw IoError(IoStep::Read, *in.fileName, MakeDataError(DataError::WrongLength));
    }
    return *in.file;
}

void WritePieces(FileSystem& fs, const std::vector<Piece>& pieces, File& copy, File& archive, ReportSink& sink) {
    // The archive still holds the copy's bytes: copy runs that would land
    // where they already are need not be written again.
    std::size_t next = 0;
    std::uint64_t written = 0;
    while (next < pieces.size() && pieces[next].incoming == nullptr && pieces[next].copyOffset == written)
        written += pieces[next++].length;
    if (written > 0) archive.Seek(written);

    std::vector<unsigned char> buffer(kBatchCopyBufferSize);
    Progress progress(sink);
    std::uint64_t copyPosition = 0;  // the copy is opened at its start
    for (; next < pieces.size(); ++next) {
        const Piece& piece = pieces[next];
        File& from = piece.incoming != nullptr ? OpenIncoming(fs, *piece.incoming) : copy;
        if (piece.incoming == nullptr && copyPosition != piece.copyOffset) copy.Seek(piece.copyOffset);
        for (std::uint64_t left = piece.length; left > 0;) {
            const std::uint64_t slice = std::min(left, kProgressSlice);
            CopyExactly(from, archive, slice, buffer);
            left -= slice;
            progress.Add(slice);
        }
        if (piece.incoming != nullptr) {
            piece.incoming->file->Close();
            piece.incoming->file.reset();
        } else {
            copyPosition = piece.copyOffset + piece.length;
        }
    }
}

}  // namespace

namespace {

// One group's part of a batch, planned under the lock: what it read, the
// files coming in, and the new archive described as pieces.
struct GroupPlan {
    int group = Txt;
    const std::string* archivePath = nullptr;
    ReplacementInputs inputs;
    std::vector<Incoming> incoming;
    std::vector<Piece> pieces;
    std::uint64_t newArchiveLength = 0;
};

// Checks one group's batch against the index as read under the lock, gives
// its entries their new sizes and offsets in `newIndex`, and plans its
// archive. Nothing when it is refused (already told).
std::optional<ArchiveOutcome> PlanGroup(const ArchiveContext& context, const GroupReplacements& batch,
                                        std::vector<std::unique_ptr<File>> files,
                                        const std::vector<std::uint64_t>& lengths, GroupPlan& plan,
                                        IndexImage& newIndex) {
    ReportSink& sink = context.sink;
    const int group = batch.group;
    const std::vector<MemberReplacement>& replacements = batch.replacements;
    const std::string& archivePath = *plan.archivePath;
    // The first member brings the index, the section table and the group
    // with it; the others are checked against the same index.
    LoadedReplacementInputs loaded =
        LoadReplacementInputs(context, group, archivePath, replacements.front().selected, std::move(files.front()));
    if (!loaded.Ready()) return loaded.Outcome();
    plan.inputs = std::move(loaded.Inputs());
    ReplacementInputs& inputs = plan.inputs;
    // Every group of one transaction is planned on one and the same index.
    if (newIndex.Length() == 0) newIndex = inputs.image;
    const std::vector<IndexEntry>& members = inputs.members;
    std::vector<Incoming>& incoming = plan.incoming;
    incoming.resize(replacements.size());
    incoming[0] = {inputs.selected, std::move(inputs.replacement), inputs.replacementLength,
                   &replacements.front().replacementFileName};
    for (std::size_t i = 1; i < replacements.size(); ++i) {
        const MemberReplacement& replacement = replacements[i];
        if (const Refusal refusal = StaleSelectionRefusal(inputs.image, inputs.table, group, replacement.selected)) {
            sink.ShowMessage(*refusal, kReplaceCaption);
            return ArchiveOutcome::Stale;
        }
        incoming[i].member = static_cast<std::size_t>(replacement.selected.number);
        incoming[i].file = std::move(files[i]);
        incoming[i].length = lengths[i];
        incoming[i].fileName = &replacement.replacementFileName;
    }

    // The refusals each step of a run one after another would make. The
    // bounds and the layout hold for every later step once they hold for the
    // first: each step leaves the members back to back and inside.
    if (group == Txt) {
        if (const Refusal refusal = MemberBoundsRefusal(members, inputs.archiveLength, archivePath))
            return Refuse(sink, *refusal, kReplaceCaption);
    } else {
        for (const Incoming& in : incoming)
            if (const Refusal refusal = MemberBoundsRefusal({members[in.member]}, inputs.archiveLength, archivePath))
                return Refuse(sink, *refusal, kReplaceCaption);
        if (const Refusal refusal = BackToBackRefusal(members)) return Refuse(sink, *refusal, kReplaceCaption);
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
        if (const Refusal refusal = NewSizeRefusal(
                in.length, group == Txt ? groupLength : std::max(groupLength, archiveLength), *in.fileName))
            return Refuse(sink, *refusal, kReplaceCaption);
    }

    std::vector<Incoming*> byMember(members.size(), nullptr);
    for (Incoming& in : incoming) byMember[in.member] = &in;
    std::uint64_t offset = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
        const std::uint64_t size =
            byMember[k] != nullptr ? byMember[k]->length : static_cast<std::uint64_t>(members[k].size);
        if (byMember[k] != nullptr) {
            newIndex.SetSize(inputs.positions[k], static_cast<std::int32_t>(size));
            byMember[k]->newOffset = offset;
        }
        newIndex.SetOffset(inputs.positions[k], static_cast<std::uint32_t>(offset));
        offset += size;
    }
    plan.pieces = group == Txt ? TextPieces(members, byMember) : ShpPieces(members, byMember, inputs.archiveLength);
    plan.newArchiveLength = group == Txt ? groupLength : archiveLength;
    return std::nullopt;
}

}  // namespace

ArchiveOutcome ReplaceMembers(const ArchiveContext& context, int group,
                              const std::vector<MemberReplacement>& replacements) {
    return ReplaceMembers(context, {{group, replacements}});
}

namespace {

// Every guard checked under the lock, against the index the plans read:
// nothing when all hold, or the outcome after the refusal was told.
std::optional<ArchiveOutcome> CheckGuards(const ArchiveContext& context, const ModOptions& options,
                                          const std::vector<GroupReplacements>& batches,
                                          const ReplacementInputs& inputs) {
    const std::vector<MemberGuard>& guards = options.guards;
    for (const MemberGuard& guard : guards)
        if (const Refusal refusal = StaleSelectionRefusal(inputs.image, inputs.table, guard.group, guard.selected)) {
            context.sink.ShowMessage(*refusal, kReplaceCaption);
            return ArchiveOutcome::Stale;
        }
    try {
        const std::vector<GuardFailure> failures = FailedGuards(context.fs, context.paths, guards, batches);
        if (!failures.empty()) {
            if (options.guardFailures != nullptr) *options.guardFailures = failures;
            return Refuse(context.sink, GuardsRefusalText(failures), kReplaceCaption);
        }
    } catch (const IoError& error) {
        FileErrorReport(context.sink, error);
        return ArchiveOutcome::Failed;
    }
    return std::nullopt;
}

// The members the undo puts back, in the order the mod gives them.
std::vector<UndoMember> UndoMembersOf(const std::vector<GroupReplacements>& batches,
                                      const std::vector<GroupPlan>& plans) {
    std::vector<UndoMember> members;
    for (std::size_t b = 0; b < plans.size(); ++b)
        for (std::size_t i = 0; i < plans[b].incoming.size(); ++i) {
            const Incoming& in = plans[b].incoming[i];
            const IndexEntry& old = plans[b].inputs.members[in.member];
            members.push_back({.group = plans[b].group,
                               .name = ReadCatalogueLine(batches[b].replacements[i].selected.text).name,
                               .archive = b,
                               .oldOffset = old.offset,
                               .oldSize = static_cast<std::uint64_t>(old.size),
                               .newOffset = in.newOffset,
                               .newSize = in.length});
        }
    return members;
}

}  // namespace

ArchiveOutcome ReplaceMembers(const ArchiveContext& context, const std::vector<GroupReplacements>& batches,
                              const ModOptions& options) {
    const RunMode mode = options.mode;
    ReportSink& sink = context.sink;
    std::vector<std::string> archivePaths;
    std::vector<std::string> names;
    std::set<int> groups;
    for (const GroupReplacements& batch : batches) {
        const int group = batch.group;
        if (group != Txt && group != Shp)
            return Refuse(sink, "Only Txt and Shp members can be replaced.\nNothing was changed.", kReplaceCaption);
        if (!groups.insert(group).second)
            return Refuse(sink, "A group is given twice in one replacement.\nNothing was changed.", kReplaceCaption);
        if (batch.replacements.empty())
            return Refuse(sink, "No member to replace was given.\nNothing was changed.", kReplaceCaption);
        const std::string& archivePath = ArchivePathOf(context.paths, group);
        archivePaths.push_back(archivePath);
        std::set<int> lines;
        // Each file once, however many members it replaces: a translation
        // may give thousands.
        std::unordered_set<std::string> checked;
        for (const MemberReplacement& replacement : batch.replacements) {
            const std::string& file = replacement.replacementFileName;
            Refusal refusal;
            if (checked.empty()) {
                refusal = ReplacementStartRefusal(context, group, archivePath, replacement.selected.number, file);
                checked.insert(file);
            } else if (!(refusal = SelectionRefusal(replacement.selected.number, context.table.EntryCount(group))) &&
                       checked.insert(file).second)
                refusal = ReplacementFileRefusal(context.fs, context.paths, archivePath, file);
            if (refusal) return Refuse(sink, *refusal, kReplaceCaption);
            // A second replacement of the same member would make the first
            // one pointless, and is most likely a slip in the list.
            if (!lines.insert(replacement.selected.number).second)
                return Refuse(sink,
                              "The member on line " + std::to_string(replacement.selected.number + 1) +
                                  " is to be replaced twice.\nNothing was changed.",
                              kReplaceCaption);
            names.push_back(replacement.replacementFileName);
        }
    }
    if (batches.empty()) return Refuse(sink, "No member to replace was given.\nNothing was changed.", kReplaceCaption);
    // Only the first file of each group stays open (it comes with the
    // group's inputs); the others are checked now and opened again one at
    // a time while the archive is written.
    std::vector<bool> keepOpen;
    for (const GroupReplacements& batch : batches)
        for (std::size_t i = 0; i < batch.replacements.size(); ++i) keepOpen.push_back(i == 0);
    OpenedReplacements opened = OpenReplacementFiles(context, archivePaths, names, keepOpen);
    if (opened.stopped) return *opened.stopped;
    const auto lock =
        LockDataSet(context, mode == RunMode::DryRun ? DataSetUse::Rehearse : DataSetUse::Change, kReplaceCaption);
    if (!lock) return ArchiveOutcome::Refused;

    std::vector<GroupPlan> plans(batches.size());
    IndexImage newIndex;
    std::size_t first = 0;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        plans[b].group = batches[b].group;
        plans[b].archivePath = &archivePaths[b];
        const auto begin = static_cast<std::ptrdiff_t>(first);
        const auto end = static_cast<std::ptrdiff_t>(first + batches[b].replacements.size());
        std::vector<std::unique_ptr<File>> files(std::make_move_iterator(opened.files.begin() + begin),
                                                 std::make_move_iterator(opened.files.begin() + end));
        const std::vector<std::uint64_t> lengths(opened.lengths.begin() + begin, opened.lengths.begin() + end);
        first += batches[b].replacements.size();
        if (const auto stopped = PlanGroup(context, batches[b], std::move(files), lengths, plans[b], newIndex))
            return *stopped;
        // Under one lock the index cannot change between two groups; if it
        // did, some other program wrote it without the lock.
        if (plans[b].inputs.image.Bytes() != plans.front().inputs.image.Bytes()) {
            sink.ShowMessage(kDataSetChangedText, kReplaceCaption);
            return ArchiveOutcome::Stale;
        }
    }

    if (options.textLayoutChanges != nullptr) {
        options.textLayoutChanges->clear();
        for (const GroupPlan& plan : plans)
            if (plan.group == Txt)
                *options.textLayoutChanges = TextLayoutChanges(plan.inputs.members, plan.inputs.archiveLength);
    }
    if (!options.guards.empty())
        if (const auto refused = CheckGuards(context, options, batches, plans.front().inputs)) return *refused;
    std::optional<UndoWriter> undo;
    if (!options.undoDirectory.empty()) {
        undo.emplace(context.fs, options.undoDirectory, UndoMembersOf(batches, plans));
        if (const std::string refusal = undo->Refusal(context); !refusal.empty())
            return Refuse(sink, refusal, kReplaceCaption);
        if (options.undoReplaced != nullptr) *options.undoReplaced = undo->Replaces();
    }

    if (mode == RunMode::DryRun) return ArchiveOutcome::Done;
    BusyCursor busy(sink);
    RebuildJob job{.archives = {},
                   .oldIndex = &plans.front().inputs.image,
                   .newIndex = &newIndex,
                   .beforeCommit = {},
                   .takeBack = {},
                   .undoDirectory = {}};
    if (undo) {
        job.beforeCommit = [&undo, &archivePaths](const std::vector<File*>& copies) {
            undo->Write(copies, archivePaths);
        };
        job.takeBack = [&undo] { return undo->Abandon(); };
        std::error_code ec;
        const std::filesystem::path undoPath = std::filesystem::absolute(PathFromUtf8(options.undoDirectory), ec);
        job.undoDirectory = Utf8Of(ec ? PathFromUtf8(options.undoDirectory) : undoPath);
    }
    for (const GroupPlan& plan : plans)
        job.archives.push_back({.archivePath = *plan.archivePath,
                                .archiveLength = plan.inputs.archiveLength,
                                .newArchiveLength = plan.newArchiveLength,
                                .writeArchive = [&plan, &context](File& copy, File& archive) {
                                    WritePieces(context.fs, plan.pieces, copy, archive, context.sink);
                                }});
    const ArchiveOutcome outcome = RebuildArchive(context, job);
    if (undo) {
        if (outcome == ArchiveOutcome::Done) {
            undo->Keep();
        } else if (const std::string left = undo->Abandon(); !left.empty()) {
            sink.ShowMessage("The mod was not applied, and its undo was taken away again." + left, kFileErrorCaption);
        }
    }
    return outcome;
}

}  // namespace qax
