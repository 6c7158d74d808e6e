// Errors raised inside a handler end it and are shown in the error box; the
// event loop goes on.
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "catalogue.h"
#include "error_box.h"
#include "ui_fixture.h"

using namespace qax;
using namespace qax::testing;

class HandlerErrorsTest : public QObject {
    Q_OBJECT
private slots:
    void aLineThatIsNotANumberShowsTheConversionErrorAndTheLoopGoesOn() {
        SampleProduct product;
        Editor editor(product);
        const int broken = FileLB(editor.form)->count();
        FileLB(editor.form)->addItem(QStringLiteral("  BROKEN    abc $0000010"));

        // The click arrives through the event loop, as a user's would.
        bool laterEventRan = false;
        QTimer::singleShot(0, FileLB(editor.form), [&] { FileLB(editor.form)->setCurrentRow(broken); });
        QTimer::singleShot(0, &editor.form, [&] { laterEventRan = true; });
        QTRY_VERIFY(laterEventRan);

        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        const auto& box = editor.prompts.messages[0];
        QCOMPARE(box.text, QStringLiteral("''   abc'' is not a valid integer value."));
        QCOMPARE(box.caption, QStringLiteral("qaxedit"));  // the title of <product>/edit/qaxedit
        QCOMPARE(box.icon, QMessageBox::Critical);
        // The handler ended before touching the pane.
        QCOMPARE(editor.form.PaneText(), BannerText());

        // And the next click works.
        FileLB(editor.form)->setCurrentRow(0);
        QCOMPARE(editor.form.PaneText(), product.TextAsShown(0));
        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
    }

    void oneMouseClickOnABadLineShowsOneBox() {
        SampleProduct product;
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        FileLB(editor.form)->addItem(QStringLiteral("     BAD      7 $zzzzzzz"));
        editor.ClickLine(FileLB(editor.form)->count() - 1);
        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        QCOMPARE(editor.prompts.messages[0].text, QStringLiteral("''$zzzzzzz'' is not a valid integer value."));
    }

    void aTxtClickWithNoLineSelectedIsAListIndexError() {
        SampleProduct product;
        Editor editor(product);
        editor.form.FileLBClick();
        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        QCOMPARE(editor.prompts.messages[0].text, QStringLiteral("List index out of bounds."));
        QCOMPARE(editor.prompts.messages[0].icon, QMessageBox::Critical);
        QCOMPARE(editor.form.PaneText(), BannerText());
    }

    void theCaptionIsTheApplicationsTitle() {
        ScriptedPrompts prompts;
        ui::ShowErrorBox(prompts, nullptr, "Broken", "/opt/corvane/EDIT/QAXEDIT.EXE");
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QCOMPARE(prompts.messages[0].text, QStringLiteral("Broken."));
        QCOMPARE(prompts.messages[0].caption, QStringLiteral("Qaxedit"));
    }

    void anyErrorEndsTheBodyAndIsShownOnce() {
        ScriptedPrompts prompts;
        bool after = false;
        QVERIFY(!ui::RunReportingErrors(prompts, nullptr, "/x/qaxedit", [&] {
            throw std::runtime_error("Out of paper");
            after = true;
        }));
        QVERIFY(!after);
        QVERIFY(!ui::RunReportingErrors(prompts, nullptr, "/x/qaxedit", [] { throw 42; }));
        QVERIFY(ui::RunReportingErrors(prompts, nullptr, "/x/qaxedit", [&] { after = true; }));
        QVERIFY(after);

        QCOMPARE(prompts.messages.size(), std::size_t{2});
        QCOMPARE(prompts.messages[0].text, QStringLiteral("Out of paper."));
        QCOMPARE(prompts.messages[1].text, QStringLiteral("Unexpected error."));
        QCOMPARE(prompts.messages[1].caption, QStringLiteral("qaxedit"));
    }

    void theDesktopBoxHasTheCaptionTheIconAndOneOkButton() {
        const auto box = ui::MakeMessageBox(nullptr, QStringLiteral("Could not open <a>\n"),
                                            QStringLiteral("File Error"), QMessageBox::NoIcon);
        QCOMPARE(box->windowTitle(), QStringLiteral("File Error"));
        QCOMPARE(box->text(), QStringLiteral("Could not open <a>\n"));
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(ui::MakeMessageBox(nullptr, {}, {}, QMessageBox::Critical)->icon(), QMessageBox::Critical);
    }

    void theBusyCursorIsSetAndRestoredForTheWholeApplication() {
        SampleProduct product;
        {
            Editor editor(product);
            editor.form.SetBusyCursor(true);
            QVERIFY(QApplication::overrideCursor() != nullptr);
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
            editor.form.SetBusyCursor(false);
            QCOMPARE(QApplication::overrideCursor(), nullptr);
            // One restore too many must not take away someone else's cursor.
            QApplication::setOverrideCursor(Qt::CrossCursor);
            editor.form.SetBusyCursor(false);
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::CrossCursor);
            QApplication::restoreOverrideCursor();
            // A window that goes away busy leaves no hourglass behind.
            editor.form.SetBusyCursor(true);
        }
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
};

QTEST_MAIN(HandlerErrorsTest)
#include "handler_errors_test.moc"
