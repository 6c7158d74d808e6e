// Extract File in the real window: the selected Shp member lands beside the
// editor as <NAME>.SHP, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e_fixture.h"
#include "index_file.h"

namespace qax::e2e {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;

constexpr auto kExtractTimeout = std::chrono::seconds(30);

class Extract : public EndToEndTest {
protected:
    void SetUp() override {
        sample::SampleOptions options;
        options.txtCount = 4;
        options.shpCount = 8;
        options.shpMeanSize = 20000;
        MakeProduct(options);
        StartEditor();
    }

    // Line of the Shp member with the shortest or the longest name.
    std::size_t LineWithName(bool shortest) const {
        const auto& shp = Group(Shp);
        const auto byLength = [](const auto& a, const auto& b) { return a.name.size() < b.name.size(); };
        const auto found = shortest ? std::min_element(shp.begin(), shp.end(), byLength)
                                    : std::max_element(shp.begin(), shp.end(), byLength);
        return static_cast<std::size_t>(found - shp.begin());
    }

    void ExtractLineAndWait(std::size_t line) {
        const sample::SampleMember& member = Group(Shp)[line];
        const Bytes expected = MemberBytes(Original("shp.qax"), member);
        const fs::path target = EditorDir() / (member.name + ".SHP");
        Window().ClickListLine(static_cast<int>(line));
        Window().ClickControl("ExtractBtn");
        WaitUntil([&] { return fs::exists(target) && ReadBytes(target) == expected; }, kExtractTimeout,
                  target.filename().string() + " to hold the bytes of member " + member.name);
    }
};

TEST_F(Extract, WritesTheSelectedShpMemberBesideTheEditor) {
    // With Txt chosen the button does nothing; reading the pane afterwards
    // makes sure the editor has handled the click.
    Window().ClickListLine(0);
    Window().ClickControl("ExtractBtn");
    Window().ReadPane();
    EXPECT_TRUE(FilesBesideEditor().empty());

    Window().ChooseType(Shp);
    // The shortest name is shown with blanks before it, which the file's name
    // must not have.
    const std::size_t shortName = LineWithName(true);
    ExtractLineAndWait(shortName);

    // A full eight-character name, over a file of that name that is there
    // already: it is replaced.
    const std::size_t longName = LineWithName(false);
    ASSERT_EQ(Group(Shp)[longName].name.size(), 8u);
    testing::WriteText(EditorDir() / (Group(Shp)[longName].name + ".SHP"), std::string(100000, 'x'));
    ExtractLineAndWait(longName);

    std::vector<std::string> beside = FilesBesideEditor();
    std::sort(beside.begin(), beside.end());
    std::vector<std::string> expected = {Group(Shp)[shortName].name + ".SHP", Group(Shp)[longName].name + ".SHP"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(beside, expected);
    ExpectDataSetUnchanged();
    EXPECT_TRUE(Window().OtherWindows().empty());
}

}  // namespace
}  // namespace qax::e2e
