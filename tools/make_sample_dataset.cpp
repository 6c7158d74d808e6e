// make_sample_dataset: writes a sample product directory for the editor.
//
//   make_sample_dataset PRODUCT_DIR [--seed N] [--txt N] [--shp N] [--other N]
//                       [--txt-size BYTES] [--shp-size BYTES] [--exact-sizes]
//
// The data set goes to PRODUCT_DIR/data; the editor belongs in a directory of
// its own inside PRODUCT_DIR.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "sample_data_set.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: make_sample_dataset PRODUCT_DIR [--seed N] [--txt N] [--shp N] [--other N]\n"
                 "                           [--txt-size BYTES] [--shp-size BYTES] [--exact-sizes]\n");
}

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        Usage();
        return 2;
    }
    qax::sample::SampleOptions options;
    for (int i = 2; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--exact-sizes") {
            options.exactSizes = true;
            continue;
        }
        unsigned long long value = 0;
        if (i + 1 >= argc || !ParseNumber(argv[i + 1], UINT32_MAX, value)) {
            Usage();
            return 2;
        }
        ++i;
        const auto v32 = static_cast<std::uint32_t>(value);
        if (flag == "--seed")
            options.seed = value;
        else if (flag == "--txt")
            options.txtCount = v32;
        else if (flag == "--shp")
            options.shpCount = v32;
        else if (flag == "--other")
            options.otherCount = v32;
        else if (flag == "--txt-size")
            options.txtMeanSize = v32;
        else if (flag == "--shp-size")
            options.shpMeanSize = v32;
        else {
            Usage();
            return 2;
        }
    }
    try {
        const auto set = qax::sample::WriteSampleDataSet(argv[1], options);
        // string(), not c_str(): on Windows a path holds wide characters.
        std::printf("sample data set written to %s\n", set.dataDir.string().c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_sample_dataset: %s\n", error.what());
        return 1;
    }
    return 0;
}
