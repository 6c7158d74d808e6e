// A start-up with a data file missing: the error in the pane, and no
// operation, whatever the user clicks, reads or writes the data set.
#include <gtest/gtest.h>

#include "data_set.h"
#include "e2e_fixture.h"
#include "index_file.h"

namespace qax::e2e {
namespace {

class MissingDataFile : public EndToEndTest {};

TEST_F(MissingDataFile, ShowsTheErrorAndNoOperationTouchesTheDataSet) {
    sample::SampleOptions options;
    options.txtCount = 5;
    options.shpCount = 5;
    MakeProduct(options);
    // Without txt.qax a Txt replacement would create it afresh.
    RemoveDataFile("txt.qax");
    StartEditor();

    const std::string error =
        BannerText() + "\nCan't find:\n" + DataFile("txt.qax").string() + "\n" + "\nYou must EXIT !!!";
    EXPECT_EQ(Window().ReadPane(), error);

    // Every control that reaches the data set, with the default type and
    // with Shp.
    Window().ClickListLine(0);
    Window().ClickControl("ReplaceBtn");
    Window().ClickControl("ExtractBtn");
    Window().ChooseType(Shp);
    Window().ClickListLine(0);
    Window().ClickControl("ReplaceBtn");
    Window().ClickControl("ExtractBtn");
    // Read after the clicks, so they have all been handled: the pane still
    // shows the error, and no message came up.
    EXPECT_EQ(Window().ReadPane(), error);
    EXPECT_TRUE(Window().OtherWindows().empty());

    // Load New File still chooses a file; Replace Selection must still not
    // use it.
    const Bytes text = {'H', 'o', 'l', 'd', '\r', '\n'};
    Window().ChooseReplacementFile(WriteUserFile("orders.txt", text));
    Window().ClickControl("ReplaceBtn");
    Window().ClickControl("ExtractBtn");
    EXPECT_EQ(Window().ReadPane(), TextAsShown(text));
    EXPECT_TRUE(Window().OtherWindows().empty());

    ExpectDataSetUnchanged();
    EXPECT_TRUE(FilesBesideEditor().empty());
}

}  // namespace
}  // namespace qax::e2e
