#include "catalogue.h"

#include <gtest/gtest.h>

#include "index_builder.h"
#include "temp_dir.h"

namespace qax {
namespace {

using testing::IndexBytes;
using testing::TempDir;
using testing::WriteBytes;

TEST(CatalogueLineFormat, MapExampleIsTwentyFourFixedColumns) {
    const std::string line = FormatCatalogueLine({"MAP", 512, 4096});
    EXPECT_EQ(line, "     MAP    512 $0001000");
    EXPECT_EQ(line.size(), kCatalogueLineWidth);
}

TEST(CatalogueLineFormat, ExtremesOfTheInRangeDomainKeepTheColumns) {
    EXPECT_EQ(FormatCatalogueLine({"ABCDEFGH", 999999, 0xFFFFFFF}), "ABCDEFGH 999999 $FFFFFFF");
    EXPECT_EQ(FormatCatalogueLine({"", 0, 0}), "              0 $0000000");
    EXPECT_EQ(FormatCatalogueLine({"X", -99999, 0x1234}), "       X -99999 $0001234");
}

TEST(CatalogueLineFormat, OutOfRangeValuesWidenTheLine) {
    EXPECT_EQ(FormatCatalogueLine({"BIG", 67108864, 0x10000000}), "     BIG 67108864 $10000000");
    EXPECT_EQ(FormatCatalogueLine({"NEG", -1000000, 0}), "     NEG -1000000 $0000000");
}

TEST(CatalogueReadBack, FieldsAndTrimmedName) {
    const CatalogueEntry entry = ReadCatalogueLine("     MAP    512 $0001000");
    EXPECT_EQ(entry.name, "MAP");
    EXPECT_EQ(entry.size, 512);
    EXPECT_EQ(entry.offset, 4096u);
    EXPECT_EQ(ReadCatalogueLine("ABCDEFGH 999999 $FFFFFFF").name, "ABCDEFGH");
    // Control characters count as blanks when the name is trimmed.
    EXPECT_EQ(ReadCatalogueLine(FormatCatalogueLine({"\tAB\x01", 1, 2})).name, "AB");
}

// Every in-range size, and offsets spread over the whole in-range span
// (including the top of each digit), must come back exactly.
TEST(CatalogueReadBack, RoundTripsOverTheWholeInRangeDomain) {
    for (std::int32_t size = 0; size <= 999999; ++size) {
        const std::uint32_t offset = static_cast<std::uint32_t>(size) * 268u % 0x10000000u;
        const CatalogueEntry entry = ReadCatalogueLine(FormatCatalogueLine({"N", size, offset}));
        ASSERT_EQ(entry.size, size);
        ASSERT_EQ(entry.offset, offset);
    }
    for (std::uint64_t offset = 0; offset <= 0xFFFFFFF; offset += 0xFFFF1) {
        ASSERT_EQ(ReadCatalogueLine(FormatCatalogueLine({"N", 1, static_cast<std::uint32_t>(offset)})).offset, offset);
    }
    for (std::uint32_t offset : {0xFu, 0xFFu, 0xFFFu, 0xFFFFu, 0xFFFFFu, 0xFFFFFFu, 0xFFFFFFFu})
        ASSERT_EQ(ReadCatalogueLine(FormatCatalogueLine({"N", 1, offset})).offset, offset);
    for (std::int32_t size = -99999; size < 0; size += 7)
        ASSERT_EQ(ReadCatalogueLine(FormatCatalogueLine({"N", size, 0})).size, size);
}

TEST(CatalogueReadBack, WideLinesKeepTheirTrueValues) {
    const std::vector<IndexEntry> wide = {{"BIG", 67108864, 0x10000000},
                                          {"HUGE", INT32_MAX, 0xFFFFFFFF},
                                          {"NEG", INT32_MIN, 5},
                                          {"ABCDEFGH", 1000000, 0x0FFFFFFF},
                                          {"ABCDEFGH", 5, 0x80000000u}};
    for (const IndexEntry& e : wide) {
        const std::string line = FormatCatalogueLine(e);
        ASSERT_GT(line.size(), kCatalogueLineWidth) << line;
        const CatalogueEntry back = ReadCatalogueLine(line);
        EXPECT_EQ(back.size, e.size) << line;
        EXPECT_EQ(back.offset, e.offset) << line;
        EXPECT_EQ(back.name, e.name) << line;
    }
}

TEST(IntegerConversion, AcceptedForms) {
    EXPECT_EQ(ConvertToInteger("   512"), 512);
    EXPECT_EQ(ConvertToInteger("-17"), -17);
    EXPECT_EQ(ConvertToInteger("+17"), 17);
    EXPECT_EQ(ConvertToInteger("$0001000"), 4096);
    EXPECT_EQ(ConvertToInteger("x1f"), 31);
    EXPECT_EQ(ConvertToInteger("X1F"), 31);
    EXPECT_EQ(ConvertToInteger("0x1F"), 31);
    EXPECT_EQ(ConvertToInteger("0X1f"), 31);
    EXPECT_EQ(ConvertToInteger("2147483647"), INT32_MAX);
    EXPECT_EQ(ConvertToInteger("-2147483648"), INT32_MIN);
    EXPECT_EQ(ConvertToInteger("$FFFFFFFF"), -1);
    EXPECT_EQ(ConvertToInteger("$80000000"), INT32_MIN);
}

TEST(IntegerConversion, RejectedFormsRaiseTheQuotedMessage) {
    for (const char* bad : {"", "      ", "-", "+", "$", "0x", "12a", "12 ", "\t12", "2147483648", "-2147483649",
                            "$100000000", "--1", "$-1", "1.0", "0x$1"}) {
        try {
            ConvertToInteger(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const ConversionError& error) {
            EXPECT_EQ(std::string(error.what()), "''" + std::string(bad) + "'' is not a valid integer value");
        }
    }
}

TEST(CatalogueReadBack, DamagedLinesRaiseConversionErrors) {
    EXPECT_THROW(ReadCatalogueLine(""), ConversionError);
    EXPECT_THROW(ReadCatalogueLine("     MAP    5x2 $0001000"), ConversionError);
    EXPECT_THROW(ReadCatalogueLine("     MAP    512 $00010G0"), ConversionError);
    EXPECT_THROW(ReadCatalogueLine("     MAP    512"), ConversionError) << "no offset field at all";
    try {
        ReadCatalogueLine("     MAP    5x2 $0001000");
    } catch (const ConversionError& error) {
        EXPECT_STREQ(error.what(), "''   5x2'' is not a valid integer value");
    }
}

class CatalogueListing : public ::testing::Test {
protected:
    TempDir dir_;
    SystemFileSystem fs_;
};

TEST_F(CatalogueListing, ListsOneGroupInIndexOrder) {
    WriteBytes(dir_ / "qaxdata.idx",
               IndexBytes(7, {{"ONE", 10, 0}, {"TWO", 20, 10}, {"TANK", 1234, 4096}, {"ABCDEFGH", 5, 5330}}));
    const SectionTable table{{4, 36, 68, 68, 68, 68, 68}};
    const std::string index = (dir_ / "qaxdata.idx").string();
    EXPECT_EQ(FillCatalogue(fs_, index, table, Txt),
              (std::vector<std::string>{"     ONE     10 $0000000", "     TWO     20 $000000A"}));
    EXPECT_EQ(FillCatalogue(fs_, index, table, Shp),
              (std::vector<std::string>{"    TANK   1234 $0001000", "ABCDEFGH      5 $00014D2"}));
    EXPECT_TRUE(FillCatalogue(fs_, index, table, Til).empty());
}

TEST_F(CatalogueListing, UnopenableIndexListsNothingSilently) {
    const SectionTable table{{4, 36, 68, 68, 68, 68, 68}};
    EXPECT_TRUE(FillCatalogue(fs_, (dir_ / "missing.idx").string(), table, Txt).empty());
}

}  // namespace
}  // namespace qax
