// Qax Edit: creates the application and the main window, whose creation runs
// the start-up check, and runs the event loop until the window is closed.
#include <QApplication>
#include <optional>
#include <stdexcept>

#include "data_set.h"
#include "error_box.h"
#include "file_access.h"
#include "main_form.h"
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
        // Taken from the system as bytes: a directory name in another
        // encoding than the locale's must not be lost in decoding, or the
        // data set would be looked for somewhere else entirely.
        const std::optional<std::string> programPath = qax::RunningProgramPath();
        if (!programPath)
            throw std::runtime_error(
                "The editor cannot tell where its own program file lies, so it cannot find the data set beside it; "
                "it stops");
        qax::PosixFileSystem fileSystem;
        qax::ui::TMainForm mainForm(*programPath, fileSystem, prompts);
        mainForm.show();
        return QApplication::exec();
    });
}
