// Moving bytes between open files through a caller's buffer, with every
// failure and every early end of data turned into an IoError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "file_access.h"

namespace qax {

// Reads exactly `count` bytes, or throws IoError(Read, EndedEarly) when the
// file ends first.
void ReadWhole(File& from, unsigned char* buffer, std::size_t count);

// Copies exactly `count` bytes from the current position of `from` to the
// current position of `to`, one buffer at a time. A source that ends early
// stops the copy with IoError(Read, EndedEarly): what was written up to then
// came from the source, and nothing that was not read is ever written.
void CopyExactly(File& from, File& to, std::uint64_t count, std::span<unsigned char> buffer);

}  // namespace qax
