// The File Type group: a type chosen with the mouse or the keyboard re-lists;
// only Txt and Shp have lines.
#include <QTest>
#include <algorithm>
#include <cctype>

#include "ui_fixture.h"

using namespace qax;
using namespace qax::testing;

class ListingTest : public QObject {
    Q_OBJECT
private:
    std::vector<std::string> ExpectedLines(const SampleProduct& product, int group) {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < product.Group(group).size(); ++i) lines.push_back(product.LineOf(group, i));
        return lines;
    }

private slots:
    void clickingShpListsTheShpMembersInsteadOfTheTxtOnes() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        FileLB(editor.form)->setCurrentRow(2);

        QTest::mouseClick(editor.form.TypeButton(Shp), Qt::LeftButton);
        QCOMPARE(editor.form.SelectedType(), int{Shp});
        QVERIFY(editor.Lines() == ExpectedLines(product, Shp));
        QCOMPARE(editor.form.SelectedLineNumber(), -1);

        QTest::mouseClick(editor.form.TypeButton(Txt), Qt::LeftButton);
        QVERIFY(editor.Lines() == ExpectedLines(product, Txt));
        QVERIFY(editor.prompts.messages.empty());
    }

    void typesTwoToFiveListNothing() {
        SampleProduct product;  // has members in every group
        Editor editor(product);
        for (int type = Til; type <= Dat; ++type) {
            QVERIFY(!product.Group(type).empty());
            editor.form.TypeButton(Txt)->setChecked(true);
            QVERIFY(FileLB(editor.form)->count() > 0);
            editor.form.TypeButton(type)->setChecked(true);
            QCOMPARE(FileLB(editor.form)->count(), 0);
        }
    }

    void aTypeChosenWithTheKeyboardCountsAsAClick() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        editor.form.TypeButton(Txt)->setFocus();

        // The items run down the columns: Txt above Shp, Til to the right of Txt.
        QTest::keyClick(editor.form.TypeButton(Txt), Qt::Key_Down);
        QCOMPARE(editor.form.SelectedType(), int{Shp});
        QVERIFY(editor.Lines() == ExpectedLines(product, Shp));

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
        QCOMPARE(editor.form.SelectedType(), int{Tnm});
        QCOMPARE(FileLB(editor.form)->count(), 0);
    }

    // Letters typed into the list find the name that starts with them, short
    // or long, in either case, and choose its line as a click does; the lines
    // shown stay as they are.
    void typingFindsANameWhateverItsLengthAndCase() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        QListWidget* list = FileLB(editor.form);
        list->setFocus();
        const auto& txt = product.Group(Txt);
        for (const bool shortName : {true, false}) {
            const auto found = std::find_if(txt.begin() + 1, txt.end(),
                                            [&](const auto& m) { return (m.name.size() < 8) == shortName; });
            QVERIFY(found != txt.end());
            const auto row = static_cast<int>(found - txt.begin());
            list->setCurrentRow(row - 1);
            // A pause longer than the keyboard interval ends the last search.
            QTest::qWait(QApplication::keyboardInputInterval() + 50);
            QTest::keyClicks(list, QString::fromStdString(found->name).toLower());
            QCOMPARE(list->currentRow(), row);
            QCOMPARE(editor.form.PaneText(), product.TextAsShown(static_cast<std::size_t>(row)));
        }
        // One letter typed again steps to the next name that starts with it.
        int first = -1;
        int next = -1;
        const auto initial = [&](int row) {
            return std::toupper(static_cast<unsigned char>(txt[static_cast<std::size_t>(row)].name[0]));
        };
        for (int i = 0; i < static_cast<int>(txt.size()) && next < 0; ++i)
            for (int j = i + 1; j < static_cast<int>(txt.size()) && next < 0; ++j)
                if (initial(j) == initial(i)) {
                    first = i;
                    next = j;
                }
        QVERIFY(next > 0);
        list->setCurrentRow(first - 1);
        QTest::qWait(QApplication::keyboardInputInterval() + 50);
        const char letter = static_cast<char>(std::tolower(initial(first)));
        QTest::keyClick(list, letter);
        QCOMPARE(list->currentRow(), first);
        QTest::keyClick(list, letter);
        QCOMPARE(list->currentRow(), next);
        QCOMPARE(editor.form.PaneText(), product.TextAsShown(static_cast<std::size_t>(next)));
        QVERIFY(editor.Lines() == ExpectedLines(product, Txt));
    }

    void anEmptyGroupListsNothingAndAnUnreadableIndexKeepsTheList() {
        sample::SampleOptions options;
        options.shpCount = 0;
        SampleProduct product(options);
        Editor editor(product);
        editor.form.TypeButton(Shp)->setChecked(true);
        QCOMPARE(FileLB(editor.form)->count(), 0);

        // The index disappears after start-up: the listing passes over it.
        editor.form.TypeButton(Txt)->setChecked(true);
        std::filesystem::remove(product.DataFile("qaxdata.idx"));
        editor.form.TypesRGClick();
        QCOMPARE(FileLB(editor.form)->count(), 0);
        QVERIFY(editor.prompts.messages.empty());
    }
};

QTEST_MAIN(ListingTest)
#include "listing_test.moc"
