#include "expected_data_set.h"

#include <algorithm>

#include "desktop.h"

namespace qax::e2e {

namespace {

constexpr std::size_t kIndexHeaderSize = 4;
constexpr std::size_t kIndexEntrySize = 16;
constexpr std::size_t kSizeField = 8;
constexpr std::size_t kOffsetField = 12;
constexpr std::size_t kShownTextLimit = 32000;

void PutLittleEndian(Bytes& bytes, std::size_t at, std::uint32_t value) {
    if (at + 4 > bytes.size()) throw E2eFailure("index too short for the expected entry");
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

Bytes MemberBytes(const Bytes& archive, const sample::SampleMember& member) {
    if (std::size_t{member.offset} + member.size > archive.size())
        throw E2eFailure("member " + member.name + " runs past the end of its archive");
    return Bytes(archive.begin() + member.offset, archive.begin() + member.offset + member.size);
}

ArchiveAndIndex ExpectedReplacement(const Bytes& originalIndex, const Bytes& originalArchive,
                                    const std::vector<sample::SampleMember>& group, std::size_t firstEntry,
                                    std::size_t line, const Bytes& replacement) {
    ArchiveAndIndex expected;
    for (std::size_t i = 0; i < group.size(); ++i) {
        const Bytes bytes = i == line ? replacement : MemberBytes(originalArchive, group[i]);
        expected.archive.insert(expected.archive.end(), bytes.begin(), bytes.end());
    }
    // The replaced member has the replacement's size, and every member's
    // offset is the sum of the sizes before it.
    expected.index = originalIndex;
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < group.size(); ++i) {
        const auto size = static_cast<std::uint32_t>(i == line ? replacement.size() : group[i].size);
        const std::size_t entry = kIndexHeaderSize + (firstEntry + i) * kIndexEntrySize;
        PutLittleEndian(expected.index, entry + kSizeField, size);
        PutLittleEndian(expected.index, entry + kOffsetField, offset);
        offset += size;
    }
    return expected;
}

Bytes TextOfLength(const std::string& sentence, std::size_t length) {
    Bytes text;
    while (text.size() < length) text.insert(text.end(), sentence.begin(), sentence.end());
    text.resize(length);
    return text;
}

std::string TextAsShown(const Bytes& text) {
    const std::size_t limit = std::min(text.size(), kShownTextLimit);
    const auto end = std::find(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(limit), 0);
    std::string shown;
    for (auto it = text.begin(); it != end; ++it) {
        if (*it == '\r') {
            shown += '\n';
            if (it + 1 != end && *(it + 1) == '\n') ++it;
        } else {
            shown += static_cast<char>(*it);
        }
    }
    return shown;
}

}  // namespace qax::e2e
