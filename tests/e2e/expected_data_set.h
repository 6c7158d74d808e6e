// What the editor's files and pane must hold, computed here from the
// generator's member list and the original bytes, independently of the
// editor's own code. (The list lines the tests expect are written out in
// the tests themselves.)
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sample_data_set.h"

namespace qax::e2e {

using Bytes = std::vector<unsigned char>;

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

// A text of exactly `length` bytes: `sentence` over and over, the last one
// cut short.
Bytes TextOfLength(const std::string& sentence, std::size_t length);

}  // namespace qax::e2e
