// The window itself: its controls and captions, the arrangement of the
// layout with nothing clipped, and the keyboard: Tab order, Tab out of the
// text pane, names a screen reader can tell apart.
#include <QScrollBar>
#include <QTest>

#include "ui_fixture.h"

using namespace qax;
using namespace qax::testing;

namespace {

QRect InForm(const QWidget& form, const QWidget& control) {
    return QRect(control.mapTo(&form, QPoint(0, 0)), control.size());
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void theControlsCarryTheirNamesAndCaptions() {
        SampleProduct product;
        Editor editor(product);
        ui::TMainForm& form = editor.form;
        QCOMPARE(form.findChild<QTextEdit*>(QStringLiteral("TextRichEdit")), form.TextRichEdit);
        QCOMPARE(form.findChild<QListWidget*>(QStringLiteral("FileLB")), form.FileLB);
        QCOMPARE(form.findChild<QFileDialog*>(QStringLiteral("OpenDialog1")), form.OpenDialog1);
        QCOMPARE(form.TypesRG->title(), QStringLiteral("File Type"));
        QCOMPARE(form.LoadBtn->text(), QStringLiteral("Load New File"));
        QCOMPARE(form.ReplaceBtn->text(), QStringLiteral("Replace Selection"));
        QCOMPARE(form.ExtractBtn->text(), QStringLiteral("Extract File"));
        const char* const types[] = {"Txt", "Shp", "Til", "Tnm", "Pal", "Dat"};
        for (int type = 0; type < kMemberTypeCount; ++type)
            QCOMPARE(form.TypeButton(type)->text(), QString::fromLatin1(types[type]));

        QVERIFY(form.FileLB->font().bold());
        QVERIFY(QFontInfo(form.FileLB->font()).fixedPitch());
    }

    void theLayoutKeepsItsArrangementWithNothingClipped() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        const ui::TMainForm& form = editor.form;
        const QRect load = InForm(form, *form.LoadBtn), replace = InForm(form, *form.ReplaceBtn),
                    extract = InForm(form, *form.ExtractBtn), label = InForm(form, *form.FileLbl),
                    pane = InForm(form, *form.TextRichEdit), types = InForm(form, *form.TypesRG),
                    list = InForm(form, *form.FileLB);

        QCOMPARE(load.top(), replace.top());
        QVERIFY(load.right() < replace.left());
        QCOMPARE(extract.left(), replace.left());
        QVERIFY(extract.top() > replace.bottom());
        QVERIFY(label.top() > load.bottom() && label.left() <= load.left() + 8);
        QVERIFY(pane.top() > extract.bottom() && pane.top() > label.bottom());
        QVERIFY(types.left() > pane.right() && types.top() <= load.top());
        QVERIFY(list.top() > types.bottom() && list.left() == types.left());

        for (const QWidget* control : std::initializer_list<const QWidget*>{
                 form.LoadBtn, form.ReplaceBtn, form.ExtractBtn, form.FileLbl, form.TypesRG}) {
            QVERIFY2(control->width() >= control->sizeHint().width(), qPrintable(control->objectName()));
            QVERIFY2(control->height() >= control->sizeHint().height(), qPrintable(control->objectName()));
        }
        for (int type = 0; type < kMemberTypeCount; ++type)
            QVERIFY(form.TypeButton(type)->width() >= form.TypeButton(type)->sizeHint().width());
    }

    void aFullWidthLineFitsTheListAndALongPathWrapsInTheLabel() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        editor.form.FileLB->addItem(QStringLiteral("WWWWWWWW 999999 $FFFFFFF"));
        QTRY_COMPARE(editor.form.FileLB->horizontalScrollBar()->maximum(), 0);

        const int width = editor.form.width();
        editor.prompts.answers.push_back(
            QStringLiteral("/a/very/long/directory/name/that/goes/on/and/on/and/"
                           "on/well/past/the/width/of/the/window/replacement.txt"));
        editor.form.LoadBtnClick();
        QTRY_VERIFY(editor.form.FileLbl->height() > QFontMetrics(editor.form.FileLbl->font()).height());
        QCOMPARE(editor.form.width(), width);
    }

    void tabVisitsTheControlsInOrderAndLeavesTheTextPane() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        ui::TMainForm& form = editor.form;
        form.TextRichEdit->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), form.TextRichEdit);
        const std::string before = form.PaneText();

        const QWidget* order[] = {form.FileLB,     form.TypeButton(Txt), form.LoadBtn,
                                  form.ReplaceBtn, form.ExtractBtn,      form.TextRichEdit};
        for (const QWidget* next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        QCOMPARE(form.PaneText(), before);
    }

    void theTextPaneAndTheListHaveDistinctAccessibleNames() {
        SampleProduct product;
        Editor editor(product);
        const QString pane = editor.form.TextRichEdit->accessibleName();
        const QString list = editor.form.FileLB->accessibleName();
        QVERIFY(!pane.isEmpty());
        QVERIFY(!list.isEmpty());
        QVERIFY(pane != list);
    }

    void theWholeEditorWorksFromTheKeyboard() {
        TextProduct product({{"FIRST", "first"}, {"SECOND", "second"}});
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        ui::TMainForm& form = editor.form;
        form.TextRichEdit->setFocus();

        QTest::keyClick(form.TextRichEdit, Qt::Key_Tab);  // to the list
        QTest::keyClick(form.FileLB, Qt::Key_End);
        QCOMPARE(form.PaneText(), std::string("second"));

        QTest::keyClick(form.FileLB, Qt::Key_Tab);  // to the type group
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QCOMPARE(form.SelectedType(), int{Shp});
        QCOMPARE(form.FileLB->count(), 1);

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);  // to Load New File
        QCOMPARE(QApplication::focusWidget(), form.LoadBtn);
        QTest::keyClick(form.LoadBtn, Qt::Key_Space);
        QCOMPARE(editor.prompts.dialogFilters.size(), std::size_t{1});
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
