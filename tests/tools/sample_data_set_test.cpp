#include "sample_data_set.h"

#include <gtest/gtest.h>

#include "catalogue.h"
#include "data_set.h"
#include "temp_dir.h"

namespace qax {
namespace {

using testing::ReadBytes;
using testing::TempDir;

// Every other suite builds on the generator, so it must write what it says
// it wrote, in the layout the editor reads.
TEST(SampleDataSet, WritesAValidBackToBackDataSet) {
    TempDir dir;
    sample::SampleOptions options;
    options.txtCount = 7;
    options.shpCount = 5;
    options.otherCount = 2;
    const auto set = sample::WriteSampleDataSet(dir.Path(), options);

    SystemFileSystem fs;
    const StartUpResult startUp = StartUpCheck(fs, (dir / "edit" / "qaxedit").string());
    ASSERT_TRUE(startUp.Ready()) << startUp.paneText;
    for (int group = 0; group < kMemberTypeCount; ++group)
        EXPECT_EQ(startUp.table.EntryCount(group), set.groups[group].size()) << group;

    const auto txtLines = FillCatalogue(fs, startUp.paths.IndexPath, startUp.table, Txt);
    ASSERT_EQ(txtLines.size(), 7u);
    std::uint64_t expectedOffset = 0;
    bool sawFullWidthName = false;
    for (std::size_t i = 0; i < txtLines.size(); ++i) {
        const CatalogueEntry entry = ReadCatalogueLine(txtLines[i]);
        EXPECT_EQ(entry.name, set.groups[Txt][i].name);
        EXPECT_EQ(entry.offset, expectedOffset) << "members lie back to back";
        EXPECT_GE(entry.name.size(), 1u);
        EXPECT_LE(entry.name.size(), 8u);
        sawFullWidthName |= entry.name.size() == 8;
        expectedOffset += static_cast<std::uint32_t>(entry.size);
    }
    EXPECT_TRUE(sawFullWidthName);
    EXPECT_EQ(ReadBytes(dir / "data" / "txt.qax").size(), expectedOffset);

    std::uint64_t shpTotal = 0;
    for (const auto& m : set.groups[Shp]) shpTotal += m.size;
    EXPECT_EQ(ReadBytes(dir / "data" / "shp.qax").size(), shpTotal);

    const auto txt = ReadBytes(dir / "data" / "txt.qax");
    for (unsigned char c : txt) ASSERT_TRUE(c == '\r' || c == '\n' || (c >= 32 && c < 127)) << "readable text";
}

TEST(SampleDataSet, SameSeedSameBytesOtherSeedOtherBytes) {
    TempDir a, b, c;
    sample::SampleOptions options;
    sample::WriteSampleDataSet(a.Path(), options);
    sample::WriteSampleDataSet(b.Path(), options);
    options.seed += 1;
    sample::WriteSampleDataSet(c.Path(), options);
    for (const char* name : {"qaxdata.idx", "ext.idx", "txt.qax", "shp.qax", "pal.qax"}) {
        EXPECT_EQ(ReadBytes(a / "data" / name), ReadBytes(b / "data" / name)) << name;
    }
    EXPECT_NE(ReadBytes(a / "data" / "shp.qax"), ReadBytes(c / "data" / "shp.qax"));
}

TEST(SampleDataSet, ExactSizesAndEmptyGroups) {
    TempDir dir;
    sample::SampleOptions options;
    options.txtCount = 0;
    options.shpCount = 3;
    options.shpMeanSize = 4096;
    options.exactSizes = true;
    const auto set = sample::WriteSampleDataSet(dir.Path(), options);
    EXPECT_TRUE(set.groups[Txt].empty());
    EXPECT_EQ(ReadBytes(dir / "data" / "txt.qax").size(), 0u);
    EXPECT_EQ(ReadBytes(dir / "data" / "shp.qax").size(), 3u * 4096u);
    SystemFileSystem fs;
    EXPECT_TRUE(StartUpCheck(fs, (dir / "edit" / "qaxedit").string()).Ready());
}

}  // namespace
}  // namespace qax
