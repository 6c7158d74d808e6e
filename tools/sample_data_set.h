// Writes a complete, valid product directory for the demo, the tests and the
// benchmarks: <product>/data/ with qaxdata.idx, ext.idx, txt.qax, shp.qax and
// pal.qax, entries in all six groups, members back to back.
// Deterministic: the same options always give the same bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qax::sample {

struct SampleOptions {
    std::uint64_t seed = 1998;
    // Members per group, in the order Txt, Shp, Til, Tnm, Pal, Dat.
    std::uint32_t txtCount = 24;
    std::uint32_t shpCount = 16;
    std::uint32_t otherCount = 3;  // each of Til, Tnm, Pal, Dat
    // Mean member sizes; each member's size is drawn from [mean/2, 3*mean/2],
    // or is exactly the mean when exactSizes is set.
    std::uint32_t txtMeanSize = 1500;
    std::uint32_t shpMeanSize = 6000;
    bool exactSizes = false;
};

struct SampleMember {
    std::string name;
    std::uint32_t size = 0;
    std::uint32_t offset = 0;
};

struct SampleDataSet {
    std::filesystem::path dataDir;
    std::vector<SampleMember> groups[6];
};

// Writes the data set under `productDir`/data, creating directories as
// needed and replacing files that are there. Throws std::runtime_error when a
// file cannot be written.
SampleDataSet WriteSampleDataSet(const std::filesystem::path& productDir, const SampleOptions& options);

}  // namespace qax::sample
