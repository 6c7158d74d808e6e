#include "shp_archive_copy.h"

#include "file_access.h"

namespace qax {

ShpArchiveCopy::ShpArchiveCopy(File& copy, File& archive, std::uint64_t copyLength, ReportSink& sink)
    : copy_(copy), archive_(archive), copyLength_(copyLength), sink_(sink), block_(kShpCopyBlockSize) {}

void ShpArchiveCopy::MoveBlocksToNextMark(std::uint64_t end) {
    // copied never passes `end`, so the chunk is never negative; a copy that
    // ends early stops the loop with an error instead of spinning forever.
    if (copied_ > end) throw IoError(IoStep::Read, copy_.Path(), MakeDataError(DataError::EndedEarly));
    // The marks are counted block by block. Blocks that reach no mark are
    // moved together with the one that does, in one transfer, which gives
    // the marks the same places as block after block would at a fraction
    // of the calls into the system. A mark already due (the skipped member
    // counts, so the mark can lag behind) is due after the next block.
    std::uint64_t blocks = 1;
    if (mark_ > copied_) blocks = (mark_ - copied_ + kShpCopyBlockSize - 1) / kShpCopyBlockSize;
    const std::uint64_t left = end - copied_;
    const std::uint64_t chunk = blocks * kShpCopyBlockSize < left ? blocks * kShpCopyBlockSize : left;
    if (chunk == 0) return;
    const std::size_t moved = archive_.TransferFrom(copy_, static_cast<std::size_t>(chunk), block_);
    copied_ += moved;
    if (moved != chunk) throw IoError(IoStep::Read, copy_.Path(), MakeDataError(DataError::EndedEarly));
}

void ShpArchiveCopy::AddMark() {
    mark_ += kShpProgressStep;
    sink_.AppendPaneText(kShpProgressMark);
    sink_.ProcessEvents();
}

void ShpArchiveCopy::KeepHead(std::uint64_t end) {
    // The bytes before the selected member are the same in the copy and in
    // the archive, so rewriting them would only cost time and a flush. The
    // marks still come block by block, as the user has always seen them.
    do {
        copied_ += copied_ + kShpCopyBlockSize < end ? kShpCopyBlockSize : end - copied_;
        if (copied_ > mark_) AddMark();
    } while (copied_ < end);
    if (end == 0) return;
    copy_.Seek(end);
    archive_.Seek(end);
}

void ShpArchiveCopy::Skip(std::uint64_t count) {
    copied_ += count;
    copy_.Seek(copied_);
}

void ShpArchiveCopy::CopyTail() {
    do {
        MoveBlocksToNextMark(copyLength_);
        if (copied_ >= mark_) AddMark();
    } while (copied_ < copyLength_);
}

}  // namespace qax
