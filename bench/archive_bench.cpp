// Times the archive operations on a large data set against three baselines a
// user would recognise, all made of plain std::filesystem::copy_file copies of
// the same archive, in the same round:
//
//   two copies              what any rebuild through a whole copy moves;
//   two durable copies      the same, each copy flushed to the disk: the floor
//                           of a rebuild through a whole durable copy;
//   one durable copy        what an editor pays that writes a new archive
//                           beside the old one and renames it over it.
//
//   archive_bench [--dir DIR] [ROUNDS]     (default: the system's temporary
//                                           directory, 3 rounds; each figure
//                                           is the median)
//
// Makes, in a directory of its own inside DIR (about 3 GB of disk at the
// peak, removed at the end): shp.qax of 8 members of exactly 64 MiB and
// txt.qax of 20,000 members (512 MiB). Each round times the baselines, the
// Shp and Txt replacements of the first, middle and last member as the
// editor runs them (every flush waits for the disk), the middle ones again
// with the waits turned off (what durability costs), and the extraction of
// a 64 MiB member.
//
// The Shp replacement file has a size a user's file would have: 300,000
// bytes, neither a multiple of the 4,096-byte block nor differing from the
// old member's size by one, so the bytes after it move off the file
// system's block boundaries (where the file system shares blocks between
// copies, they then cannot be shared and are copied). The middle member is
// also replaced by a file of 4 MiB, which keeps them on the boundaries: the
// aligned case, labelled as such. Prints each median time with its median ratio to each
// baseline of the same round, and the peak memory above the idle process.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "bench_support.h"
#include "catalogue.h"
#include "data_set.h"
#include "sample_data_set.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kShpMembers = 8;
constexpr std::uint32_t kShpMemberSize = 64u << 20;
constexpr std::uint32_t kTxtMembers = 20000;
constexpr std::uint32_t kTxtMemberSize = (512u << 20) / kTxtMembers;

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

// The benchmark's own directory, removed whichever way the program ends.
class ScratchDirectory {
public:
    explicit ScratchDirectory(fs::path path) : path_(std::move(path)) {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

// Waits until the file's data is on the disk, as the editor's flushes do.
void FlushToDisk(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
    const bool synced = ::fsync(fd) == 0;
    const int syncError = errno;
    ::close(fd);
    if (!synced) throw std::runtime_error("cannot flush " + path.string() + ": " + std::strerror(syncError));
}

// Starts each timing with no dirty pages from the step before still being
// written back.
void Settle() {
    ::sync();
}

enum class Durability { Plain, Flushed };

double Copies(const fs::path& archive, const fs::path& dir, int count, Durability durability) {
    Settle();
    const double seconds = qax::bench::SecondsFor([&] {
        for (int i = 0; i < count; ++i) {
            const fs::path target = dir / ("baseline-" + std::to_string(i));
            fs::copy_file(archive, target, fs::copy_options::overwrite_existing);
            if (durability == Durability::Flushed) FlushToDisk(target);
        }
    });
    for (int i = 0; i < count; ++i) fs::remove(dir / ("baseline-" + std::to_string(i)));
    return seconds;
}

double TimeOperation(const std::function<qax::ArchiveOutcome()>& operation) {
    Settle();
    qax::ArchiveOutcome outcome = qax::ArchiveOutcome::Failed;
    const double seconds = qax::bench::SecondsFor([&] { outcome = operation(); });
    if (outcome != qax::ArchiveOutcome::Done) throw std::runtime_error("an operation did not complete");
    return seconds;
}

// The baselines of each round, for one archive.
struct Baselines {
    std::vector<double> twoCopies, twoDurable, oneDurable;

    void Measure(const fs::path& archive, const fs::path& dir) {
        twoCopies.push_back(Copies(archive, dir, 2, Durability::Plain));
        twoDurable.push_back(Copies(archive, dir, 2, Durability::Flushed));
        oneDurable.push_back(Copies(archive, dir, 1, Durability::Flushed));
    }
};

// Each ratio is taken against the baseline of its own round, so that a
// machine busy with other work in one round does not skew the figures.
double MedianRatio(const std::vector<double>& seconds, const std::vector<double>& baseline) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < seconds.size(); ++i) ratios.push_back(seconds[i] / baseline[i]);
    return qax::bench::Median(ratios);
}

