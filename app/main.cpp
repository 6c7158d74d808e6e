// Qax Edit: creates the application and the main window, whose creation runs
// the start-up check, and runs the event loop until the window is closed.
#include <QApplication>
#include <optional>

#include "error_box.h"
#include "file_access.h"
#include "main_form.h"
#include "text_codec.h"
#include "user_prompts.h"

int main(int argc, char* argv[]) {
    qax::ui::DesktopPrompts prompts;
    // Created inside the guarded steps, so that an error in its creation is
    // caught too; held outside them, so that it is still there to show the
    // error box once an error has ended them.
    std::optional<QApplication> application;

    // An error that escapes the entry's steps is shown like one raised in a
    // handler, and the program then ends with 0.
    return qax::ui::RunEntryReportingErrors(prompts, argv[0], [&] {
        application.emplace(argc, argv);
        const std::string programPath = qax::ui::NativePath(QCoreApplication::applicationFilePath());
        qax::PosixFileSystem fileSystem;
        qax::ui::TMainForm mainForm(programPath, fileSystem, prompts);
        mainForm.show();
        return QApplication::exec();
    });
}
