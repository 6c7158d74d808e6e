// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_access.h"

namespace qax::testing {

class TempDir {
public:
    TempDir() {
        // Created exclusively under a random name, on every system alike.
        for (int attempt = 0; path_.empty(); ++attempt) {
            const auto candidate = std::filesystem::temp_directory_path() / ("qaxedit-test-" + RandomHex(6));
            if (std::filesystem::create_directory(candidate)) path_ = candidate;
            if (attempt == 100) throw std::runtime_error("no fresh test directory in " + candidate.string());
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::vector<unsigned char> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    // In blocks to the end: a byte-at-a-time stream iterator costs seconds on
    // archives of tens of megabytes under the sanitizers.
    std::vector<unsigned char> bytes;
    char block[1 << 16];
    while (in.read(block, sizeof block) || in.gcount() > 0) bytes.insert(bytes.end(), block, block + in.gcount());
    return bytes;
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline void WriteText(const std::filesystem::path& path, const std::string& text) {
    WriteBytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

}  // namespace qax::testing
