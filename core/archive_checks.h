// The checks that decide, before anything is touched, whether an archive
// operation may run. Each gives the text of the message that refuses the
// operation, or an empty text when the operation may go on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "index_image.h"

namespace qax {

// A failed start-up leaves the section table all zero; with it a replacement
// would write into the index header.
std::string StartUpRefusal(const SectionTable& table);

// selectedLine must name one of the group's entries.
std::string SelectionRefusal(int selectedLine, std::uint32_t entryCount);

// The replacement file must not be the archive being rebuilt, the index or
// the temporary copy, under any name; and the temporary copy must not be the
// archive or the index either.
std::string SameFileRefusal(FileSystem& fs, const DataSetPaths& paths, const std::string& archivePath,
                            const std::string& replacementFileName);

// Every member of the group must have a size of 0 or more.
std::string MemberSizeRefusal(const std::vector<IndexEntry>& group);

// The members an operation reads from the archive must lie inside it.
std::string MemberBoundsRefusal(const std::vector<IndexEntry>& members, std::uint64_t archiveLength,
                                const std::string& archivePath);

// The Shp members must lie back to back from the start of the archive:
// fresh offsets are sums of sizes, which is right only then.
std::string BackToBackRefusal(const std::vector<IndexEntry>& members);

// The new member's size must fit the index's signed 32-bit field, and every
// new offset its unsigned 32-bit field.
std::string NewSizeRefusal(std::uint64_t replacementLength, std::uint64_t newGroupLength,
                           const std::string& replacementFileName);

// All the checks a replacement makes before it opens a file, in order: the
// start-up, the selection, the files involved.
std::string ReplacementStartRefusal(const ArchiveContext& context, int group, const std::string& archivePath,
                                    int selectedLine, const std::string& replacementFileName);

// The section table as the section file gives it now, for an index of
// `indexLength` bytes, with the text of the refusal when it no longer fits
// the index. IoError when the section file cannot be read.
struct CurrentSectionTable {
    SectionTable table;
    std::string refusal;
};
CurrentSectionTable ReadCurrentSectionTable(FileSystem& fs, const DataSetPaths& paths, std::uint64_t indexLength);
// The same, measuring the index itself; a file that cannot be read is told
// in the refusal.
CurrentSectionTable ReadCurrentSectionTable(FileSystem& fs, const DataSetPaths& paths);

// The selected line must still be the line the index gives for the entry
// at its place, as the index and section file are now; otherwise the data
// set changed since it was listed.
std::string StaleSelectionRefusal(const IndexImage& index, const SectionTable& table, int group,
                                  const ListedLine& selected);

// Shows the refusal and says so.
ArchiveOutcome Refuse(ReportSink& sink, const std::string& text, const char* caption);

}  // namespace qax
