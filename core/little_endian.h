// 32-bit little-endian fields, the only integer form the data set uses.
#pragma once

#include <cstdint>

namespace qax {

inline std::uint32_t LoadU32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

inline std::int32_t LoadI32(const unsigned char* bytes) {
    return static_cast<std::int32_t>(LoadU32(bytes));
}

inline void StoreU32(unsigned char* bytes, std::uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value & 0xFFu);
    bytes[1] = static_cast<unsigned char>((value >> 8) & 0xFFu);
    bytes[2] = static_cast<unsigned char>((value >> 16) & 0xFFu);
    bytes[3] = static_cast<unsigned char>((value >> 24) & 0xFFu);
}

}  // namespace qax
