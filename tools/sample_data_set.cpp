#include "sample_data_set.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>

namespace qax::sample {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The path in the system's own characters (wide on Windows).
std::FILE* OpenForWriting(const std::filesystem::path& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"wb");
#else
    return std::fopen(path.c_str(), "wb");
#endif
}

class OutputFile {
public:
    explicit OutputFile(const std::filesystem::path& path) : path_(path), file_(OpenForWriting(path)) {
        if (!file_) throw std::runtime_error("cannot create " + path.string());
    }
    void Write(const void* bytes, std::size_t count) {
        if (count != 0 && std::fwrite(bytes, 1, count, file_.get()) != count)
            throw std::runtime_error("cannot write " + path_.string());
    }
    void WriteU32(std::uint32_t value) {
        const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                        static_cast<unsigned char>(value >> 16),
                                        static_cast<unsigned char>(value >> 24)};
        Write(bytes, 4);
    }
    void Close() {
        if (std::fclose(file_.release()) != 0) throw std::runtime_error("cannot close " + path_.string());
    }

private:
    std::filesystem::path path_;
    FilePtr file_;
};

constexpr std::array kWords = {
    "the",   "tank",    "moves",   "across", "river",  "valley", "north",   "squad",   "holds",    "bridge",
    "until", "dawn",    "enemy",   "scouts", "report", "armour", "near",    "ridge",   "supply",   "convoy",
    "waits", "behind",  "forest",  "line",   "orders", "arrive", "quickly", "and",     "command",  "expects",
    "a",     "victory", "before",  "winter", "falls",  "on",     "plain",   "of",      "stone",    "with",
    "radio", "silence", "between", "units",  "every",  "hour",   "counts",  "mission", "briefing", "sector"};

class Generator {
public:
    explicit Generator(std::uint64_t seed) : random_(seed) {}

    std::uint32_t Size(std::uint32_t mean, bool exact) {
        if (exact || mean < 2) return mean;
        std::uniform_int_distribution<std::uint32_t> pick(mean / 2, mean + mean / 2);
        return pick(random_);
    }

    // Unique names of 1 to 8 upper-case letters and digits; every fourth is
    // exactly 8 characters long, so the full-width case is always covered.
    std::string UniqueName(std::uint32_t serial) {
        static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::uniform_int_distribution<int> letter(0, 25);
        std::uniform_int_distribution<int> any(0, 35);
        std::uniform_int_distribution<int> length(1, 8);
        for (;;) {
            const int wanted = serial % 4 == 0 ? 8 : length(random_);
            std::string name(1, kAlphabet[letter(random_)]);
            while (static_cast<int>(name.size()) < wanted) name += kAlphabet[any(random_)];
            if (used_.insert(name).second) return name;
        }
    }

    std::string Text(std::uint32_t size) {
        std::string text;
        text.reserve(size);
        std::uniform_int_distribution<std::size_t> word(0, kWords.size() - 1);
        std::uniform_int_distribution<int> sentence(6, 14);
        while (text.size() < size) {
            const int words = sentence(random_);
            for (int i = 0; i < words; ++i) {
                std::string w = kWords[word(random_)];
                if (i == 0) w[0] = static_cast<char>(w[0] - 'a' + 'A');
                text += w;
                text += i + 1 == words ? ".\r\n" : " ";
            }
        }
        text.resize(size);
        return text;
    }

    void Binary(std::vector<unsigned char>& bytes) {
        std::uniform_int_distribution<unsigned> byte(0, 255);
        for (auto& b : bytes) b = static_cast<unsigned char>(byte(random_));
    }

private:
    std::mt19937_64 random_;
    std::set<std::string> used_;
};

std::vector<SampleMember> LayOut(Generator& gen, std::uint32_t count, std::uint32_t mean, bool exact,
                                 std::uint32_t& serial) {
    std::vector<SampleMember> members(count);
    std::uint64_t offset = 0;
    for (auto& m : members) {
        m.name = gen.UniqueName(serial++);
        m.size = gen.Size(mean, exact);
        if (offset > UINT32_MAX) throw std::runtime_error("archive larger than 4 GiB");
        m.offset = static_cast<std::uint32_t>(offset);
        offset += m.size;
    }
    return members;
}

void WriteIndex(const std::filesystem::path& path, const SampleDataSet& set) {
    OutputFile index(path);
    std::uint32_t total = 0;
    for (const auto& group : set.groups) total += static_cast<std::uint32_t>(group.size());
    index.WriteU32(total);  // the header: carried through unchanged by the editor
    for (const auto& group : set.groups) {
        for (const auto& m : group) {
            char name[8] = {};
            m.name.copy(name, sizeof name);
            index.Write(name, sizeof name);
            index.WriteU32(m.size);
            index.WriteU32(m.offset);
        }
    }
    index.Close();
}

void WriteSections(const std::filesystem::path& path, const SampleDataSet& set) {
    static const char* const kTags[6] = {"TXT", "SHP", "TIL", "TNM", "PAL", "DAT"};
    OutputFile section(path);
    std::uint32_t entriesSoFar = 0;
    for (int t = 0; t < 6; ++t) {
        char record[12] = {};
        std::snprintf(record, sizeof record, "%s-GROUP", kTags[t]);
        section.Write(record, sizeof record);
        entriesSoFar += static_cast<std::uint32_t>(set.groups[t].size());
        section.WriteU32(entriesSoFar);
    }
    section.Close();
}

}  // namespace

SampleDataSet WriteSampleDataSet(const std::filesystem::path& productDir, const SampleOptions& options) {
    Generator gen(options.seed);
    SampleDataSet set;
    set.dataDir = productDir / "data";
    std::filesystem::create_directories(set.dataDir);

    std::uint32_t serial = 0;
    set.groups[0] = LayOut(gen, options.txtCount, options.txtMeanSize, options.exactSizes, serial);
    set.groups[1] = LayOut(gen, options.shpCount, options.shpMeanSize, options.exactSizes, serial);
    for (int t = 2; t < 6; ++t) set.groups[t] = LayOut(gen, options.otherCount, 256, options.exactSizes, serial);

    {
        OutputFile txt(set.dataDir / "txt.qax");
        for (const auto& m : set.groups[0]) {
            const std::string text = gen.Text(m.size);
            txt.Write(text.data(), text.size());
        }
        txt.Close();
    }
    {
        OutputFile shp(set.dataDir / "shp.qax");
        std::vector<unsigned char> block;
        for (const auto& m : set.groups[1]) {
            // Large members are written in pieces so memory stays small.
            std::uint32_t left = m.size;
            while (left > 0) {
                block.resize(std::min<std::uint32_t>(left, 1u << 20));
                gen.Binary(block);
                shp.Write(block.data(), block.size());
                left -= static_cast<std::uint32_t>(block.size());
            }
        }
        shp.Close();
    }
    {
        OutputFile pal(set.dataDir / "pal.qax");
        std::vector<unsigned char> palette(768);
        gen.Binary(palette);
        pal.Write(palette.data(), palette.size());
        pal.Close();
    }
    WriteIndex(set.dataDir / "qaxdata.idx", set);
    WriteSections(set.dataDir / "ext.idx", set);
    return set;
}

}  // namespace qax::sample
