// A private X server for one test: Xvfb on a display number it picks itself
// (so tests never collide), ended with the test.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "child_process.h"

namespace qax::e2e {

class VirtualDisplay {
public:
    // `log` receives the server's output.
    explicit VirtualDisplay(const std::filesystem::path& log);

    const std::string& Name() const { return name_; }  // ":N"

    // Saves a picture of the whole screen.
    void Screenshot(const std::filesystem::path& png) const;

private:
    std::string name_;
    std::unique_ptr<ChildProcess> server_;
};

}  // namespace qax::e2e
