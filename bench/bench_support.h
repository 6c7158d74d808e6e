// Small timing and memory helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

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

}  // namespace qax::bench
