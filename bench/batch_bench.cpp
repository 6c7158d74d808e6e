// Times replacing 50 Txt members of a 512 MiB txt.qax with one `qaxtool
// replace` against the same 50 replacements one after another through the
// core, and both against one single-member replacement.
//
//   batch_bench [DIR] [SEQUENTIAL]
//
// DIR (default: a new directory in the system's temporary directory) gets a
// product directory with the data set and qaxtool beside it, about 1.1 GB at
// the peak, and is removed at the end. SEQUENTIAL (default 50) is how many of
// the replacements run one after another; each of them rebuilds the whole
// archive, so lowering it shortens the run. Every flush waits for the disk,
// as in the editor.
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
#include "catalogue.h"
#include "data_set.h"
#include "sample_data_set.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kTxtMembers = 20000;
constexpr std::uint32_t kTxtMemberSize = (512u << 20) / kTxtMembers;
constexpr int kReplaced = 50;

void WriteFile(const fs::path& path, std::size_t size, char fill) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string bytes(size, fill);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Quoted(const std::string& word) {
    return "'" + word + "'";
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s did not complete\n", what);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path dir = argc > 1 ? fs::absolute(argv[1]) / ("batch-bench-" + std::to_string(::getpid()))
                                  : fs::temp_directory_path() / ("qaxedit-batch-bench-" + std::to_string(::getpid()));
    const int sequential = argc > 2 ? std::max(1, std::min(kReplaced, std::atoi(argv[2]))) : kReplaced;
    const fs::path product = dir / "product";
    qax::sample::SampleOptions options;
    options.txtCount = kTxtMembers;
    options.txtMeanSize = kTxtMemberSize;
    options.shpCount = 4;
    options.exactSizes = true;
    std::printf("making the data set in %s ...\n", product.string().c_str());
    qax::sample::WriteSampleDataSet(product, options);
    fs::create_directories(product / "QaxEdit");
    const fs::path tool = product / "QaxEdit" / "qaxtool";
    fs::copy_file(QAXTOOL_PATH, tool);

    qax::PosixFileSystem fileSystem;
    const qax::StartUpResult startUp = qax::StartUpCheck(fileSystem, tool.string());
    if (!startUp.Ready()) Fail("the start-up check");
    const qax::DataSetPaths& paths = startUp.paths;
    qax::bench::QuietSink sink;
    const qax::ArchiveContext context{fileSystem, paths, startUp.table, sink};
    const auto lineAt = [&](int line) {
        return qax::ListedLine{line, qax::FillCatalogue(fileSystem, paths.IndexPath, startUp.table, qax::Txt)[line]};
    };

    // Fifty members spread over the whole archive, each replaced by a file
    // a little longer than itself, so that every later offset moves.
    std::vector<int> lines;
    std::vector<fs::path> files;
    std::string command = Quoted(tool.string()) + " replace txt";
    for (int k = 0; k < kReplaced; ++k) {
        lines.push_back(k * static_cast<int>(kTxtMembers / kReplaced) + 7);
        files.push_back(dir / ("new-" + std::to_string(k) + ".txt"));
        WriteFile(files.back(), kTxtMemberSize + 100 + k, static_cast<char>('a' + k % 26));
        command += " " + Quoted(qax::ReadCatalogueLine(lineAt(lines.back()).text).name + "=" + files.back().string());
    }
    command += " >/dev/null";

    ::sync();
    const double single = qax::bench::SecondsFor([&] {
        if (ReplaceTextMember(context, lineAt(static_cast<int>(kTxtMembers / 2)), files[0].string()) !=
            qax::ArchiveOutcome::Done)
            Fail("the single replacement");
    });
    ::sync();
    const double batch = qax::bench::SecondsFor([&] {
        if (std::system(command.c_str()) != 0) Fail("qaxtool replace");
    });
    ::sync();
    const double oneAfterAnother = qax::bench::SecondsFor([&] {
        for (int k = 0; k < sequential; ++k)
            if (ReplaceTextMember(context, lineAt(lines[static_cast<std::size_t>(k)]),
                                  files[static_cast<std::size_t>(k)].string()) != qax::ArchiveOutcome::Done)
                Fail("a replacement one after another");
    });

    std::printf("\ntxt.qax: %u members of %u bytes (512 MiB); every flush waits for the disk\n", kTxtMembers,
                kTxtMemberSize);
    std::printf("  one single-member replacement (middle member)     %8.3f s\n", single);
    std::printf(
        "  %d members in one qaxtool replace                 %8.3f s  = %5.2f x the single one (target "
        "at most 1.50)\n",
        kReplaced, batch, batch / single);
    std::printf("  %d members one after another through the core     %8.3f s  = %5.2f x the single one", sequential,
                oneAfterAnother, oneAfterAnother / single);
    if (sequential < kReplaced)
        std::printf(" (%.1f s for all %d, extrapolated)", oneAfterAnother * kReplaced / sequential, kReplaced);
    std::printf("\n");
    fs::remove_all(dir);
    return 0;
}
