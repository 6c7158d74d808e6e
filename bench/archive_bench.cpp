// Times the archive operations on a large data set, against what a rebuild
// cannot avoid: two plain whole-file copies of the same archive.
//
//   archive_bench [ROUNDS]     (default 3; each figure is the median)
//
// Makes, in a temporary directory (about 3 GB of disk at the peak):
// shp.qax of 8 members of exactly 64 MiB, txt.qax of 20,000 members
// (512 MiB). On the same files, each round times the baseline, the Shp
// replacement of a middle member, the Txt replacement of a middle member
// and the extraction of a 64 MiB member. The replacements run twice: as the
// editor runs them (every flush waits for the disk), and with the waits
// turned off, which shows what durability costs. Prints each median time and
// the median ratio to the baseline of the same round, and the peak memory
// above the idle process.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "bench_support.h"
#include "data_set.h"
#include "sample_data_set.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kShpMembers = 8;
constexpr std::uint32_t kShpMemberSize = 64u << 20;
constexpr std::uint32_t kTxtMembers = 20000;
constexpr std::uint32_t kTxtMemberSize = (512u << 20) / kTxtMembers;

// The window's services, doing nothing but counting the progress marks.
class QuietSink : public qax::ReportSink {
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

void WriteFile(const fs::path& path, std::size_t size, char fill) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(fill + i % 61);
    for (std::size_t left = size; left > 0;) {
        const std::size_t n = std::min(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The high-water mark of the resident set starts again from here (Linux
// 4.0 and later), so the generator's own buffers are not counted.
bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear);
}

// Starts each timing with no dirty pages from the step before still being
// written back.
void Settle() {
    ::sync();
}

double TwoCopies(const fs::path& archive, const fs::path& dir) {
    Settle();
    const double seconds = qax::bench::SecondsFor([&] {
        fs::copy_file(archive, dir / "baseline-1", fs::copy_options::overwrite_existing);
        fs::copy_file(archive, dir / "baseline-2", fs::copy_options::overwrite_existing);
    });
    fs::remove(dir / "baseline-1");
    fs::remove(dir / "baseline-2");
    return seconds;
}

template <typename Operation>
double TimeOperation(Operation&& operation) {
    Settle();
    qax::ArchiveOutcome outcome = qax::ArchiveOutcome::Failed;
    const double seconds = qax::bench::SecondsFor([&] { outcome = operation(); });
    if (outcome != qax::ArchiveOutcome::Done) {
        std::fprintf(stderr, "the operation did not complete\n");
        std::exit(1);
    }
    return seconds;
}

// Each ratio is taken against the baseline of its own round, so that a
// machine busy with other work in one round does not skew the figures.
void PrintRatio(const char* what, const std::vector<double>& seconds, const std::vector<double>& baseline) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < seconds.size(); ++i) ratios.push_back(seconds[i] / baseline[i]);
    std::printf("  %-44s %7.3f s  = %5.2f x baseline (rounds: %.2f to %.2f)\n", what, qax::bench::Median(seconds),
                qax::bench::Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
}

// What the flushes add: the copy of the archive and the rebuilt archive
// are each written to the disk before the operation goes on.
void PrintFlushCost(const std::vector<double>& durable, const std::vector<double>& buffered) {
    std::vector<double> cost;
    for (std::size_t i = 0; i < durable.size(); ++i) cost.push_back(durable[i] - buffered[i]);
    std::printf("    waiting for the disk adds                  %7.3f s\n", qax::bench::Median(cost));
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const fs::path product = fs::temp_directory_path() / ("qaxedit-archive-bench-" + std::to_string(::getpid()));
    fs::remove_all(product);

    qax::sample::SampleOptions options;
    options.txtCount = kTxtMembers;
    options.txtMeanSize = kTxtMemberSize;
    options.shpCount = kShpMembers;
    options.shpMeanSize = kShpMemberSize;
    options.exactSizes = true;
    std::printf("making the data set in %s ...\n", product.string().c_str());
    qax::sample::WriteSampleDataSet(product, options);
    fs::create_directories(product / "edit");
    const fs::path newShp = product / "new.shp";
    const fs::path newTxt = product / "new.txt";
    WriteFile(newShp, 60u << 20, 'S');  // 4 MiB shorter: every later offset moves
    WriteFile(newTxt, kTxtMemberSize + 999, 'a');

    qax::StdioFileSystem durable(qax::DiskSync::On);
    qax::StdioFileSystem buffered(qax::DiskSync::Off);
    const std::string program = (product / "edit" / "qaxedit").string();
    const qax::StartUpResult startUp = qax::StartUpCheck(durable, program);
    if (!startUp.Ready()) {
        std::fprintf(stderr, "start-up failed:\n%s\n", startUp.paneText.c_str());
        return 1;
    }
    const qax::DataSetPaths& paths = startUp.paths;
    QuietSink sink;
    const qax::ArchiveContext withFlushes{durable, paths, startUp.table, sink};
    const qax::ArchiveContext withoutFlushes{buffered, paths, startUp.table, sink};
    const int middleShp = kShpMembers / 2;
    const int middleTxt = kTxtMembers / 2;
    // The extracted member's line as the list would show it: the second
    // member, 64 MiB at offset 64 MiB (wider than 24 columns, read back by
    // its field boundaries).
    char line[64];
    std::snprintf(line, sizeof line, "%8s %6ld $%07lX", "BENCHOUT", static_cast<long>(kShpMemberSize),
                  static_cast<unsigned long>(kShpMemberSize));

    const bool peakReset = ResetPeakResident();
    const long idleKiB = qax::bench::ResidentKiB();

    std::vector<double> shpBase, txtBase, shpOn, shpOff, txtOn, txtOff, extract;
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d of %d\n", round + 1, rounds);
        shpBase.push_back(TwoCopies(paths.ShpArchivePath, product / "edit"));
        shpOn.push_back(TimeOperation([&] { return ReplaceShpMember(withFlushes, middleShp, newShp.string()); }));
        shpOff.push_back(TimeOperation([&] { return ReplaceShpMember(withoutFlushes, middleShp, newShp.string()); }));
        txtBase.push_back(TwoCopies(paths.TxtArchivePath, product / "edit"));
        txtOn.push_back(TimeOperation([&] { return ReplaceTextMember(withFlushes, middleTxt, newTxt.string()); }));
        txtOff.push_back(TimeOperation([&] { return ReplaceTextMember(withoutFlushes, middleTxt, newTxt.string()); }));
        extract.push_back(
            TimeOperation([&] { return ExtractShpMember(withFlushes, line, (product / "edit").string()); }));
        fs::remove(product / "edit" / "BENCHOUT.SHP");
    }
    const long peakKiB = qax::bench::PeakResidentKiB();

