// Viewing a text member: a line chosen with the mouse or the keyboard shows
// its member, whole up to 32,000 bytes, byte for byte.
#include "text_view.h"

#include <QDir>
#include <QTest>
#include <functional>
#include <memory>

#include "data_set_lock.h"
#include "ui_fixture.h"

using namespace qax;
using namespace qax::testing;

namespace {

std::string AllHighBytes() {
    std::string bytes;
    for (int b = 0x80; b <= 0xFF; ++b) bytes += static_cast<char>(b);
    return bytes;
}

}  // namespace

class TextViewTest : public QObject {
    Q_OBJECT
private slots:
    void clickingATxtLineShowsThatMember() {
        TextProduct product({{"FIRST", "First member.\r\nSecond line."}, {"SECOND", "Second member."}});
        Editor editor(product);
        QVERIFY(editor.ShowActive());

        editor.ClickLine(1);
        QCOMPARE(editor.form.SelectedLineNumber(), 1);
        QCOMPARE(editor.form.PaneText(), std::string("Second member."));
        editor.ClickLine(0);
        QCOMPARE(TextRichEdit(editor.form)->toPlainText(), QStringLiteral("First member.\nSecond line."));
        QVERIFY(editor.prompts.messages.empty());
    }

    void clickingTheSelectedLineAgainShowsItAgain() {
        TextProduct product({{"ONLY", "The member."}});
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        editor.ClickLine(0);
        editor.form.SetPaneText("edited by the user");

        editor.ClickLine(0);
        QCOMPARE(editor.form.PaneText(), std::string("The member."));
    }

    void movingToALineWithTheKeyboardShowsThatMember() {
        TextProduct product({{"A", "alpha"}, {"B", "beta"}, {"C", "gamma"}});
        Editor editor(product);
        QVERIFY(editor.ShowActive());
        QListWidget* list = FileLB(editor.form);
        list->setFocus();

        QTest::keyClick(list, Qt::Key_End);
        QCOMPARE(editor.form.PaneText(), std::string("gamma"));
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(editor.form.PaneText(), std::string("beta"));
        QTest::keyClick(list, Qt::Key_Home);
        QCOMPARE(editor.form.PaneText(), std::string("alpha"));
        QCOMPARE(editor.form.SelectedLineNumber(), 0);
    }

    void aLongMemberShowsItsFirst32000BytesAndAnEmptyOneNothing() {
        std::string big(40000, 'a');
        big[31999] = 'z';
        TextProduct product({{"BIG", big}, {"EMPTY", ""}});
        Editor editor(product);

        FileLB(editor.form)->setCurrentRow(0);
        const std::string shown = editor.form.PaneText();
        QCOMPARE(shown.size(), std::size_t{kTextViewLimit});
        QCOMPARE(shown.back(), 'z');
        QCOMPARE(TextRichEdit(editor.form)->toPlainText().size(), qsizetype{kTextViewLimit});

        FileLB(editor.form)->setCurrentRow(1);
        QVERIFY(editor.form.PaneText().empty());
        QVERIFY(TextRichEdit(editor.form)->toPlainText().isEmpty());
    }

    // Member bytes are Latin-1; paths, which the file system gives as UTF-8,
    // show as it names them, in the label and in the start-up texts.
    void memberBytesStayLatin1WhilePathsShowAsTheFileSystemNamesThem() {
        const std::string high = AllHighBytes();
        TextProduct product(
            "Corvane-Donn\xC3\xA9"
            "es",
            {{"HIGH", high + std::string("\0hidden", 7)}});
        {
            Editor editor(product);
            QCOMPARE(TextRichEdit(editor.form)->toPlainText(), QString::fromStdString(BannerText()));
            FileLB(editor.form)->setCurrentRow(0);

            const QString shown = TextRichEdit(editor.form)->document()->toRawText();
            QCOMPARE(shown.size(), qsizetype{128});
            QVERIFY(!shown.contains(QChar::ReplacementCharacter));
            QCOMPARE(shown.at(0x20), QChar(0xA0));  // a no-break space stays one
            QCOMPARE(shown.back(), QChar(0xFF));
            QCOMPARE(editor.form.PaneText(), high);

            const std::string file = Utf8Of(product.Dir() / PathFromUtf8("r\xC3\xA9ponse.txt"));
            WriteText(PathFromUtf8(file), high);
            editor.prompts.answers.push_back(QString::fromStdString(file));
            editor.form.LoadBtnClick();
            QCOMPARE(FileLbl(editor.form)->text(), QString::fromStdString(file));
            QCOMPARE(editor.form.State().ReplacementFileName, file);
            QCOMPARE(editor.form.PaneText(), high);
        }
        std::filesystem::remove(product.DataFile("pal.qax"));
        Editor failed(product);
        const QString error = QString::fromStdString(BannerText() + "\nCan't find:\n" +
                                                     Utf8Of(product.DataFile("pal.qax")) + "\n\nYou must EXIT !!!");
        QVERIFY(error.contains(QStringLiteral("Corvane-Donn\u00E9es%1data%1pal.qax").arg(QDir::separator())));
        QCOMPARE(TextRichEdit(failed.form)->toPlainText(), error);
#ifndef _WIN32
        // Windows names files in UTF-16 text: no name there is bytes that
        // are not text, as a Latin-1 name is on Linux.

        // Member bytes that happen to form UTF-8 are still shown a character
        // a byte; a path whose name is Latin-1 (not UTF-8) shows its bytes
        // as Latin-1 in the editor's own texts, never as U+FFFD.
        TextProduct latin1(
            "Corvane-Donn\xE9"
            "es",
            {{"CAFE", "caf\xC3\xA9"}});
        {
            Editor editor(latin1);
            FileLB(editor.form)->setCurrentRow(0);
            QCOMPARE(TextRichEdit(editor.form)->document()->toRawText(), QString::fromLatin1("caf\xC3\xA9"));
        }
        std::filesystem::remove(latin1.DataFile("pal.qax"));
        Editor missing(latin1);
        const QString shown = TextRichEdit(missing.form)->toPlainText();
        QVERIFY(shown.contains(QStringLiteral("Corvane-Donn\u00E9es/data/pal.qax")));
        QVERIFY(!shown.contains(QChar::ReplacementCharacter));
#endif
    }

