// The Shp replacement: shp.qax is rebuilt by position from the temporary
// copy (the bytes before the selected member stay where they are; the
// replacement file and the bytes after the old member are written after
// them), and every Shp entry gets a fresh offset, the
// sum of the sizes before it. Shows the busy cursor and progress marks, and
// lets the window process events once before the copy and at each mark.
#include <algorithm>
#include <string>
#include <vector>

#include "archive_checks.h"
#include "archive_ops.h"
#include "block_copy.h"
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

// Fresh offsets are sums of sizes, which is right only when the members lie
// back to back; otherwise the rewritten index would point into the wrong
// bytes.
std::string NotBackToBackRefusal(const std::vector<IndexEntry>& members) {
    std::uint64_t expected = 0;
    for (const IndexEntry& member : members) {
        if (member.offset != expected)
            return "The Shp entries of the index do not lie back to back: " + member.name + " is at offset " +
                   std::to_string(member.offset) + " where " + std::to_string(expected) +
                   " was expected.\nFresh offsets would not match the archive. Nothing was changed.";
        expected += static_cast<std::uint64_t>(member.size);
    }
    return {};
}

}  // namespace

ArchiveOutcome ReplaceShpMember(const ArchiveContext& context, const ListedLine& selected,
                                const std::string& replacementFileName) {
    ReportSink& sink = context.sink;
    const std::string& archivePath = context.paths.ShpArchivePath;
    if (std::string text = ReplacementStartRefusal(context, Shp, archivePath, selected.number, replacementFileName);
        !text.empty())
        return Refuse(sink, text, kReplaceCaption);
    const auto lock = LockDataSet(context, DataSetUse::Change, kReplaceCaption);
    if (!lock) return ArchiveOutcome::Refused;

    // Every check is made before the start text appears, so the pane never
    // promises a copy that is then refused.
    ReplacementInputs inputs;
    if (auto stopped = LoadReplacementInputs(context, Shp, archivePath, selected, replacementFileName, inputs))
        return *stopped;
    const IndexEntry old = inputs.Selected();
    if (std::string text = MemberBoundsRefusal({old}, inputs.archiveLength, archivePath); !text.empty())
        return Refuse(sink, text, kReplaceCaption);
    if (std::string text = NotBackToBackRefusal(inputs.members); !text.empty())
        return Refuse(sink, text, kReplaceCaption);

    const std::uint64_t oldSize = static_cast<std::uint64_t>(old.size);
    const std::uint64_t newArchiveLength = inputs.archiveLength - oldSize + inputs.replacementLength;
    if (std::string text = NewSizeRefusal(inputs.replacementLength, std::max(inputs.NewGroupLength(), newArchiveLength),
                                          replacementFileName);
        !text.empty())
        return Refuse(sink, text, kReplaceCaption);
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
    const ArchiveOutcome outcome = RebuildArchive(context, {.archivePath = archivePath,
                                                            .archiveLength = inputs.archiveLength,
                                                            .newArchiveLength = newArchiveLength,
                                                            .oldIndex = &inputs.image,
                                                            .newIndex = &newIndex,
                                                            .writeArchive = writeArchive});

    busy.End();
    if (outcome == ArchiveOutcome::Done) {
        sink.ClearPane();
        sink.SetPaneText(kShpDoneText);
    }
    return outcome;
}

}  // namespace qax
