// Replace Selection in the real window: a Txt member and a Shp member, each
// replaced by a file whose name is typed into the file dialog, checked
// against the bytes computed here from the generator's member list.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "archive_ops.h"
#include "e2e_fixture.h"
#include "index_file.h"

namespace qax::e2e {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;

constexpr auto kReplaceTimeout = std::chrono::seconds(60);

constexpr std::size_t kProbeLength = 64;

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t length) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

// Bytes of a file that another process is writing; fewer when it is shorter.
Bytes ReadRange(const fs::path& path, std::size_t from, std::size_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    Bytes bytes(length);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

// Includes a Latin-1 letter, which must reach the archive as one byte.
Bytes OrdersOfLength(std::size_t length) {
    return TextOfLength("New orders: hold the bridge at Sainte-M\xE8re until dawn.\r\n", length);
}

Bytes NoiseOfLength(std::size_t length) {
    Bytes bytes(length);
    std::uint32_t state = 2024;
    for (auto& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<unsigned char>(state >> 24);
    }
    return bytes;
}

class Replace : public EndToEndTest {
protected:
    // Waits until the new index is in place and the temporary copy is gone:
    // the index is written last, once the new archive is complete.
    void WaitForNewIndex(const Bytes& expectedIndex) {
        WaitUntil([&] { return ReadBytes(DataFile("qaxdata.idx")) == expectedIndex && !fs::exists(TempCopy()); },
                  kReplaceTimeout, "qaxdata.idx to hold the new size and offsets and ~temp.fpc to be removed",
                  std::chrono::milliseconds(50));
    }

    // The refreshed list shows the replaced member's new size and the next
    // member's new offset on the line below.
    void ExpectListedAfterReplacement(std::size_t line, const std::string& replaced, const std::string& next) {
        Window().ClickListLine(static_cast<int>(line));
        EXPECT_EQ(Window().CopyListLine(), replaced);
        Window().Keys({"Down"});
        EXPECT_EQ(Window().CopyListLine(), next);
    }
};

TEST_F(Replace, TxtMemberWithATypedFileName) {
    sample::SampleOptions options;
    options.txtCount = 8;
    options.shpCount = 4;
    MakeProduct(options);
    StartEditor();

    // Member M2 was 912 bytes at $000111A, IJYHU9V6 after it 1554 bytes.
    const std::size_t line = 3;
    ASSERT_EQ(Group(Txt)[line].size, 912u);
    const Bytes replacement = OrdersOfLength(912 + 777);
    const fs::path file = WriteUserFile("orders.txt", replacement);

    Window().ClickListLine(static_cast<int>(line));
    Window().ChooseReplacementFile(file);
    // From the keyboard: the focus is back on Load New File, and Tab moves
    // it on to Replace Selection.
    Window().Keys({"Tab", "space"});

    const ArchiveAndIndex expected =
        ExpectedReplacement(Original("qaxdata.idx"), Original("txt.qax"), Group(Txt), 0, line, replacement);
    WaitForNewIndex(expected.index);
    EXPECT_TRUE(ReadBytes(DataFile("txt.qax")) == expected.archive) << "txt.qax is not the expected rebuild";
    ExpectUnchanged({"shp.qax", "ext.idx", "pal.qax"});
    EXPECT_TRUE(FilesBesideEditor().empty());
    EXPECT_TRUE(Window().OtherWindows().empty());
    // For a text the pane shows the chosen file, and the replacement keeps it.
    EXPECT_EQ(Window().ReadPane(), TextAsShown(replacement));

    ExpectListedAfterReplacement(line, "      M2   1689 $000111A", "IJYHU9V6   1554 $00017B3");
    // The replaced member now shows the file's text.
    Window().ClickListLine(static_cast<int>(line));
    EXPECT_EQ(Window().ReadPane(), TextAsShown(replacement));
}

TEST_F(Replace, ShpMemberIgnoresClicksDuringTheCopyAndShowsProgress) {
    // Tens of megabytes, so the copy runs long enough to be caught under way
    // and makes a progress mark for every million bytes.
    sample::SampleOptions options;
    options.txtCount = 4;
    options.shpCount = 10;
    options.shpMeanSize = 4000000;
    options.exactSizes = true;
    MakeProduct(options);
    StartEditor();

    const std::size_t line = 4;
    const Bytes replacement = NoiseOfLength(1234567);
    const fs::path file = WriteUserFile("tank.shp", replacement);
    const ArchiveAndIndex expected = ExpectedReplacement(Original("qaxdata.idx"), Original("shp.qax"), Group(Shp),
                                                         Group(Txt).size(), line, replacement);

    Window().ChooseType(Shp);
    Window().ClickListLine(static_cast<int>(line));
    Window().ChooseReplacementFile(file);
    // The rebuild takes a few hundredths of a second on a fast disk, faster
    // than a click can be sent while it runs. So the editor is held (stopped)
    // while Replace Selection is clicked, let go, caught again as soon as the
    // temporary copy appears, and held there while the other clicks are
    // sent: they then reach it during the copy whatever the machine's speed,
    // and it takes them from the X server at its next progress mark. The
    // archive is rewritten from the selected member on, so while the bytes
    // a few marks before its new end are still the old ones, those marks
    // are still to come.
    const std::size_t probeAt = expected.archive.size() - 3 * kShpProgressStep;
    const Bytes oldAtProbe = Slice(Original("shp.qax"), probeAt, kProbeLength);
    ASSERT_NE(oldAtProbe, Slice(expected.archive, probeAt, kProbeLength));
    auto rebuildUnderWay = [&] {
        return fs::exists(TempCopy()) && ReadRange(DataFile("shp.qax"), probeAt, kProbeLength) == oldAtProbe;
    };
    SuspendEditor();
    Window().ClickControl("ReplaceBtn");
    ResumeEditor();
    WaitUntil(rebuildUnderWay, kReplaceTimeout, "the rebuild of shp.qax to begin", std::chrono::milliseconds(0));
    SuspendEditor();
    ASSERT_TRUE(rebuildUnderWay()) << "the rebuild went past the point where clicks could arrive during it";
    Window().ClickControl("ExtractBtn");
    Window().ChooseType(Txt);
    Window().CopyPane();
    ResumeEditor();

    // The pane, copied while the copy went on, shows the start text and the
    // marks so far.
    std::string duringCopy;
    WaitUntil([&] { return !(duringCopy = Window().Clipboard()).empty(); }, kReplaceTimeout,
              "the pane's text copied during the rebuild");
    const std::string startText = kShpStartText;
    EXPECT_TRUE(duringCopy.starts_with(startText) &&
                std::regex_match(duringCopy.substr(startText.size()), std::regex(R"((\* )+)")))
        << "pane during the copy: '" << duringCopy << "'";

    WaitForNewIndex(expected.index);
    EXPECT_TRUE(ReadBytes(DataFile("shp.qax")) == expected.archive) << "shp.qax is not the expected rebuild";
    ExpectUnchanged({"txt.qax", "ext.idx", "pal.qax"});
    // Extract File did nothing: no member file, and no temporary copy left.
    EXPECT_TRUE(FilesBesideEditor().empty());
    EXPECT_TRUE(Window().OtherWindows().empty());
    EXPECT_EQ(Window().ReadPane(), kShpDoneText);
    // The click on Txt did nothing either: the list still shows Shp.
    // Every member was 4,000,000 bytes: G6MYUWO4 at $0F42400, and sizes of
    // seven digits take one column more than the six set aside for them.
    ExpectListedAfterReplacement(line, "G6MYUWO4 1234567 $0F42400", "  T82IAJ 4000000 $106FA87");
}

}  // namespace
}  // namespace qax::e2e
