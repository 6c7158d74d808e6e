// What the editor's files and controls must hold, computed here from the
// generator's member list and the original bytes, independently of the
// editor's own code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sample_data_set.h"

namespace qax::e2e {

using Bytes = std::vector<unsigned char>;

// The list line of a member: name right-aligned in 8 columns, the size in 6,
// a dollar sign and the offset in 7 upper-case hexadecimal digits.
std::string ExpectedCatalogueLine(const sample::SampleMember& member);
std::vector<std::string> ExpectedCatalogueLines(const std::vector<sample::SampleMember>& group);

// The members of a group after member `line` was replaced by `newSize`
// bytes: that size, and offsets that are the sums of the sizes before them.
std::vector<sample::SampleMember> MembersAfterReplacement(std::vector<sample::SampleMember> group, std::size_t line,
                                                          std::size_t newSize);

struct ArchiveAndIndex {
    Bytes archive;
    Bytes index;
};

// The archive of a group with member `line` replaced: the members back to
// back from offset 0 in index order, that member's bytes swapped for
// `replacement`. The index: the original bytes with that member's new size
// and every member's new offset written into the group's entries, which
// start at entry number `firstEntry`; nothing else differs.
ArchiveAndIndex ExpectedReplacement(const Bytes& originalIndex, const Bytes& originalArchive,
                                    const std::vector<sample::SampleMember>& group, std::size_t firstEntry,
                                    std::size_t line, const Bytes& replacement);

// The bytes of a member of an archive.
Bytes MemberBytes(const Bytes& archive, const sample::SampleMember& member);

// 8-bit text as a plain-text pane shows it and copies it back: at most
// 32,000 bytes, up to the first zero byte, every line break (CR LF, a lone
// CR or LF) a single line feed.
std::string TextAsShown(const Bytes& text);

// The clipboard's UTF-8 text as 8-bit text, one byte per character; fails
// the test on a character beyond Latin-1, which no byte can have produced.
std::string Latin1FromUtf8(const std::string& utf8);

}  // namespace qax::e2e
