// The Txt replacement: txt.qax is rebuilt member by member, in index order,
// from the temporary copy, with the selected member's bytes taken from the
// replacement file. The leading members that already lie where the rebuild
// puts them are left as they are; writing starts at the first byte that
// changes. The members come out back to back, so every entry's
// offset is where the new archive puts it; for an archive that was back to
// back already, that changes the selected entry's size and the offsets after
// it and nothing else.
#include <utility>
#include <vector>

#include "archive_checks.h"
#include "archive_ops.h"
#include "block_copy.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"

namespace qax {

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
    if (std::string text = ReplacementStartRefusal(context, Txt, archivePath, selected.number, replacementFileName);
        !text.empty())
        return Refuse(context.sink, text, kReplaceCaption);
    const auto lock = LockDataSet(context, DataSetUse::Change, kReplaceCaption);
    if (!lock) return ArchiveOutcome::Refused;

    ReplacementInputs inputs;
    if (auto stopped = LoadReplacementInputs(context, Txt, archivePath, selected, replacementFileName, inputs))
        return *stopped;
    const std::vector<IndexEntry>& members = inputs.members;
    // Every member is read from the copy, so every member must be inside it.
    if (std::string text = MemberBoundsRefusal(members, inputs.archiveLength, archivePath); !text.empty())
        return Refuse(context.sink, text, kReplaceCaption);

    const std::uint64_t newLength = inputs.NewGroupLength();
    if (std::string text = NewSizeRefusal(inputs.replacementLength, newLength, replacementFileName); !text.empty())
        return Refuse(context.sink, text, kReplaceCaption);
    const IndexImage newIndex = inputs.NewIndex();

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
    return RebuildArchive(context, {.archivePath = archivePath,
                                    .archiveLength = inputs.archiveLength,
                                    .newArchiveLength = newLength,
                                    .oldIndex = &inputs.image,
                                    .newIndex = &newIndex,
                                    .writeArchive = writeArchive});
}

}  // namespace qax
