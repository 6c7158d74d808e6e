// Takes arbitrary bytes as the whole data set (index, section file, both
// archives) and a replacement file, then does what a user would: start up,
// list Txt and Shp, view a text member, replace a member, extract one.
//
// Beyond "no crash, no sanitizer report, no hang" it checks the promises made
// to the user: a refused or failed replacement leaves every data file byte
// for byte as it was, and nothing is ever written outside the data set and
// the editor's directory.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "catalogue.h"
#include "data_set.h"
#include "text_view.h"

namespace fs = std::filesystem;

namespace {

// Discards everything the core reports; the checks below look at the files.
class SilentSink final : public qax::ReportSink {
public:
    void SetPaneText(const std::string& text) override { pane_ = text; }
    void AppendPaneText(const std::string& text) override { pane_ += text; }
    void ClearPane() override { pane_.clear(); }
    std::string PaneText() const override { return pane_; }
    void RepaintPane() override {}
    void ShowMessage(const std::string&, const std::string&) override {}
    void SetBusyCursor(bool) override {}
    void ProcessEvents() override {}

private:
    std::string pane_;
};

const char* const kDataFiles[] = {"qaxdata.idx", "ext.idx", "txt.qax", "shp.qax", "pal.qax"};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Spill(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// One scratch product directory per fuzzing process, on a RAM disk when
// there is one so the flushes cost nothing.
const fs::path& Product() {
    static const fs::path product = [] {
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path dir = base / ("qaxedit-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        return dir;
    }();
    return product;
}

// Every file under the product directory but the temporary copy, which a
// failed replacement may leave behind on purpose when it could not restore,
// and the editors' lock file, the one name a lock adds (empty, never written).
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(item.path(), dir).string();
        if (!item.is_regular_file() || name == "edit/~temp.fpc") continue;
        files[name] = Slurp(item.path());
        if (name == "data/~qaxedit.lck" && files[name].empty()) files.erase(name);
    }
    return files;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

// A group's line of its own choosing, or a line outside it, or none.
int PickLine(FuzzedDataProvider& in, std::size_t lines) {
    return in.ConsumeIntegralInRange<int>(-1, static_cast<int>(lines));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const fs::path product = Product();
    fs::remove_all(product / "data");
    fs::remove_all(product / "edit");
    fs::create_directories(product / "data");
    fs::create_directories(product / "edit");

    const bool dropOneFile = in.ConsumeBool();
    const std::size_t dropped = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    for (std::size_t i = 0; i < 5; ++i) {
        std::string bytes = in.ConsumeRandomLengthString(4096);
        if (!(dropOneFile && i == dropped)) Spill(product / "data" / kDataFiles[i], bytes);
    }
    const std::string replacementPath = (product / "edit" / "new.bin").string();
    Spill(replacementPath, in.ConsumeRandomLengthString(4096));

    qax::SystemFileSystem files;
    SilentSink sink;
    const std::string program = (product / "edit" / "qaxedit").string();
    const qax::StartUpResult startUp = qax::StartUpCheck(files, program);
    const auto before = Snapshot(product);
    const bool trace = std::getenv("QAX_FUZZ_TRACE") != nullptr;  // to see where a seed gets
    if (trace) std::fprintf(stderr, "start-up ready: %d\n", startUp.Ready());
    if (!startUp.Ready()) return 0;

    const auto txtLines = qax::FillCatalogue(files, startUp.paths.IndexPath, startUp.table, qax::Txt);
    const auto shpLines = qax::FillCatalogue(files, startUp.paths.IndexPath, startUp.table, qax::Shp);
    Check(txtLines.size() == startUp.table.EntryCount(qax::Txt));
    Check(shpLines.size() == startUp.table.EntryCount(qax::Shp));

    if (!txtLines.empty()) {
        const int line = in.ConsumeIntegralInRange<int>(0, static_cast<int>(txtLines.size()) - 1);
        qax::ShowTextMember({files, startUp.paths, startUp.table, sink},
                            {line, txtLines[static_cast<std::size_t>(line)]});
        Check(sink.PaneText().size() <= qax::kTextViewLimit);
    }
    Check(Snapshot(product) == before);

    const qax::ArchiveContext context{files, startUp.paths, startUp.table, sink};
    const bool shp = in.ConsumeBool();
    const auto& lines = shp ? shpLines : txtLines;
    const int number = PickLine(in, lines.size());
    const bool listed = number >= 0 && static_cast<std::size_t>(number) < lines.size();
    const qax::ListedLine selected{number, listed ? lines[static_cast<std::size_t>(number)] : std::string()};
    const qax::ArchiveOutcome outcome = shp ? qax::ReplaceShpMember(context, selected, replacementPath)
                                            : qax::ReplaceTextMember(context, selected, replacementPath);
    const auto after = Snapshot(product);
    if (trace)
        std::fprintf(stderr, "%s line %d: outcome %d\n", shp ? "Shp" : "Txt", selected.number,
                     static_cast<int>(outcome));
    if (outcome != qax::ArchiveOutcome::Done) {
        Check(after == before);
    } else {
        // Only the rebuilt archive and the index may change; no file appears
        // or stays behind.
        std::set<std::string> changed;
        for (const auto& [name, bytes] : after) {
            Check(before.count(name) == 1);
            if (before.at(name) != bytes) changed.insert(name);
        }
        Check(after.size() == before.size());
        for (const auto& name : changed)
            Check(name == "data/qaxdata.idx" || name == (shp ? "data/shp.qax" : "data/txt.qax"));
    }

    if (!shpLines.empty()) {
        const std::size_t number = in.ConsumeIntegralInRange<std::size_t>(0, shpLines.size() - 1);
        const auto beforeExtract = Snapshot(product);
        try {
            // Listed after the replacement changed the index: a line that
            // no longer describes its entry must be refused.
            qax::ExtractShpMember(context, {static_cast<int>(number), shpLines[number]}, (product / "edit").string());
        } catch (const qax::ConversionError&) {
        }
        // Extraction may add or replace one .SHP file in the editor's
        // directory and must touch nothing else.
        for (const auto& [name, bytes] : Snapshot(product)) {
            const auto previous = beforeExtract.find(name);
            if (previous != beforeExtract.end() && previous->second == bytes) continue;
            Check(fs::path(name).parent_path() == "edit" && fs::path(name).extension() == ".SHP");
        }
    }
    return 0;
}
