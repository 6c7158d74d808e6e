// Moving a run of bytes between open files, with every failure and every
// early end of data turned into an IoError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "file_access.h"

namespace qax {

// Copies exactly `count` bytes from the current position of `from` to the
// current position of `to`, one buffer's worth at a time (moved by the
// system itself where it can). A source that ends early stops the copy with
// IoError(Read, EndedEarly): what was written up to then came from the
// source, and nothing that is not in it is ever written.
void CopyExactly(File& from, File& to, std::uint64_t count, std::span<unsigned char> buffer);

}  // namespace qax
