// What both replacements read before they change anything: the whole index,
// the selected group's entries, the replacement file (kept open) and the
// archive's length.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "index_image.h"

namespace qax {

struct ReplacementInputs {
    SectionTable table;  // as the section file gives it now
    IndexImage image;
    std::vector<std::uint64_t> positions;  // byte position of each entry of the group in the index
    std::vector<IndexEntry> members;       // the group's entries, in index order
    std::size_t selected = 0;
    std::unique_ptr<File> replacement;
    std::uint64_t replacementLength = 0;
    std::uint64_t archiveLength = 0;

    const IndexEntry& Selected() const { return members[selected]; }
    std::uint64_t SelectedPosition() const { return positions[selected]; }
    // The group's members back to back, the selected one as long as the
    // replacement file: their total length...
    std::uint64_t NewGroupLength() const;
    // ...and the index with the selected entry's new size and every entry
    // of the group at the offset that layout gives it. Complete before the
    // archive is touched, it takes effect only once the new archive has.
    IndexImage NewIndex() const;
};

// Reads the index and the section file as they are now and checks that the
// selected line still describes its entry; then opens the replacement file
// and measures the archive, and checks that the index holds the group and
// that no entry of it has a negative size. Touches nothing. Returns the
// outcome when it stopped (the failure or refusal was reported), or nothing
// when the inputs are ready.
std::optional<ArchiveOutcome> LoadReplacementInputs(const ArchiveContext& context, int group,
                                                    const std::string& archivePath, const ListedLine& selected,
                                                    const std::string& replacementFileName, ReplacementInputs& inputs);

}  // namespace qax
