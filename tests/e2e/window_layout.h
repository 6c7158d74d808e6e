// Where the editor's controls lie inside its window, as the layout probe
// reports them for the display the editor runs on.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "desktop.h"

namespace qax::e2e {

class WindowLayout {
public:
    // Runs the probe on the desktop's display. `absentProgram` is a program
    // path with no data set around it. `inside`: the size of the window's
    // inside when it is not the one the window starts with.
    static WindowLayout Probe(const Desktop& desktop, const std::filesystem::path& probe,
                              const std::filesystem::path& absentProgram, const std::optional<Rect>& inside = {});

    // The rectangle of a control ("LoadBtn", "Type1", "FileLBLine0", ...).
    const Rect& Of(const std::string& control) const;

private:
    std::map<std::string, Rect> rects_;
};

}  // namespace qax::e2e
