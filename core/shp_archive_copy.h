// The Shp rebuild's copy of the archive by position, one 65,536-byte block
// at a time, with its progress marks.
//
// `copied` counts the bytes of the temporary copy consumed so far: the
// unchanged head and the skipped old member count, although neither is
// moved; the replacement's bytes do not. The head marks when `copied` has
// gone strictly past the next mark, the tail copy when it has reached it;
// the mark carries on from one to the other. Each mark appends "* " to the
// text pane and lets the window process events.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "archive_ops.h"

namespace qax {

class ShpArchiveCopy {
public:
    // `copy` is read from its start; `copyLength` is its length.
    ShpArchiveCopy(File& copy, File& archive, std::uint64_t copyLength, ReportSink& sink);

    // Counts the bytes before `end` (the selected member's offset) as
    // consumed, with their marks, and leaves them unwritten: both files move
    // on to `end`. The body runs at least once, with a chunk of 0 when `end`
    // is 0.
    void KeepHead(std::uint64_t end);
    // Moves past `count` bytes of the copy (the old member); they count as consumed.
    void Skip(std::uint64_t count);
    // The rest of the copy. The body runs at least once, with a chunk of 0
    // when nothing is left.
    void CopyTail();

    // The block, for moving the replacement file through it.
    std::span<unsigned char> Block() { return block_; }
    std::uint64_t Copied() const { return copied_; }

private:
    void MoveBlocksToNextMark(std::uint64_t end);
    void AddMark();

    File& copy_;
    File& archive_;
    std::uint64_t copyLength_;
    ReportSink& sink_;
    std::vector<unsigned char> block_;
    std::uint64_t copied_ = 0;
    std::uint64_t mark_ = kShpProgressStep;
};

}  // namespace qax
