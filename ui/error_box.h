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

// The program's entry guard: runs `entry`, the whole of the entry's steps
// from the application's creation on, and returns its exit code. An error
// that escapes them is shown in the error box, captioned from the running
// program's path (from `startedAs`, the name it was started by, while no
// application knows that path), and the exit code is then 0.
int RunEntryReportingErrors(UserPrompts& prompts, const char* startedAs, const std::function<int()>& entry);

}  // namespace qax::ui
