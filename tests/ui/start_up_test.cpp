// Start-up: the window lists the Txt members of a sound data set, and after a
// failed start-up shows the exact error and keeps every data-set operation off.
#include <QTest>

#include "data_set.h"
#include "ui_fixture.h"

using namespace qax;
using namespace qax::testing;

class StartUpTest : public QObject {
    Q_OBJECT
private slots:
    void listsTheTxtMembersOfAGoodDataSet() {
        SampleProduct product;
        Editor editor(product);
        ui::TMainForm& form = editor.form;

        QCOMPARE(form.windowTitle(), QStringLiteral("Qax Edit"));
        QCOMPARE(form.PaneText(), BannerText());
        QCOMPARE(form.SelectedType(), int{Txt});
        QVERIFY(form.TypeButton(Txt)->isChecked());

        std::vector<std::string> expected;
        for (std::size_t i = 0; i < product.Group(Txt).size(); ++i) expected.push_back(product.LineOf(Txt, i));
        QVERIFY(!expected.empty());
        QVERIFY(editor.Lines() == expected);
        QCOMPARE(form.SelectedLineNumber(), -1);

        for (QWidget* control : std::initializer_list<QWidget*>{FileLB(form), TypesRG(form), LoadBtn(form),
                                                                ReplaceBtn(form), ExtractBtn(form), TextRichEdit(form)})
            QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
        QVERIFY(form.State().dataSetReady);
        QCOMPARE(form.State().paths.IndexPath, product.DataFile("qaxdata.idx").string());
        QCOMPARE(form.State().paths.TempPath, (product.Dir() / "edit" / "~temp.fpc").string());
        QVERIFY(form.State().ReplacementFileName.empty());
        QCOMPARE(FileLbl(form)->text(), QStringLiteral("New File Name"));
        QVERIFY(editor.prompts.messages.empty());
    }

    void aMissingFileGivesTheExactErrorAndDisablesTheDataSetOperations() {
        SampleProduct product;
        std::filesystem::remove(product.DataFile("pal.qax"));
        Editor editor(product);
        ui::TMainForm& form = editor.form;

        QCOMPARE(form.PaneText(),
                 BannerText() + "\nCan't find:\n" + product.DataFile("pal.qax").string() + "\n\nYou must EXIT !!!");
        QCOMPARE(FileLB(form)->count(), 0);
        QVERIFY(!form.State().dataSetReady);
        QVERIFY(form.State().table == SectionTable{});
        QVERIFY(!FileLB(form)->isEnabled());
        QVERIFY(!TypesRG(form)->isEnabled());
        QVERIFY(!ReplaceBtn(form)->isEnabled());
        QVERIFY(!ExtractBtn(form)->isEnabled());
        // Choosing a file touches no data set, and the pane stays readable.
        QVERIFY(LoadBtn(form)->isEnabled());
        QVERIFY(TextRichEdit(form)->isEnabled());
        QVERIFY(editor.prompts.messages.empty());

        // Even when run directly, the handlers that read the data set do nothing.
        form.TypeButton(Shp)->setChecked(true);
        form.TypesRGClick();
        form.FileLBClick();
        QCOMPARE(FileLB(form)->count(), 0);
        QVERIFY(editor.prompts.messages.empty());
    }

    void everyMissingFileIsNamedInOrder() {
        Product empty;
        Editor editor(empty);
        std::string expected = BannerText() + "\nCan't find:\n";
        for (const char* name : {"shp.qax", "qaxdata.idx", "ext.idx", "txt.qax", "pal.qax"})
            expected += empty.DataFile(name).string() + "\n";
        QCOMPARE(editor.form.PaneText(), expected + "\nYou must EXIT !!!");
        QVERIFY(!TypesRG(editor.form)->isEnabled());
    }

    void aDamagedSectionFileIsAFailedStartUp() {
        SampleProduct product;
        qax::testing::WriteText(product.DataFile("ext.idx"), "short");
        Editor editor(product);
        QVERIFY(!editor.form.State().dataSetReady);
        QVERIFY(QString::fromStdString(editor.form.PaneText()).contains(QStringLiteral("You must Exit!")));
        QCOMPARE(FileLB(editor.form)->count(), 0);
        QVERIFY(!ReplaceBtn(editor.form)->isEnabled());
    }
};

QTEST_MAIN(StartUpTest)
#include "start_up_test.moc"
