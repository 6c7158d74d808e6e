#include "expected_data_set.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "e2e_failure.h"

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

std::string ExpectedCatalogueLine(const sample::SampleMember& member) {
    char line[64];
    std::snprintf(line, sizeof line, "%8s %6ld $%07lX", member.name.c_str(), static_cast<long>(member.size),
                  static_cast<unsigned long>(member.offset));
    return line;
}

std::vector<std::string> ExpectedCatalogueLines(const std::vector<sample::SampleMember>& group) {
    std::vector<std::string> lines;
    for (const auto& member : group) lines.push_back(ExpectedCatalogueLine(member));
    return lines;
}

std::vector<sample::SampleMember> MembersAfterReplacement(std::vector<sample::SampleMember> group, std::size_t line,
                                                          std::size_t newSize) {
    group.at(line).size = static_cast<std::uint32_t>(newSize);
    std::uint32_t offset = 0;
    for (auto& member : group) {
        member.offset = offset;
        offset += member.size;
    }
    return group;
}

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
    expected.index = originalIndex;
    const auto after = MembersAfterReplacement(group, line, replacement.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
        const std::size_t entry = kIndexHeaderSize + (firstEntry + i) * kIndexEntrySize;
        PutLittleEndian(expected.index, entry + kSizeField, after[i].size);
        PutLittleEndian(expected.index, entry + kOffsetField, after[i].offset);
    }
    return expected;
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

std::string Latin1FromUtf8(const std::string& utf8) {
    std::string latin1;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            latin1 += static_cast<char>(lead);
        } else if ((lead & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[++i]);
            const unsigned codePoint = ((lead & 0x1Fu) << 6) | (next & 0x3Fu);
            if (codePoint > 0xFF) throw E2eFailure("the clipboard holds a character beyond Latin-1");
            latin1 += static_cast<char>(codePoint);
        } else {
            throw E2eFailure("the clipboard holds a character beyond Latin-1");
        }
    }
    return latin1;
}

}  // namespace qax::e2e
