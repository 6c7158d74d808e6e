// Qax Edit: creates the application and the main window, whose creation runs
// the start-up check, and runs the event loop until the window is closed.
#include <QApplication>

#include "error_box.h"
#include "file_access.h"
#include "main_form.h"
#include "text_codec.h"
#include "user_prompts.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    qax::ui::DesktopPrompts prompts;
    const std::string programPath = qax::ui::NativePath(QCoreApplication::applicationFilePath());

    // An error that escapes the window is shown like one raised in a
    // handler, and the program then ends normally.
    int exitCode = 0;
    qax::ui::RunReportingErrors(prompts, nullptr, programPath, [&] {
        qax::StdioFileSystem fileSystem;
        qax::ui::TMainForm mainForm(programPath, fileSystem, prompts);
        mainForm.show();
        exitCode = QApplication::exec();
    });
    return exitCode;
}
