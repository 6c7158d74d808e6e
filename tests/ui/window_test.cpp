// The window itself: its controls and captions, the arrangement of the
// layout with nothing clipped, and the keyboard: Tab order, Tab out of the
// text pane, names a screen reader can tell apart.
#include <QScreen>
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
        // Every control is found by its name, as exactly one object of its class.
        const std::pair<const char*, const char*> named[] = {
            {"TextRichEdit", "QTextEdit"}, {"FileLB", "QListWidget"},    {"TypesRG", "QGroupBox"},
            {"LoadBtn", "QPushButton"},    {"FileLbl", "QLabel"},        {"OpenDialog1", "QFileDialog"},
            {"ReplaceBtn", "QPushButton"}, {"ExtractBtn", "QPushButton"}};
        for (const auto& [name, className] : named) {
            const QList<QWidget*> found = form.findChildren<QWidget*>(QString::fromLatin1(name));
            QVERIFY2(found.size() == 1, name);
            QVERIFY2(found.front()->inherits(className), name);
        }
        QCOMPARE(TypesRG(form)->title(), QStringLiteral("File Type"));
        QCOMPARE(LoadBtn(form)->text(), QStringLiteral("Load New File"));
        QCOMPARE(ReplaceBtn(form)->text(), QStringLiteral("Replace Selection"));
        QCOMPARE(ExtractBtn(form)->text(), QStringLiteral("Extract File"));
        const char* const types[] = {"Txt", "Shp", "Til", "Tnm", "Pal", "Dat"};
        for (int type = 0; type < kMemberTypeCount; ++type)
            QCOMPARE(form.TypeButton(type)->text(), QString::fromLatin1(types[type]));

        QVERIFY(FileLB(form)->font().bold());
        QVERIFY(QFontInfo(FileLB(form)->font()).fixedPitch());
    }

    void theLayoutKeepsItsArrangementWithNothingClipped() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        const ui::TMainForm& form = editor.form;
        const QRect load = InForm(form, *LoadBtn(form)), replace = InForm(form, *ReplaceBtn(form)),
                    extract = InForm(form, *ExtractBtn(form)), label = InForm(form, *FileLbl(form)),
                    pane = InForm(form, *TextRichEdit(form)), types = InForm(form, *TypesRG(form)),
                    list = InForm(form, *FileLB(form));

        QCOMPARE(load.top(), replace.top());
        QVERIFY(load.right() < replace.left());
        QCOMPARE(extract.left(), replace.left());
        QVERIFY(extract.top() > replace.bottom());
        QVERIFY(label.top() > load.bottom() && label.left() <= load.left() + 8);
        QVERIFY(pane.top() > extract.bottom() && pane.top() > label.bottom());
        QVERIFY(types.left() > pane.right() && types.top() <= load.top());
        QVERIFY(list.top() > types.bottom() && list.left() == types.left());

        for (const QWidget* control : std::initializer_list<const QWidget*>{
                 LoadBtn(form), ReplaceBtn(form), ExtractBtn(form), FileLbl(form), TypesRG(form)}) {
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
        FileLB(editor.form)->addItem(QStringLiteral("WWWWWWWW 999999 $FFFFFFF"));
        QTRY_COMPARE(FileLB(editor.form)->horizontalScrollBar()->maximum(), 0);

        const int width = editor.form.width();
        editor.prompts.answers.push_back(
            QStringLiteral("/a/very/long/directory/name/that/goes/on/and/on/and/"
                           "on/well/past/the/width/of/the/window/replacement.txt"));
        editor.form.LoadBtnClick();
        QTRY_VERIFY(FileLbl(editor.form)->height() > QFontMetrics(FileLbl(editor.form)->font()).height());
        QCOMPARE(editor.form.width(), width);
    }

    // The designed place where the window fits the screen's free area;
    // moved just enough where it does not (1024x600, or a panel at the top
    // or the bottom); its top left corner kept on a screen too small for it.
    void theWindowMovesOnlyWhereItWouldNotFitTheScreen() {
        const QRect designed(217, 235, 640, 480);
        struct Case {
            QRect available;
            QPoint expected;
        };
        const Case cases[] = {
            {{0, 0, 1280, 1024}, {217, 235}},    {{0, 0, 1024, 768}, {217, 235}},  {{0, 0, 1024, 600}, {217, 120}},
            {{0, 0, 1024, 576}, {217, 96}},      {{0, 40, 1024, 560}, {217, 120}}, {{0, 0, 800, 600}, {160, 120}},
            {{1920, 0, 1024, 600}, {1920, 120}}, {{0, 0, 600, 400}, {0, 0}},
        };
        for (const Case& c : cases) QCOMPARE(ui::PlaceWithin(designed, c.available), c.expected);
        // On the test's own screen (800x800 offscreen), the designed frame is
        // moved in from the right edge.
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        const QRect placed(editor.form.frameGeometry().topLeft(), designed.size());
        QVERIFY(editor.form.screen()->availableGeometry().contains(placed));
        QCOMPARE(placed.topLeft(), ui::PlaceWithin(designed, editor.form.screen()->availableGeometry()));
    }

    void tabVisitsTheControlsInOrderAndLeavesTheTextPane() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        ui::TMainForm& form = editor.form;
        TextRichEdit(form)->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), TextRichEdit(form));
        const std::string before = form.PaneText();

        const QWidget* order[] = {FileLB(form),     form.TypeButton(Txt), LoadBtn(form),
                                  ReplaceBtn(form), ExtractBtn(form),     TextRichEdit(form)};
        for (const QWidget* next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
        QCOMPARE(form.PaneText(), before);
    }

    void theTextPaneAndTheListHaveDistinctAccessibleNames() {
        SampleProduct product;
        Editor editor(product);
        const QString pane = TextRichEdit(editor.form)->accessibleName();
        const QString list = FileLB(editor.form)->accessibleName();
        QVERIFY(!pane.isEmpty());
        QVERIFY(!list.isEmpty());
        QVERIFY(pane != list);
    }

    void theWholeEditorWorksFromTheKeyboard() {
        TextProduct product({{"FIRST", "first"}, {"SECOND", "second"}});
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        ui::TMainForm& form = editor.form;
        TextRichEdit(form)->setFocus();

        QTest::keyClick(TextRichEdit(form), Qt::Key_Tab);  // to the list
        QTest::keyClick(FileLB(form), Qt::Key_End);
        QCOMPARE(form.PaneText(), std::string("second"));

        QTest::keyClick(FileLB(form), Qt::Key_Tab);  // to the type group
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QCOMPARE(form.SelectedType(), int{Shp});
        QCOMPARE(FileLB(form)->count(), 1);

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);  // to Load New File
        QCOMPARE(QApplication::focusWidget(), LoadBtn(form));
        QTest::keyClick(LoadBtn(form), Qt::Key_Space);
        QCOMPARE(editor.prompts.dialogFilters.size(), std::size_t{1});
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
