#include "error_box.h"

#include <QCoreApplication>
#include <exception>

#include "data_set.h"
#include "text_codec.h"

namespace qax::ui {

void ShowErrorBox(UserPrompts& prompts, QWidget* parent, const std::string& message, const std::string& programPath) {
    prompts.ShowMessageBox(parent, ForDisplay(message + "."), ForDisplay(ApplicationTitle(programPath)),
                           QMessageBox::Critical);
}

namespace {

std::string MessageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& known) {
        return known.what();
    } catch (...) {
        return "Unexpected error";
    }
}

}  // namespace

bool RunReportingErrors(UserPrompts& prompts, QWidget* parent, const std::string& programPath,
                        const std::function<void()>& body) {
    // Nothing may leave a handler by an exception: Qt's event loop cannot
    // carry one, and the loop has to go on after the error is shown.
    try {
        body();
        return true;
    } catch (...) {
        ShowErrorBox(prompts, parent, MessageOf(std::current_exception()), programPath);
    }
    return false;
}

int RunEntryReportingErrors(UserPrompts& prompts, const char* startedAs, const std::function<int()>& entry) {
    try {
        return entry();
    } catch (...) {
        // The entry may have created the application before the error: it
        // knows the program's resolved path.
        const std::string programPath = QCoreApplication::instance() != nullptr
                                            ? NativePath(QCoreApplication::applicationFilePath())
                                            : std::string(startedAs != nullptr ? startedAs : "");
        ShowErrorBox(prompts, nullptr, MessageOf(std::current_exception()), programPath);
    }
    return 0;
}

}  // namespace qax::ui