void PrintBaselines(const char* archive, const Baselines& base) {
    using qax::bench::Median;
    std::printf("%s baselines: two copies %.3f s, two durable copies %.3f s, one durable copy %.3f s\n", archive,
                Median(base.twoCopies), Median(base.twoDurable), Median(base.oneDurable));
    std::printf("  %-40s %8s %10s %12s %12s %8s\n", "", "time", "/2 copies", "/2 durable", "/1 durable", "target");
}

// `target` is the most the operation may take against two durable copies; 0 for none.
void PrintRow(const char* what, const std::vector<double>& seconds, const Baselines& base, double target) {
    const double againstDurable = MedianRatio(seconds, base.twoDurable);
    char targetText[32] = "";
    if (target > 0)
        std::snprintf(targetText, sizeof targetText, "%.2f %s", target, againstDurable <= target ? "met" : "MISSED");
    std::printf("  %-40s %6.3f s %9.2fx %11.2fx %11.2fx   %s\n", what, qax::bench::Median(seconds),
                MedianRatio(seconds, base.twoCopies), againstDurable, MedianRatio(seconds, base.oneDurable),
                targetText);
}

// One replacement of the first, middle and last member, in the order the
// rounds run them.
struct MemberTimes {
    std::vector<double> first, middle, last;
};

