// Replace Selection and Extract File driven through the window: the files on
// disk afterwards, the refreshed list, and the controls held off while the
// Shp archive is rebuilt.
#include <QTest>
#include <QTimer>

#include "archive_ops.h"
#include "ui_fixture.h"

using namespace qax;
using namespace qax::testing;

namespace {

std::string Bytes(const std::filesystem::path& path) {
    const auto bytes = ReadBytes(path);
    return {bytes.begin(), bytes.end()};
}

// The catalogue lines expected after member `replaced` of `members` took
// `newSize` bytes, the members lying back to back.
std::vector<std::string> ExpectedLines(std::vector<sample::SampleMember> members, std::size_t replaced,
                                       std::uint32_t newSize) {
    members[replaced].size = newSize;
    std::vector<std::string> lines;
    std::uint32_t offset = 0;
    for (auto& m : members) {
        lines.push_back(FormatCatalogueLine({m.name, static_cast<std::int32_t>(m.size), offset}));
        offset += m.size;
    }
    return lines;
}

}  // namespace

class ArchiveTest : public QObject {
    Q_OBJECT
private slots:
    void replacingATextMemberRebuildsTxtAndRefreshesTheList() {
        SampleProduct product;
        Editor editor(product);
        const std::string oldArchive = Bytes(product.DataFile("txt.qax"));
        const auto& members = product.Group(Txt);
        const std::string replacement = "A brand new briefing.\r\n";
        WriteText(product.Dir() / "new.txt", replacement);
        editor.prompts.answers.push_back(QString::fromStdString((product.Dir() / "new.txt").string()));
        editor.form.LoadBtnClick();
        editor.ClickLine(2);

        QTest::mouseClick(ReplaceBtn(editor.form), Qt::LeftButton);

        const auto& m = members[2];
        const std::string expected =
            oldArchive.substr(0, m.offset) + replacement + oldArchive.substr(m.offset + m.size);
        QCOMPARE(Bytes(product.DataFile("txt.qax")), expected);
        QCOMPARE(editor.Lines(), ExpectedLines(members, 2, static_cast<std::uint32_t>(replacement.size())));
        QCOMPARE(editor.form.SelectedLineNumber(), -1);
        QVERIFY(editor.prompts.messages.empty());
        QVERIFY(!std::filesystem::exists(product.Dir() / "edit" / "~temp.fpc"));
    }

    // Another program rewrote the data set, with more Txt members, after the
    // list was filled: the click is refused, nothing changes, and the list
    // shows the data set as it is now, its section file read again.
    void aDataSetRewrittenSinceItWasListedIsRefusedAndListedAgain() {
        SampleProduct product;
        Editor editor(product);
        WriteText(product.Dir() / "new.txt", "x");
        editor.prompts.answers.push_back(QString::fromStdString((product.Dir() / "new.txt").string()));
        editor.form.LoadBtnClick();
        editor.ClickLine(2);
        sample::SampleOptions other;
        other.seed = 7;
        other.txtCount = 30;
        const auto rewritten = sample::WriteSampleDataSet(product.Dir(), other);
        const std::string index = Bytes(product.DataFile("qaxdata.idx"));
        const std::string archive = Bytes(product.DataFile("txt.qax"));

        editor.form.ReplaceBtnClick();

        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        QVERIFY(editor.prompts.messages[0].text.contains("changed since it was listed"));
        QCOMPARE(Bytes(product.DataFile("qaxdata.idx")), index);
        QCOMPARE(Bytes(product.DataFile("txt.qax")), archive);
        QCOMPARE(editor.Lines(), ExpectedLines(rewritten.groups[Txt], 0, rewritten.groups[Txt][0].size));
    }

    void replacingWithNoLineSelectedChangesNothingAndSaysSo() {
        SampleProduct product;
        Editor editor(product);
        const std::string index = Bytes(product.DataFile("qaxdata.idx"));
        const std::string archive = Bytes(product.DataFile("txt.qax"));
        WriteText(product.Dir() / "new.txt", "x");
        editor.prompts.answers.push_back(QString::fromStdString((product.Dir() / "new.txt").string()));
        editor.form.LoadBtnClick();

        editor.form.ReplaceBtnClick();
        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        QCOMPARE(Bytes(product.DataFile("qaxdata.idx")), index);
        QCOMPARE(Bytes(product.DataFile("txt.qax")), archive);
    }

    // The marks go into the document a frame at a time, but the pane reads
    // back every mark already made at each event pass, as the core counts
    // them, and the document holds them all once a frame has passed.
    void progressMarksReadBackAsTheyAreMade() {
        sample::SampleOptions options;
        options.shpCount = 2;
        options.shpMeanSize = 3000000;
        options.exactSizes = true;
        SampleProduct product(options);
        Editor editor(product);
        WriteText(product.Dir() / "new.shp", std::string(1000, '\x11'));
        editor.form.TypeButton(Shp)->click();
        editor.prompts.answers.push_back(QString::fromStdString((product.Dir() / "new.shp").string()));
        editor.form.LoadBtnClick();
        editor.ClickLine(1);

        std::vector<std::string> passes;
        QTimer everyPass;
        connect(&everyPass, &QTimer::timeout, [&] { passes.push_back(editor.form.PaneText()); });
        everyPass.start(0);
        editor.form.ReplaceBtnClick();
        everyPass.stop();

        // The head of 3,000,000 bytes marks twice, the empty tail once more.
        std::vector<std::string> shown;
        for (const std::string& text : passes)
            if (shown.empty() || shown.back() != text) shown.push_back(text);
        const std::string start = kShpStartText;
        QCOMPARE(shown, (std::vector<std::string>{start, start + "* ", start + "* * ", start + "* * * "}));
        QCOMPARE(editor.form.PaneText(), std::string(kShpDoneText));

        editor.form.SetPaneText(start);
        editor.form.AppendPaneText("* ");
        editor.form.AppendPaneText("* ");
        QCOMPARE(editor.form.PaneText(), start + "* * ");
        QTRY_COMPARE(TextRichEdit(editor.form)->toPlainText(), QString::fromStdString(start + "* * "));
    }

