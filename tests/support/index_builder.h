// Builds index and section-file bytes by hand, independently of the core's
// own decoding, so tests state the expected layout explicitly.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qax::testing {

inline void AppendU32(std::vector<unsigned char>& bytes, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
}

struct RawEntry {
    std::string name;  // up to 8 bytes written, zero padded
    std::uint32_t size;
    std::uint32_t offset;
};

inline std::vector<unsigned char> IndexBytes(std::uint32_t header, const std::vector<RawEntry>& entries) {
    std::vector<unsigned char> bytes;
    AppendU32(bytes, header);
    for (const auto& e : entries) {
        for (std::size_t i = 0; i < 8; ++i)
            bytes.push_back(i < e.name.size() ? static_cast<unsigned char>(e.name[i]) : 0);
        AppendU32(bytes, e.size);
        AppendU32(bytes, e.offset);
    }
    return bytes;
}

// Six records whose last four bytes hold the running entry counts.
inline std::vector<unsigned char> SectionBytes(const std::array<std::uint32_t, 6>& endCounts) {
    std::vector<unsigned char> bytes;
    for (std::uint32_t count : endCounts) {
        for (int i = 0; i < 12; ++i) bytes.push_back(static_cast<unsigned char>(0xA0 + i));
        AppendU32(bytes, count);
    }
    return bytes;
}

}  // namespace qax::testing
