#include "error_box.h"

#include <exception>

#include "data_set.h"
#include "text_codec.h"

namespace qax::ui {

void ShowErrorBox(UserPrompts& prompts, QWidget* parent, const std::string& message, const std::string& programPath) {
    prompts.ShowMessageBox(parent, ForDisplay(message + "."), ForDisplay(ApplicationTitle(programPath)),
                           QMessageBox::Critical);
}

bool RunReportingErrors(UserPrompts& prompts, QWidget* parent, const std::string& programPath,
                        const std::function<void()>& body) {
    // Nothing may leave a handler by an exception: Qt's event loop cannot
    // carry one, and the loop has to go on after the error is shown.
    try {
        body();
        return true;
    } catch (const std::exception& error) {
        ShowErrorBox(prompts, parent, error.what(), programPath);
    } catch (...) {
        ShowErrorBox(prompts, parent, "Unexpected error", programPath);
    }
    return false;
}

}  // namespace qax::ui
