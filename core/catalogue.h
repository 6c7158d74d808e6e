// The catalogue: one member type's index entries as fixed-column text lines,
// and the reading of such a line back into name, size and offset.
//
// Line format "%8s %6ld $%07lX": columns 1-8 the name, 10-15 the size,
// 17 the dollar sign, 18-24 the offset in hexadecimal.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "file_access.h"
#include "index_file.h"

namespace qax {

inline constexpr std::size_t kCatalogueLineWidth = 24;

// Raised when a catalogue field is not a valid integer. Its message is the
// one the user sees (the window adds the closing full stop).
class ConversionError : public std::runtime_error {
public:
    explicit ConversionError(std::string_view text);
};

// Raised when a line is asked for that the list does not hold.
class ListIndexError : public std::runtime_error {
public:
    ListIndexError() : std::runtime_error("List index out of bounds") {}
};

struct CatalogueEntry {
    std::string name;  // trimmed of blanks and control characters
    std::int32_t size = 0;
    std::uint32_t offset = 0;
};

std::string FormatCatalogueLine(const IndexEntry& entry);

// The lines of group `group`, in index order, ready to append to the list.
// An index that cannot be opened gives no lines and no message.
std::vector<std::string> FillCatalogue(FileSystem& fs, const std::string& indexPath, const SectionTable& table,
                                       int group);

// Integer conversion of a catalogue field: leading blanks, then a signed
// decimal number in 32-bit range, or a hexadecimal one ($, x, X, 0x, 0X)
// using up to 32 bits. Anything else raises ConversionError.
std::int32_t ConvertToInteger(std::string_view text);

// Reads a line back. Lines of up to 24 characters are read by their fixed
// columns; a wider line (a size or offset too large for its column) is read
// by the field boundaries its format guarantees, so its true values return.
CatalogueEntry ReadCatalogueLine(std::string_view line);

}  // namespace qax
