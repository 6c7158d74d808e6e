// Times replacing 50 Txt members of a 512 MiB txt.qax with one `qaxtool
// replace` against the same 50 replacements one after another through the
// core, and both against one single-member replacement. Then a mod of those
// 50 Txt members and 5 Shp members with one `qaxtool apply` against
// `replace txt` plus `replace shp` of the same files; and `extract --all` of
// 3,000 Shp members against a plain split of the same bytes into files with
// one flush at the end. Last, a translation: every one of the 20,000 Txt
// members replaced from one manifest with `qaxtool apply`, against a single
// replacement of the first member (which rewrites the whole archive too),
// and its dry run against the real one. The mod is also applied with
// --undo, against the plain apply and a plain durable write of the old bytes
// the undo keeps.
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
constexpr std::uint32_t kShpMembers = 40;
constexpr std::uint32_t kShpMemberSize = 1u << 20;
constexpr int kShpReplaced = 5;
constexpr std::uint32_t kSplitMembers = 3000;
constexpr std::uint32_t kSplitMemberSize = 20000;
constexpr int kSplitRounds = 3;  // each: split, extract, extract, split
constexpr int kUndoRounds = 3;   // each: apply, apply --undo twice, apply, the plain write

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
    options.shpCount = kShpMembers;
    options.shpMeanSize = kShpMemberSize;
    options.exactSizes = true;
    std::printf("making the data set in %s ...\n", product.string().c_str());
    qax::sample::WriteSampleDataSet(product, options);
    fs::create_directories(product / "QaxEdit");
    const fs::path tool = product / "QaxEdit" / "qaxtool";
    fs::copy_file(QAXTOOL_PATH, tool);

    qax::SystemFileSystem fileSystem;
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

    // The mod: the same 50 Txt files and 5 Shp files of sizes no block
    // size divides, as one transaction and as two.
    std::string manifest;
    std::string txtPart = Quoted(tool.string()) + " replace txt";
    std::string shpPart = Quoted(tool.string()) + " replace shp";
    const auto txtNames = qax::FillCatalogue(fileSystem, paths.IndexPath, startUp.table, qax::Txt);
    const auto shpNames = qax::FillCatalogue(fileSystem, paths.IndexPath, startUp.table, qax::Shp);
    for (int k = 0; k < kReplaced; ++k) {
        const std::string name =
            qax::ReadCatalogueLine(txtNames[static_cast<std::size_t>(lines[static_cast<std::size_t>(k)])]).name;
        manifest += "txt " + name + " " + files[static_cast<std::size_t>(k)].string() + "\n";
        txtPart += " " + Quoted(name + "=" + files[static_cast<std::size_t>(k)].string());
    }
    for (int k = 0; k < kShpReplaced; ++k) {
        const fs::path file = dir / ("new-" + std::to_string(k) + ".shp");
        WriteFile(file, kShpMemberSize + 1234 + static_cast<std::size_t>(k), static_cast<char>('A' + k));
        const std::string name = qax::ReadCatalogueLine(shpNames[static_cast<std::size_t>(k * 7 + 3)]).name;
        manifest += "shp " + name + " " + file.string() + "\n";
        shpPart += " " + Quoted(name + "=" + file.string());
    }
    const fs::path manifestPath = dir / "mod.txt";
    {
        std::ofstream out(manifestPath);
        out << manifest;
    }
    ::sync();
    const double apply = qax::bench::SecondsFor([&] {
        if (std::system((Quoted(tool.string()) + " apply " + Quoted(manifestPath.string()) + " >/dev/null").c_str()) !=
            0)
            Fail("qaxtool apply");
    });
    ::sync();
    const double twoReplaces = qax::bench::SecondsFor([&] {
        if (std::system((txtPart + " >/dev/null").c_str()) != 0 || std::system((shpPart + " >/dev/null").c_str()) != 0)
            Fail("qaxtool replace txt, replace shp");
    });

    // The same mod with its undo, taking turns with the plain apply: what
    // --undo adds, against writing the replaced members' old bytes once,
    // durably, into files of their own (each flushed, then the directory).
    // The members hold the mod's files' bytes by now, so those are the
    // sizes the undo writes.
    std::vector<std::size_t> oldSizes;
    for (int k = 0; k < kReplaced; ++k) oldSizes.push_back(kTxtMemberSize + 100 + static_cast<std::size_t>(k));
    for (int k = 0; k < kShpReplaced; ++k) oldSizes.push_back(kShpMemberSize + 1234 + static_cast<std::size_t>(k));
    std::uint64_t oldBytes = 0;
    for (const std::size_t size : oldSizes) oldBytes += size;
    double applyAgain = 0;
    double applyWithUndo = 0;
    double plainOldBytes = 0;
    int undoRuns = 0;
    const auto applyPlain = [&] {
        ::sync();
        applyAgain += qax::bench::SecondsFor([&] {
            if (std::system(
                    (Quoted(tool.string()) + " apply " + Quoted(manifestPath.string()) + " >/dev/null").c_str()) != 0)
                Fail("qaxtool apply");
        });
    };
    const auto applyUndo = [&] {
        const fs::path undo = dir / ("undo-" + std::to_string(undoRuns++));
        ::sync();
        applyWithUndo += qax::bench::SecondsFor([&] {
            if (std::system((Quoted(tool.string()) + " --quiet apply --undo " + Quoted(undo.string()) + " " +
                             Quoted(manifestPath.string()) + " >/dev/null")
                                .c_str()) != 0)
                Fail("qaxtool apply --undo");
        });
    };
    // Whichever runs first after a sync may pay for the disk catching up,
    // so the two take turns: apply, with undo, with undo, apply.
    for (int round = 0; round < kUndoRounds; ++round) {
        applyPlain();
        applyUndo();
        applyUndo();
        applyPlain();
        const fs::path into = dir / ("plain-old-" + std::to_string(round));
        fs::create_directories(into);
        ::sync();
        plainOldBytes += qax::bench::SecondsFor([&] {
            for (std::size_t i = 0; i < oldSizes.size(); ++i) {
                const std::string bytes(oldSizes[i], static_cast<char>('o' + i % 8));
                auto file = fileSystem.Open((into / ("old-" + std::to_string(i))).string(), qax::OpenMode::CreateNew);
                file->Write(bytes.data(), bytes.size());
                file->Flush();
                file->Close();
            }
            fileSystem.SyncDirectoryOf((into / "old-0").string());
        });
    }

    // A translation: every Txt member from one manifest. Reading it and
    // finding each member must cost next to nothing beside the rebuild.
    const fs::path translated = dir / "translated.txt";
    WriteFile(translated, kTxtMemberSize + 10, 't');
    const fs::path translationPath = dir / "translation.txt";
    {
        std::ofstream out(translationPath);
        for (const std::string& line : qax::FillCatalogue(fileSystem, paths.IndexPath, startUp.table, qax::Txt))
            out << "txt " << qax::ReadCatalogueLine(line).name << " " << translated.string() << "\n";
    }
    const std::string translate = Quoted(tool.string()) + " apply " + Quoted(translationPath.string()) + " >/dev/null";
    ::sync();
    const double firstMember = qax::bench::SecondsFor([&] {
        if (ReplaceTextMember(context, lineAt(0), translated.string()) != qax::ArchiveOutcome::Done)
            Fail("the replacement of the first member");
    });
    ::sync();
    const double translationDryRun = qax::bench::SecondsFor([&] {
        if (std::system(
                (Quoted(tool.string()) + " apply --dry-run --quiet " + Quoted(translationPath.string()) + " >/dev/null")
                    .c_str()) != 0)
            Fail("qaxtool apply --dry-run of the translation");
    });
    ::sync();
    const double translation = qax::bench::SecondsFor([&] {
        if (std::system(translate.c_str()) != 0) Fail("qaxtool apply of the translation");
    });

    // Extraction of a whole Shp group against a plain split.
    const fs::path splitProduct = dir / "split";
    qax::sample::SampleOptions splitOptions;
    splitOptions.txtCount = 2;
    splitOptions.shpCount = kSplitMembers;
    splitOptions.shpMeanSize = kSplitMemberSize;
    splitOptions.exactSizes = true;
    const qax::sample::SampleDataSet split = qax::sample::WriteSampleDataSet(splitProduct, splitOptions);
    // Whichever runs first after the data set was written pays for the
    // disk catching up, so the two take turns: split, extract, extract,
    // split, three times, each into a directory of its own, and the sums
    // are compared.
    const auto extractAllTo = [&](const fs::path& out) {
        return qax::bench::SecondsFor([&] {
            if (std::system((Quoted(tool.string()) + " --data " + Quoted(split.dataDir.string()) +
                             " extract --all -o " + Quoted(out.string()) + " >/dev/null")
                                .c_str()) != 0)
                Fail("qaxtool extract --all");
        });
    };
    const auto plainSplitTo = [&](const fs::path& into) {
        fs::create_directories(into);
        return qax::bench::SecondsFor([&] {
            std::ifstream archive(split.dataDir / "shp.qax", std::ios::binary);
            std::vector<char> bytes;
            for (const qax::sample::SampleMember& member : split.groups[qax::Shp]) {
                bytes.resize(member.size);
                archive.seekg(member.offset);
                archive.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                std::ofstream out(into / (member.name + ".SHP"), std::ios::binary | std::ios::trunc);
                out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                if (!archive || !out) Fail("the plain split");
            }
            ::sync();
        });
    };
    double plainSplit = 0;
    double extractAll = 0;
    for (int round = 0; round < kSplitRounds; ++round) {
        const std::string n = std::to_string(round);
        ::sync();
        plainSplit += plainSplitTo(dir / ("plain-a" + n));
        ::sync();
        extractAll += extractAllTo(dir / ("extracted-a" + n));
        ::sync();
        extractAll += extractAllTo(dir / ("extracted-b" + n));
        ::sync();
        plainSplit += plainSplitTo(dir / ("plain-b" + n));
    }

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
    std::printf("\na mod of %d Txt members and %d Shp members (shp.qax: %u members of %u bytes)\n", kReplaced,
                kShpReplaced, kShpMembers, kShpMemberSize);
    std::printf(
        "  one qaxtool apply                                 %8.3f s  = %5.2f x the two replaces (target "
        "at most 1.00)\n",
        apply, apply / twoReplaces);
    std::printf("  qaxtool replace txt, then qaxtool replace shp     %8.3f s\n", twoReplaces);
    const int undoTurns = 2 * kUndoRounds;
    std::printf("  the same apply again, mean of %d                   %8.3f s\n", undoTurns, applyAgain / undoTurns);
    std::printf(
        "  the same apply with --undo, mean of %d             %8.3f s  = %+.3f s over it (target at most the "
        "plain write below)\n",
        undoTurns, applyWithUndo / undoTurns, (applyWithUndo - applyAgain) / undoTurns);
    std::printf("  its %zu old members (%.1f MiB) written durably       %8.3f s\n", oldSizes.size(),
                static_cast<double>(oldBytes) / (1 << 20), plainOldBytes / kUndoRounds);
    std::printf("\n%u Shp members of %u bytes\n", kSplitMembers, kSplitMemberSize);
    std::printf(
        "  qaxtool extract --all, six times                  %8.3f s  = %5.2f x the plain split (target "
        "at most 1.30)\n",
        extractAll, extractAll / plainSplit);
    std::printf("  plain split, one flush at the end, six times      %8.3f s\n", plainSplit);
    std::printf("\na translation: all %u Txt members from one manifest\n", kTxtMembers);
    std::printf(
        "  one qaxtool apply                                 %8.3f s  = %5.2f x the first member alone (target "
        "at most 1.20)\n",
        translation, translation / firstMember);
    std::printf(
        "  the same with --dry-run                           %8.3f s  = %5.2f x the real one (target at most "
        "0.25)\n",
        translationDryRun, translationDryRun / translation);
    std::printf("  one replacement of the first member               %8.3f s\n", firstMember);
    fs::remove_all(dir);
    return 0;
}
