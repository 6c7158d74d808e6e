// Load New File: the dialog's filter by type, the name and the label set only
// on a confirmed choice, and the preview of a chosen text file.
#include <QLineEdit>
#include <QTest>

#include "ui_fixture.h"

using namespace qax;
using namespace qax::testing;

namespace {

const QStringList kTextFilters = {QStringLiteral("Text files (*.txt *.TXT)"), QStringLiteral("All files (*)")};
const QStringList kShpFilters = {QStringLiteral("Shp files (*.shp *.SHP)"), QStringLiteral("All files (*)")};

}  // namespace

class ReplacementChoiceTest : public QObject {
    Q_OBJECT
private:
    QString WriteFile(const Product& product, const std::string& name, const std::string& bytes) {
        const auto path = product.Dir() / name;
        WriteText(path, bytes);
        return QString::fromStdString(path.string());
    }

private slots:
    void cancellingWithNothingChosenLeavesEverythingAsItWas() {
        SampleProduct product;
        Editor editor(product);
        QTest::mouseClick(LoadBtn(editor.form), Qt::LeftButton);

        QCOMPARE(editor.prompts.dialogFilters.size(), std::size_t{1});
        QCOMPARE(editor.prompts.dialogFilters[0], kTextFilters);
        QVERIFY(editor.form.State().ReplacementFileName.empty());
        QCOMPARE(FileLbl(editor.form)->text(), QStringLiteral("New File Name"));
        QCOMPARE(editor.form.PaneText(), BannerText());
        QVERIFY(editor.prompts.messages.empty());
    }

    void confirmingATextFileSetsNameLabelAndShowsItsFirst32000Bytes() {
        SampleProduct product;
        Editor editor(product);
        std::string text(40000, 'x');
        text[31999] = 'y';
        const QString path = WriteFile(product, "new text.txt", text);
        editor.prompts.answers.push_back(path);

        editor.form.LoadBtnClick();
        QCOMPARE(editor.form.State().ReplacementFileName, path.toStdString());
        QCOMPARE(FileLbl(editor.form)->text(), path);
        QCOMPARE(editor.form.PaneText(), text.substr(0, 32000));
    }

    void cancellingAfterAChoiceShowsThatFileAgain() {
        SampleProduct product;
        Editor editor(product);
        const QString first = WriteFile(product, "first.txt", "first choice");
        editor.prompts.answers = {first, QString()};
        editor.form.LoadBtnClick();
        FileLB(editor.form)->setCurrentRow(0);
        QVERIFY(editor.form.PaneText() != "first choice");

        editor.form.LoadBtnClick();
        QCOMPARE(editor.form.State().ReplacementFileName, first.toStdString());
        QCOMPARE(editor.form.PaneText(), std::string("first choice"));
    }

    void anEmptyFileEmptiesThePaneAndAnUnreadableOneIsPassedOver() {
        SampleProduct product;
        Editor editor(product);
        const QString empty = WriteFile(product, "empty.txt", "");
        const QString missing = QString::fromStdString((product.Dir() / "gone.txt").string());
        editor.prompts.answers = {empty, missing};

        editor.form.LoadBtnClick();
        QVERIFY(editor.form.PaneText().empty());
        editor.form.SetPaneText("kept");
        editor.form.LoadBtnClick();
        QCOMPARE(editor.form.PaneText(), std::string("kept"));
        QCOMPARE(editor.form.State().ReplacementFileName, missing.toStdString());
        QCOMPARE(FileLbl(editor.form)->text(), missing);
        QVERIFY(editor.prompts.messages.empty());
    }

    void aShpChoiceSetsNameAndLabelButLeavesThePane() {
        SampleProduct product;
        Editor editor(product);
        editor.form.TypeButton(Shp)->setChecked(true);
        const QString shape = WriteFile(product, "TANK.SHP", "not text");
        editor.prompts.answers.push_back(shape);

        editor.form.LoadBtnClick();
        QCOMPARE(editor.prompts.dialogFilters.back(), kShpFilters);
        QCOMPARE(editor.form.State().ReplacementFileName, shape.toStdString());
        QCOMPARE(FileLbl(editor.form)->text(), shape);
        QCOMPARE(editor.form.PaneText(), BannerText());
    }

    void theOtherTypesKeepTheFilterOfTheLastUse() {
        SampleProduct product;
        Editor editor(product);
        const QStringList unset = OpenDialog1(editor.form)->nameFilters();
        editor.form.TypeButton(Pal)->setChecked(true);
        editor.form.LoadBtnClick();
        QCOMPARE(editor.prompts.dialogFilters.back(), unset);

        editor.form.TypeButton(Shp)->setChecked(true);
        editor.form.LoadBtnClick();
        editor.form.TypeButton(Dat)->setChecked(true);
        editor.form.LoadBtnClick();
        QCOMPARE(editor.prompts.dialogFilters.back(), kShpFilters);
    }

    void theDialogIsQtsOwnWithAFileNameField() {
        SampleProduct product;
        Editor editor(product);
        QFileDialog& dialog = *OpenDialog1(editor.form);
        QVERIFY(dialog.testOption(QFileDialog::DontUseNativeDialog));
        QCOMPARE(dialog.fileMode(), QFileDialog::ExistingFile);
        QCOMPARE(dialog.acceptMode(), QFileDialog::AcceptOpen);
        QVERIFY(dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) != nullptr);
    }

    void choosingAFileWorksAfterAFailedStartUp() {
        Product empty;
        Editor editor(empty);
        const QString path = WriteFile(empty, "notes.txt", "notes");
        editor.prompts.answers.push_back(path);
        editor.form.LoadBtnClick();
        QCOMPARE(FileLbl(editor.form)->text(), path);
        QCOMPARE(editor.form.PaneText(), std::string("notes"));
    }
};

QTEST_MAIN(ReplacementChoiceTest)
#include "replacement_choice_test.moc"
