// The box that reports an error raised inside a handler, or one that escaped
// the program's entry: the error's message and a full stop, captioned with
// the application's title, with a stop icon and an OK button.
#pragma once

#include <QWidget>
#include <functional>
#include <string>

#include "user_prompts.h"

namespace qax::ui {

void ShowErrorBox(UserPrompts& prompts, QWidget* parent, const std::string& message, const std::string& programPath);

// Runs `body`; an error it raises is shown in the error box and ends it.
// True when the body ran to its end.
bool RunReportingErrors(UserPrompts& prompts, QWidget* parent, const std::string& programPath,
                        const std::function<void()>& body);

}  // namespace qax::ui