int Run(const qax::bench::RunOptions& options) {
    ScratchDirectory scratch(options.dir / ("qaxedit-archive-bench-" + std::to_string(::getpid())));
    const fs::path& product = scratch.Path();

    qax::sample::SampleOptions sample;
    sample.txtCount = kTxtMembers;
    sample.txtMeanSize = kTxtMemberSize;
    sample.shpCount = kShpMembers;
    sample.shpMeanSize = kShpMemberSize;
    sample.exactSizes = true;
    std::printf("making the data set in %s ...\n", product.string().c_str());
    qax::sample::WriteSampleDataSet(product, sample);
    fs::create_directories(product / "edit");
    const fs::path newShp = product / "new.shp";
    const fs::path alignedShp = product / "aligned.shp";
    const fs::path newTxt = product / "new.txt";
    WriteFile(newShp, 300000, 'S');        // every later offset moves off the block boundaries
    WriteFile(alignedShp, 4u << 20, 'A');  // every later offset moves by whole blocks
    WriteFile(newTxt, kTxtMemberSize + 999, 'a');

    qax::SystemFileSystem durable(qax::DiskSync::On);
    qax::SystemFileSystem buffered(qax::DiskSync::Off);
    const std::string program = (product / "edit" / "qaxedit").string();
    const qax::StartUpResult startUp = qax::StartUpCheck(durable, program);
    if (!startUp.Ready()) {
        std::fprintf(stderr, "start-up failed:\n%s\n", startUp.paneText.c_str());
        return 1;
    }
    const qax::DataSetPaths& paths = startUp.paths;
    qax::bench::QuietSink sink;
    const qax::ArchiveContext withFlushes{durable, paths, startUp.table, sink};
    const qax::ArchiveContext withoutFlushes{buffered, paths, startUp.table, sink};
    const int shpLines[] = {0, kShpMembers / 2, kShpMembers - 1};
    const int txtLines[] = {0, kTxtMembers / 2, kTxtMembers - 1};
    // The extracted member is the second: 64 MiB, wider than 24 columns
    // once its offset passes 0xFFFFFFF, and read back by its field
    // boundaries then.

    const bool peakReset = qax::bench::ResetPeakResident();
    const long idleKiB = qax::bench::ResidentKiB();

    Baselines shpBase, txtBase;
    MemberTimes shp, txt;
    std::vector<double> shpBuffered, shpAligned, txtBuffered, extract;
    int shpReplacements = 0;
    // A line as the list shows it just before the operation: each
    // replacement moves the offsets after its member.
    const auto listed = [&](int group, int line) {
        return qax::ListedLine{
            line,
            qax::FillCatalogue(durable, paths.IndexPath, startUp.table, group).at(static_cast<std::size_t>(line))};
    };
    // Each Shp replacement starts from the archive as it was made, members
    // on block boundaries, put back untimed: otherwise the first unaligned
    // replacement would leave every later one an archive already off them.
    const fs::path pristineShp = product / "pristine.shp";
    const fs::path pristineIndex = product / "pristine.idx";
    fs::copy_file(paths.ShpArchivePath, pristineShp);
    fs::copy_file(paths.IndexPath, pristineIndex);
    const auto replaceShp = [&](const qax::ArchiveContext& context, int member, const fs::path& file) {
        fs::copy_file(pristineShp, paths.ShpArchivePath, fs::copy_options::overwrite_existing);
        fs::copy_file(pristineIndex, paths.IndexPath, fs::copy_options::overwrite_existing);
        ++shpReplacements;
        const qax::ListedLine selected = listed(qax::Shp, member);
        return TimeOperation([&] { return ReplaceShpMember(context, selected, file.string()); });
    };
    const auto replaceTxt = [&](const qax::ArchiveContext& context, int member) {
        const qax::ListedLine selected = listed(qax::Txt, member);
        return TimeOperation([&] { return ReplaceTextMember(context, selected, newTxt.string()); });
    };
    for (int round = 0; round < options.rounds; ++round) {
        std::printf("round %d of %d\n", round + 1, options.rounds);
        std::fflush(stdout);
        shpBase.Measure(paths.ShpArchivePath, product / "edit");
        shp.first.push_back(replaceShp(withFlushes, shpLines[0], newShp));
        shp.middle.push_back(replaceShp(withFlushes, shpLines[1], newShp));
        shp.last.push_back(replaceShp(withFlushes, shpLines[2], newShp));
        shpBuffered.push_back(replaceShp(withoutFlushes, shpLines[1], newShp));
        shpAligned.push_back(replaceShp(withFlushes, shpLines[1], alignedShp));
        const qax::ListedLine extracted = listed(qax::Shp, 1);
        extract.push_back(
            TimeOperation([&] { return ExtractShpMember(withFlushes, extracted, (product / "edit").string()); }));
        fs::remove(product / "edit" / "BENCHOUT.SHP");
        txtBase.Measure(paths.TxtArchivePath, product / "edit");
        txt.first.push_back(replaceTxt(withFlushes, txtLines[0]));
        txt.middle.push_back(replaceTxt(withFlushes, txtLines[1]));
        txt.last.push_back(replaceTxt(withFlushes, txtLines[2]));
        txtBuffered.push_back(replaceTxt(withoutFlushes, txtLines[1]));
    }
    const long peakKiB = qax::bench::PeakResidentKiB();

    std::printf(
        "\nshp.qax %u members of %u MiB, replaced by 300,000 bytes (aligned: 4 MiB); txt.qax %u members of %u "
        "bytes, replaced by %u; medians of %d rounds\n",
        kShpMembers, kShpMemberSize >> 20, kTxtMembers, kTxtMemberSize, kTxtMemberSize + 999, options.rounds);
    std::printf("in %s; targets are against two durable copies\n\n", options.dir.string().c_str());
    PrintBaselines("Shp", shpBase);
    PrintRow("Shp replacement, first member", shp.first, shpBase, 0);
    PrintRow("Shp replacement, middle member", shp.middle, shpBase, 0.80);
    PrintRow("Shp replacement, last member", shp.last, shpBase, 0.60);
    PrintRow("  middle, without waiting for the disk", shpBuffered, shpBase, 0);
    PrintRow("  middle, aligned size (4 MiB)", shpAligned, shpBase, 0);
    PrintRow("extraction of a 64 MiB member", extract, shpBase, 0);
    std::printf("\n");
    PrintBaselines("Txt", txtBase);
    PrintRow("Txt replacement, first member", txt.first, txtBase, 0);
    PrintRow("Txt replacement, middle member", txt.middle, txtBase, 0.80);
    PrintRow("Txt replacement, last member", txt.last, txtBase, 0.60);
    PrintRow("  middle, without waiting for the disk", txtBuffered, txtBase, 0);
    std::printf("\nprogress marks per Shp replacement (mean): %d\n",
                (sink.eventPasses - shpReplacements) / std::max(1, shpReplacements));
    std::printf("peak memory above the idle process: %.1f MiB (target < 64 MiB)%s\n",
                static_cast<double>(peakKiB - idleKiB) / 1024.0,
                peakReset ? "" : " [peak could not be reset: includes the generator]");
    return sink.messages == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(qax::bench::ParseRunOptions(argc, argv, "usage: archive_bench [--dir DIR] [ROUNDS]"));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
