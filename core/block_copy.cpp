#include "block_copy.h"

#include <algorithm>
#include <stdexcept>

namespace qax {

void CopyExactly(File& from, File& to, std::uint64_t count, std::span<unsigned char> buffer) {
    if (buffer.empty() && count > 0) throw std::invalid_argument("CopyExactly needs a buffer to copy through");
    while (count > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, buffer.size()));
        if (to.TransferFrom(from, chunk, buffer) != chunk)
            throw IoError(IoStep::Read, from.Path(), MakeDataError(DataError::EndedEarly));
        count -= chunk;
    }
}

}  // namespace qax