    // Moving to a line whose member cannot be shown, refused or failed,
    // leaves the pane empty rather than with the member of the line before;
    // once the refusal is gone, the line shows its member. (An error raised
    // in the handler, as a line that does not read back raises, ends it
    // where it is raised, the pane untouched: see handler_errors_test.)
    void aRefusedLineNeverLeavesAnotherMemberInThePane() {
        struct Refusal {
            const char* name;
            QString caption;  // of the one message the refusal gives
            // Sets the refusal up on the editor's product; returns what ends it.
            std::function<std::function<void()>(Editor&, const TextProduct&)> begin;
        };
        const Refusal refusals[] = {
            {"another editor changing the data set", kDataSetBusyCaption,
             [](Editor&, const TextProduct& product) -> std::function<void()> {
                 auto other = std::make_shared<Editor>(product);
                 const ArchiveContext context{other->fs, other->form.State().paths, other->form.State().table,
                                              other->form};
                 auto lock = std::shared_ptr<DirectoryLock>(LockDataSet(context, DataSetUse::Change, "held"));
                 if (!lock) qFatal("the second editor could not lock the data set");
                 return [other, lock]() mutable { lock.reset(); };
             }},
            {"an archive that cannot be opened", "File Error",
             [](Editor&, const TextProduct& product) -> std::function<void()> {
                 std::filesystem::rename(product.DataFile("txt.qax"), product.DataFile("txt.away"));
                 return
                     [&product] { std::filesystem::rename(product.DataFile("txt.away"), product.DataFile("txt.qax")); };
             }},
        };
        for (const Refusal& refusal : refusals) {
            TextProduct product({{"FIRST", "first member"}, {"SECOND", "second member"}});
            Editor editor(product);
            QVERIFY(editor.ShowActive());
            editor.ClickLine(0);
            QCOMPARE(editor.form.PaneText(), std::string("first member"));

            const std::function<void()> end = refusal.begin(editor, product);
            QTest::keyClick(FileLB(editor.form), Qt::Key_Down);
            QCOMPARE(editor.form.SelectedLineNumber(), 1);
            QVERIFY2(editor.form.PaneText().empty(), refusal.name);
            QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
            QCOMPARE(editor.prompts.messages[0].caption, refusal.caption);

            end();
            editor.ClickLine(1);
            QCOMPARE(editor.form.PaneText(), std::string("second member"));
            QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        }
    }

    void aClickWhileShpIsSelectedChangesNothing() {
        SampleProduct product;
        Editor editor(product);
        editor.form.TypeButton(Shp)->setChecked(true);
        FileLB(editor.form)->setCurrentRow(0);
        QCOMPARE(editor.form.PaneText(), BannerText());
        QVERIFY(editor.prompts.messages.empty());
    }

    void aMemberRunningPastTheArchiveIsNeverShown() {
        TextProduct product({{"FINE", "fine"}, {"CUT", "0123456789"}});
        // The archive is shorter than the index says.
        WriteText(product.DataFile("txt.qax"), "fine01234");
        Editor editor(product);
        FileLB(editor.form)->setCurrentRow(1);

        QVERIFY(editor.form.PaneText().empty());
        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        QCOMPARE(editor.prompts.messages[0].caption, QStringLiteral("File Error"));
        QCOMPARE(editor.prompts.messages[0].icon, QMessageBox::NoIcon);
        QVERIFY(editor.prompts.messages[0].text.contains(QString::fromStdString(Utf8Of(product.DataFile("txt.qax")))));
    }

    void anArchiveThatCannotBeOpenedIsReportedAsAFileError() {
        TextProduct product({{"GONE", "text"}});
        Editor editor(product);
        std::filesystem::remove(product.DataFile("txt.qax"));
        FileLB(editor.form)->setCurrentRow(0);

        QCOMPARE(editor.prompts.messages.size(), std::size_t{1});
        QCOMPARE(
            editor.prompts.messages[0].text,
            QStringLiteral("Could not open %1\n").arg(QString::fromStdString(Utf8Of(product.DataFile("txt.qax")))));
        QVERIFY(editor.form.PaneText().empty());
    }
};

QTEST_MAIN(TextViewTest)
#include "text_view_test.moc"
