// Small timing and memory helpers shared by the benchmark programs, and the
// window's services reduced to counting, for timing the core alone.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "report_sink.h"

namespace qax::bench {

template <typename Work>
double SecondsFor(Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A memory figure of this process from /proc/self/status, in KiB; -1 when
// the system does not give it.
inline long StatusFieldKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == field) {
            status >> value;
            return value;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

// Peak resident set size of this process so far.
inline long PeakResidentKiB() {
    return StatusFieldKiB("VmHWM:");
}

// Current resident set size.
inline long ResidentKiB() {
    return StatusFieldKiB("VmRSS:");
}

// The high-water mark of the resident set starts again from here (Linux
// 4.0 and later), so what was allocated before is not counted.
inline bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear);
}

// Where the benchmark makes its files, and how many rounds it runs:
//   [--dir DIR] [ROUNDS]
struct RunOptions {
    std::filesystem::path dir = std::filesystem::temp_directory_path();
    int rounds = 3;
};

inline RunOptions ParseRunOptions(int argc, char** argv, const char* usage) {
    RunOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc) {
            options.dir = argv[++i];
        } else if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
            options.rounds = std::max(1, std::atoi(arg.c_str()));
        } else {
            throw std::invalid_argument(usage);
        }
    }
    return options;
}

// The window's services, doing nothing but counting the event passes and
// the messages (which would mean an operation went wrong).
class QuietSink : public ReportSink {
public:
    void SetPaneText(const std::string& text) override { pane_ = text; }
    void AppendPaneText(const std::string& text) override { pane_ += text; }
    void ClearPane() override { pane_.clear(); }
    std::string PaneText() const override { return pane_; }
    void RepaintPane() override {}
    void ShowMessage(const std::string& text, const std::string&) override {
        std::fprintf(stderr, "message: %s\n", text.c_str());
        ++messages;
    }
    void SetBusyCursor(bool) override {}
    void ProcessEvents() override { ++eventPasses; }

    int messages = 0;
    int eventPasses = 0;

private:
    std::string pane_;
};

}  // namespace qax::bench
