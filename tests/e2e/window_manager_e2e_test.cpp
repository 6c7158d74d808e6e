// The editor on a desktop with a window manager (openbox): where its framed
// window lies, and a normal close, after which nothing of the run is left
// outside the data set and the editor's directory.
#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace qax::e2e {
namespace {

namespace fs = std::filesystem;

class UnderWindowManager : public EndToEndTest {
protected:
    void SetUp() override {
        sample::SampleOptions options;
        options.txtCount = 3;
        options.shpCount = 2;
        options.otherCount = 1;
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

}  // namespace
}  // namespace qax::e2e
