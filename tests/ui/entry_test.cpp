// The program's entry guard: an error that escapes the entry's steps, the
// application's creation included, is shown in the error box, and the
// program ends with 0. The test program creates no application of its own:
// each case creates one inside the guarded steps, as the entry does.
#include <QTest>
#include <optional>
#include <stdexcept>

#include "error_box.h"
#include "ui_fixture.h"

using namespace qax;
using namespace qax::testing;

class EntryTest : public QObject {
    Q_OBJECT
private slots:
    void anEscapingErrorIsShownInTheErrorBoxAndTheExitCodeIsZero() {
        struct Case {
            bool createsApplication;
            std::function<void()> fail;  // empty: the steps end normally with 3
            int exitCode;
            QString text;     // empty: no box
            QString caption;  // before the application exists: from the name the program was started by
        };
        const Case cases[] = {
            {false, [] { throw std::runtime_error("No display"); }, 0, "No display.", "Qaxedit"},
            {true, [] { throw 42; }, 0, "Unexpected error.", "ui_entry_test"},
            {true, [] { throw std::runtime_error("Out of memory"); }, 0, "Out of memory.", "ui_entry_test"},
            {true, {}, 3, {}, {}},
        };
        int argc = 1;
        char name[] = "ui_entry_test";
        char* argv[] = {name, nullptr};
        for (const Case& c : cases) {
            ScriptedPrompts prompts;
            std::optional<QApplication> application;
            const int exitCode = ui::RunEntryReportingErrors(prompts, "/opt/corvane/QaxEdit/QAXEDIT.EXE", [&] {
                if (c.createsApplication) application.emplace(argc, argv);
                if (c.fail) c.fail();
                return 3;
            });
            QCOMPARE(exitCode, c.exitCode);
            if (c.text.isEmpty()) {
                QVERIFY(prompts.messages.empty());
                continue;
            }
            QCOMPARE(prompts.messages.size(), std::size_t{1});
            QCOMPARE(prompts.messages[0].text, c.text);
            QCOMPARE(prompts.messages[0].caption, c.caption);
            QCOMPARE(prompts.messages[0].icon, QMessageBox::Critical);
        }
    }
};

QTEST_APPLESS_MAIN(EntryTest)
#include "entry_test.moc"
