// Start-up on a sound data set, the listing of the types, and the text view,
// in the real window.
#include <gtest/gtest.h>

#include "data_set.h"
#include "e2e_fixture.h"
#include "index_file.h"

namespace qax::e2e {
namespace {

class StartUp : public EndToEndTest {
protected:
    void SetUp() override {
        sample::SampleOptions options;
        options.txtCount = 6;
        options.shpCount = 5;
        options.otherCount = 2;
        options.txtMeanSize = 700;
        options.shpMeanSize = 3000;
        MakeProduct(options);
        StartEditor();
    }

    // Reads the whole list from its first line down with the arrow key.
    std::vector<std::string> ReadListFromTop(std::size_t lines) {
        Window().ClickListLine(0);
        Window().Keys({"Home"});
        std::vector<std::string> read;
        for (std::size_t i = 0; i < lines; ++i) {
            if (i > 0) Window().Keys({"Down"});
            read.push_back(Window().CopyListLine());
        }
        return read;
    }
};

TEST_F(StartUp, ListsTheTxtMembersThenShpWhenShpIsChosen) {
    // The generator's members as its index holds them (its names and sizes
    // follow from its seed): the name right-aligned in 8 columns, the size
    // in 6, a dollar sign and the offset in 7 upper-case hexadecimal digits.
    const std::vector<std::string> txt = {
        "KNSH37R7    915 $0000000", " HYMGC8V    721 $0000393", "      EM    407 $0000664",
        "      M2    425 $00007FB", "IJYHU9V6    725 $00009A4", "  HZ5FIG    706 $0000C79",
    };
    const std::vector<std::string> shp = {
        "       O   4104 $0000000", "   XP804   3833 $0001008", "G6MYUWO4   3535 $0001F01",
        " Z2IAJCP   2989 $0002CD0", "     K0C   1727 $000387D",
    };
    EXPECT_EQ(ReadListFromTop(txt.size()), txt);
    // One more Down stays on the last line: the list holds nothing else.
    Window().Keys({"Down"});
    EXPECT_EQ(Window().CopyListLine(), txt.back());

    Window().ChooseType(Shp);
    EXPECT_EQ(ReadListFromTop(shp.size()), shp);
    Window().Keys({"End"});
    EXPECT_EQ(Window().CopyListLine(), shp.back());

    ExpectDataSetUnchanged();
    EXPECT_TRUE(FilesBesideEditor().empty());
}

TEST_F(StartUp, TheOtherTypesListNothing) {
    Window().ChooseType(Til);
    // The clipboard holds the pane's text; Copy in an empty list copies
    // nothing, so it still does afterwards.
    const std::string pane = Window().ReadPane();
    EXPECT_EQ(pane, BannerText());
    Window().ClickListLine(0);
    EXPECT_EQ(Window().CopyListLine(), pane);

    Window().ChooseType(Dat);
    Window().ClickListLine(0);
    EXPECT_EQ(Window().CopyListLine(), pane);
}

TEST_F(StartUp, ShowsTheTxtMemberChosenWithTheMouseOrTheKeyboard) {
    const Bytes& archive = Original("txt.qax");
    EXPECT_EQ(Window().ReadPane(), BannerText());

    // Tab takes the focus from the pane to the list (a tab character in the
    // pane would leave the banner there), where End chooses the last line.
    Window().Keys({"Tab", "End"});
    EXPECT_EQ(Window().ReadPane(), TextAsShown(MemberBytes(archive, Group(Txt).back())));

    Window().ClickListLine(2);
    EXPECT_EQ(Window().ReadPane(), TextAsShown(MemberBytes(archive, Group(Txt)[2])));

    // Arrow keys choose a line as a click does.
    Window().ClickListLine(2);
    Window().Keys({"Down", "Down"});
    EXPECT_EQ(Window().ReadPane(), TextAsShown(MemberBytes(archive, Group(Txt)[4])));
    Window().ClickListLine(4);
    Window().Keys({"Home"});
    EXPECT_EQ(Window().ReadPane(), TextAsShown(MemberBytes(archive, Group(Txt)[0])));

    // A Shp line is not a text: the pane keeps what it shows.
    Window().ChooseType(Shp);
    Window().ClickListLine(1);
    EXPECT_EQ(Window().ReadPane(), TextAsShown(MemberBytes(archive, Group(Txt)[0])));
}

// The editor takes its own path from the system as bytes: in a directory
// whose name is Latin-1 ("QaxÉdit", not valid UTF-8) it still finds the
// data set one level up.
TEST_F(StartUp, AnEditorInADirectoryNamedInAnotherEncodingFindsItsDataSet) {
    RunningEditor latin1 = StartAnotherEditor(
        "Qax\xC9"
        "dit");
    EXPECT_EQ(latin1.window->ReadPane(), BannerText());
}

}  // namespace
}  // namespace qax::e2e