    void replacingAShpMemberHoldsOffEveryOtherControlUntilItIsDone() {
        sample::SampleOptions options;
        options.shpCount = 4;
        options.shpMeanSize = 1500000;  // enough for progress marks
        options.exactSizes = true;
        SampleProduct product(options);
        Editor editor(product);
        const std::string oldArchive = Bytes(product.DataFile("shp.qax"));
        const std::string replacement(70000, '\x5A');
        WriteText(product.Dir() / "new.shp", replacement);
        editor.form.TypeButton(Shp)->click();
        editor.prompts.answers.push_back(QString::fromStdString((product.Dir() / "new.shp").string()));
        editor.form.LoadBtnClick();
        editor.ClickLine(1);
        QVERIFY(editor.ShowActive());

        // Runs while the operation lets the window handle its events: every
        // control that could start something must be disabled, a click on
        // Extract File must do nothing, and a close waits for the end.
        bool sawLockedControls = false;
        QTimer::singleShot(0, &editor.form, [&] {
            sawLockedControls = !LoadBtn(editor.form)->isEnabled() && !ReplaceBtn(editor.form)->isEnabled() &&
                                !ExtractBtn(editor.form)->isEnabled() && !FileLB(editor.form)->isEnabled() &&
                                !TypesRG(editor.form)->isEnabled();
            QTest::mouseClick(ExtractBtn(editor.form), Qt::LeftButton);
            QVERIFY(!editor.form.close());
        });
        editor.form.ReplaceBtnClick();

        QVERIFY(sawLockedControls);
        QVERIFY(ReplaceBtn(editor.form)->isEnabled() && FileLB(editor.form)->isEnabled() &&
                TypesRG(editor.form)->isEnabled() && LoadBtn(editor.form)->isEnabled());
        const auto& m = product.Group(Shp)[1];
        QCOMPARE(Bytes(product.DataFile("shp.qax")),
                 oldArchive.substr(0, m.offset) + replacement + oldArchive.substr(m.offset + m.size));
        QCOMPARE(editor.form.PaneText(), std::string(kShpDoneText));
        QCOMPARE(editor.Lines(), ExpectedLines(product.Group(Shp), 1, 70000));
        QVERIFY(!std::filesystem::exists(product.Dir() / "edit" / (m.name + ".SHP")));
        QVERIFY(!editor.form.isVisible());
    }

    // Replace Selection pressed from the keyboard: after a replacement of
    // either type the list has the focus, where the next line is chosen.
    void theListHasTheFocusAfterAReplacementOfEitherType() {
        for (const int type : {Txt, Shp}) {
            SampleProduct product;
            Editor editor(product);
            QVERIFY(editor.ShowActive());
            const std::string replacement = "A new member.\r\n";
            WriteText(product.Dir() / "new", replacement);
            editor.form.TypeButton(type)->click();
            editor.prompts.answers.push_back(QString::fromStdString((product.Dir() / "new").string()));
            editor.form.LoadBtnClick();
            editor.ClickLine(1);
            ReplaceBtn(editor.form)->setFocus();

            QTest::keyClick(ReplaceBtn(editor.form), Qt::Key_Space);

            QCOMPARE(editor.Lines(),
                     ExpectedLines(product.Group(type), 1, static_cast<std::uint32_t>(replacement.size())));
            QCOMPARE(QApplication::focusWidget(), FileLB(editor.form));
        }
    }

    void extractingWritesTheMemberBesideTheEditor() {
        SampleProduct product;
        Editor editor(product);
        editor.form.TypeButton(Shp)->click();
        editor.ClickLine(3);
        QTest::mouseClick(ExtractBtn(editor.form), Qt::LeftButton);

        const auto& m = product.Group(Shp)[3];
        const std::string archive = Bytes(product.DataFile("shp.qax"));
        QCOMPARE(Bytes(product.Dir() / "edit" / (m.name + ".SHP")), archive.substr(m.offset, m.size));
        QVERIFY(editor.prompts.messages.empty());
    }

    void extractingWithNoLineOrTxtSelected() {
        SampleProduct product;
        Editor editor(product);
        editor.form.ExtractBtnClick();  // Txt: the button does nothing
        QVERIFY(editor.prompts.messages.empty());

        editor.form.TypeButton(Shp)->click();
        editor.form.ExtractBtnClick();
        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        QCOMPARE(editor.prompts.messages[0].text, QStringLiteral("List index out of bounds."));
        for (const auto& item : std::filesystem::directory_iterator(product.Dir() / "edit"))
            QFAIL(qPrintable(QString::fromStdString("unexpected file " + item.path().string())));
    }
};

QTEST_MAIN(ArchiveTest)
#include "archive_test.moc"
