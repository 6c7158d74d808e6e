// The editor on a desktop with a window manager (openbox): where its framed
// window lies, and a normal close, after which nothing of the run is left
// outside the data set and the editor's directory.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e_fixture.h"
#include "index_file.h"

namespace qax::e2e {
namespace {

namespace fs = std::filesystem;

class UnderWindowManager : public EndToEndTest {
protected:
    void SetUp() override {
        sample::SampleOptions options;
        // The start-up suite's data set, whose names are known.
        options.txtCount = 6;
        options.shpCount = 5;
        options.otherCount = 2;
        options.txtMeanSize = 700;
        options.shpMeanSize = 3000;
        MakeProduct(options);
        StartEditorUnderWindowManager();
    }
};

TEST_F(UnderWindowManager, TheFrameLiesWhereTheWindowWasDesigned) {
    const Rect frame = WindowFrame();
    EXPECT_EQ(frame.x, kDesignedWindowFrame.x);
    EXPECT_EQ(frame.y, kDesignedWindowFrame.y);
    EXPECT_EQ(frame.width, kDesignedWindowFrame.width);
    EXPECT_EQ(frame.height, kDesignedWindowFrame.height);
}

TEST_F(UnderWindowManager, ANormalCloseAfterUsingTheFileDialogLeavesNothingBehind) {
    const Bytes text = {'H', 'o', 'l', 'd', '\r', '\n'};
    Window().ChooseReplacementFile(WriteUserFile("orders.txt", text));
    Window().Keys({"alt+F4"});
    EXPECT_EQ(WaitForEditorToEnd(), "exit code 0");

    // The editor and the layout probe ran with this home and its
    // configuration folder: the file dialog's history and last folder were
    // not written there.
    std::vector<std::string> written;
    for (const auto& entry : fs::recursive_directory_iterator(HomeDir()))
        written.push_back(fs::relative(entry.path(), HomeDir()).string());
    EXPECT_TRUE(written.empty()) << ::testing::PrintToString(written);
    ExpectDataSetUnchanged();
    EXPECT_TRUE(FilesBesideEditor().empty());
}

// By keyboard alone: however the file dialog closes (Enter on a typed path,
// Escape with its completion list open, the window manager's close), nothing
// of it stays on screen and the keyboard is back on Load New File, where
// Space opens the dialog again.
TEST_F(UnderWindowManager, TheFileDialogGivesTheKeyboardBackHoweverItCloses) {
    const fs::path file = WriteUserFile("orders.txt", {'H', 'o', 'l', 'd', '\r', '\n'});
    Window().ChooseReplacementFile(file);  // fails on a window left over
    Window().OpenFileDialogWith({"space"});
    // A partly typed name opens the completion list; Escape closes the list
    // and the second the dialog.
    Window().Type(file.parent_path().string() + "/or");
    Window().Keys({"Escape", "Escape"});
    Window().ExpectNothingLeftOfTheDialog();
    Window().OpenFileDialogWith({"space"});
    Window().Keys({"alt+F4"});
    Window().ExpectNothingLeftOfTheDialog();
    Window().OpenFileDialogWith({"space"});
    Window().Keys({"Escape"});
    Window().ExpectNothingLeftOfTheDialog();
    ExpectDataSetUnchanged();
}

// Type-ahead matches the name as it reads, not the padding before it: a
// name of five or two letters is found as an eight-letter one is, in either
// case, and its line is chosen as a click chooses it.
TEST_F(UnderWindowManager, TypingANameInTheListFindsItWhateverItsLength) {
    const auto pauseEndingTheSearch = std::chrono::milliseconds(800);
    Window().ChooseType(Shp);
    Window().ClickListLine(0);
    Window().Type("xp8");
    EXPECT_EQ(Window().CopyListLine(), "   XP804   3833 $0001008");
    std::this_thread::sleep_for(pauseEndingTheSearch);
    Window().Type("G6M");
    EXPECT_EQ(Window().CopyListLine(), "G6MYUWO4   3535 $0001F01");

    Window().ChooseType(Txt);
    Window().ClickListLine(0);
    Window().Type("m2");
    EXPECT_EQ(Window().CopyListLine(), "      M2    425 $00007FB");
    EXPECT_EQ(Window().ReadPane(), TextAsShown(MemberBytes(Original("txt.qax"), Group(Txt)[3])));
}

// A panel at the bottom leaves 768 - 240 = 528 pixels of height: the
// designed place would put the lower 187 pixels of the frame under it, so
// the window moves up just enough, and keeps its size and its left edge.
class UnderWindowManagerWithAPanel : public EndToEndTest {
protected:
    static constexpr int kPanel = 240;
    void SetUp() override {
        sample::SampleOptions options;
        options.txtCount = 3;
        options.shpCount = 2;
        MakeProduct(options);
        StartEditorUnderWindowManager(kPanel);
    }
};

TEST_F(UnderWindowManagerWithAPanel, TheWindowMovesUpJustEnoughToBeSeenWhole) {
    const Rect frame = WindowFrame();
    EXPECT_EQ(frame.x, kDesignedWindowFrame.x);
    EXPECT_EQ(frame.y + frame.height, 768 - kPanel);
    EXPECT_EQ(frame.width, kDesignedWindowFrame.width);
    EXPECT_EQ(frame.height, kDesignedWindowFrame.height);
    // The window works where it is: its list answers the keyboard.
    Window().ClickListLine(0);
    Window().Keys({"End"});
    EXPECT_EQ(Window().CopyListLine(), "      EM    873 $0000DB1");
}

}  // namespace
}  // namespace qax::e2e
