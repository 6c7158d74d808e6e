#include "catalogue.h"

#include <cstdio>
#include <limits>
#include <optional>

namespace qax {

ConversionError::ConversionError(std::string_view text)
    : std::runtime_error("''" + std::string(text) + "'' is not a valid integer value") {}

std::string FormatCatalogueLine(const IndexEntry& entry) {
    char line[64];
    std::snprintf(line, sizeof line, "%8s %6ld $%07lX", entry.name.c_str(), static_cast<long>(entry.size),
                  static_cast<unsigned long>(entry.offset));
    return line;
}

std::vector<std::string> FillCatalogue(FileSystem& fs, const std::string& indexPath, const SectionTable& table,
                                       int group) {
    std::vector<std::string> lines;
    std::vector<IndexEntry> entries;
    try {
        auto index = fs.Open(indexPath, OpenMode::Read);
        entries = ReadGroupEntries(*index, table, group);
        index->Close();
    } catch (const IoError&) {
        // The listing passes over an index it cannot read: the list stays as it is.
        return lines;
    }
    lines.reserve(entries.size());
    for (const IndexEntry& entry : entries) lines.push_back(FormatCatalogueLine(entry));
    return lines;
}

namespace {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::int32_t> ParseHex(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        int digit = HexDigitValue(c);
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::optional<std::int32_t> ParseDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    const std::int64_t limit = negative ? -std::int64_t{std::numeric_limits<std::int32_t>::min()}
                                        : std::int64_t{std::numeric_limits<std::int32_t>::max()};
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > limit) return std::nullopt;
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

// The columns of a line from `firstColumn` (counted from 1), simply fewer
// characters when the line is shorter: a short line is read, not rejected here.
std::string_view Columns(std::string_view line, std::size_t firstColumn, std::size_t count) {
    const std::size_t start = firstColumn - 1;
    if (start >= line.size()) return {};
    return line.substr(start, count);
}

std::string TrimBlanksAndControls(std::string_view text) {
    auto isTrimmed = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && isTrimmed(text.front())) text.remove_prefix(1);
    while (!text.empty() && isTrimmed(text.back())) text.remove_suffix(1);
    return std::string(text);
}

}  // namespace

std::int32_t ConvertToInteger(std::string_view text) {
    std::string_view rest = text;
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);

    std::optional<std::int32_t> value;
    if (!rest.empty() && (rest.front() == '$' || rest.front() == 'x' || rest.front() == 'X'))
        value = ParseHex(rest.substr(1));
    else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X'))
        value = ParseHex(rest.substr(2));
    else
        value = ParseDecimal(rest);

    if (!value) throw ConversionError(text);
    return *value;
}

CatalogueEntry ReadCatalogueLine(std::string_view line) {
    std::string_view sizeField = Columns(line, 10, 6);
    std::string_view offsetField = Columns(line, 17, 8);

    // A wider line keeps the name in columns 1-8 and the blank in column 9;
    // the size runs up to the blank before the final "$" field.
    if (line.size() > kCatalogueLineWidth) {
        const auto dollar = line.rfind(" $");
        if (dollar != std::string_view::npos && dollar >= 15) {
            sizeField = line.substr(9, dollar - 9);
            offsetField = line.substr(dollar + 1);
        }
    }

    CatalogueEntry entry;
    entry.size = ConvertToInteger(sizeField);
    entry.offset = static_cast<std::uint32_t>(ConvertToInteger(offsetField));
    entry.name = TrimBlanksAndControls(Columns(line, 1, 8));
    return entry;
}

}  // namespace qax
