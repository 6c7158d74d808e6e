#include "window_layout.h"

#include <sstream>

#include "e2e_failure.h"

namespace qax::e2e {

WindowLayout WindowLayout::Probe(const Desktop& desktop, const std::filesystem::path& probe,
                                 const std::filesystem::path& absentProgram, const std::optional<Rect>& inside) {
    std::vector<std::string> argv = {probe.string(), absentProgram.string()};
    if (inside) {
        argv.push_back(std::to_string(inside->width));
        argv.push_back(std::to_string(inside->height));
    }
    const CommandResult result =
        RunCommand(argv, desktop.ClientEnvironment(), std::chrono::seconds(60), "the layout probe");
    if (!result.Succeeded()) throw E2eFailure("the layout probe failed: " + result.Describe());
    WindowLayout layout;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        Rect rect;
        if (fields >> name >> rect.x >> rect.y >> rect.width >> rect.height) layout.rects_[name] = rect;
    }
    return layout;
}

const Rect& WindowLayout::Of(const std::string& control) const {
    const auto found = rects_.find(control);
    if (found == rects_.end()) throw E2eFailure("the layout probe did not report " + control);
    return found->second;
}

}  // namespace qax::e2e