    using qax::bench::Median;
    const double shpBaseline = Median(shpBase);
    const double txtBaseline = Median(txtBase);
    std::printf("\nshp.qax %u members of %u MiB; txt.qax %u members of %u bytes; medians of %d rounds\n", kShpMembers,
                kShpMemberSize >> 20, kTxtMembers, kTxtMemberSize, rounds);
    std::printf("Shp baseline, two copy_file of shp.qax:       %7.3f s\n", shpBaseline);
    PrintRatio("Shp replacement, middle member (target 1.10)", shpOn, shpBase);
    PrintRatio("  the same without waiting for the disk", shpOff, shpBase);
    PrintFlushCost(shpOn, shpOff);
    PrintRatio("extraction of a 64 MiB member", extract, shpBase);
    std::printf("Txt baseline, two copy_file of txt.qax:       %7.3f s\n", txtBaseline);
    PrintRatio("Txt replacement, middle member (target 1.25)", txtOn, txtBase);
    PrintRatio("  the same without waiting for the disk", txtOff, txtBase);
    PrintFlushCost(txtOn, txtOff);
    std::printf("progress marks per Shp replacement: %d\n", sink.eventPasses / (2 * rounds) - 1);
    std::printf("peak memory above the idle process: %.1f MiB (target < 64 MiB)%s\n",
                static_cast<double>(peakKiB - idleKiB) / 1024.0,
                peakReset ? "" : " [peak could not be reset: includes the generator]");

    fs::remove_all(product);
    return sink.messages == 0 ? 0 : 1;
}
