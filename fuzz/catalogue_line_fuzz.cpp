// Feeds arbitrary text to the catalogue-line reader and the integer
// conversion. Either a value comes back or ConversionError is raised; and
// whatever comes back must survive a round trip through the line format.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    try {
        const std::int32_t value = qax::ConvertToInteger(text);
        // Accepted text must mean the same number when printed again in the
        // form the conversion reads back.
        if (qax::ConvertToInteger(std::to_string(value)) != value) std::abort();
    } catch (const qax::ConversionError&) {
    }

    try {
        const qax::CatalogueEntry entry = qax::ReadCatalogueLine(text);
        if (entry.name.size() > 8) std::abort();
        const qax::IndexEntry again{entry.name, entry.size, entry.offset};
        const qax::CatalogueEntry back = qax::ReadCatalogueLine(qax::FormatCatalogueLine(again));
        if (back.size != entry.size || back.offset != entry.offset) std::abort();
    } catch (const qax::ConversionError&) {
    }
    return 0;
}
