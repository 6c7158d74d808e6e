// Times the catalogue listing of a large group: the index is read in one pass
// and every entry formatted as a catalogue line.
//
//   listing_bench [ENTRIES]     (default 100000)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "catalogue.h"
#include "data_set.h"
#include "sample_data_set.h"

int main(int argc, char** argv) {
    const unsigned long entries = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    const auto product = std::filesystem::temp_directory_path() / "qaxedit-listing-bench";
    std::filesystem::remove_all(product);

    qax::sample::SampleOptions options;
    options.txtCount = static_cast<std::uint32_t>(entries);
    options.txtMeanSize = 16;
    options.shpCount = 4;
    qax::sample::WriteSampleDataSet(product, options);

    qax::SystemFileSystem fs;
    const auto startUp = qax::StartUpCheck(fs, (product / "edit" / "qaxedit").string());
    if (!startUp.Ready()) {
        std::fprintf(stderr, "start-up failed:\n%s\n", startUp.paneText.c_str());
        return 1;
    }

    std::vector<double> seconds;
    std::size_t lines = 0;
    for (int run = 0; run < 9; ++run) {
        seconds.push_back(qax::bench::SecondsFor(
            [&] { lines = qax::FillCatalogue(fs, startUp.paths.IndexPath, startUp.table, qax::Txt).size(); }));
    }
    std::printf("listing of %zu Txt entries (index %.1f MiB): median %.1f ms, best %.1f ms over %zu runs\n", lines,
                static_cast<double>(std::filesystem::file_size(startUp.paths.IndexPath)) / (1 << 20),
                qax::bench::Median(seconds) * 1000, *std::min_element(seconds.begin(), seconds.end()) * 1000,
                seconds.size());
    std::filesystem::remove_all(product);
    return lines == entries ? 0 : 1;
}
