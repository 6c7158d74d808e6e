// qaxtool: the editor's core from the command line, for scripted mod builds.
//
// It finds the data set as the editor does (the `data` directory one level
// above its own directory) unless told with --data, runs the same recovery
// of an interrupted replacement first, and takes the same locks, so it can
// run beside an open editor. Results go to standard output, everything said
// to the user to standard error; the exit status is 0 for success, 1 when
// the operation was refused or failed, 2 for a command line it cannot use.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "catalogue.h"
#include "data_set.h"
#include "file_access.h"
#include "index_file.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"
#include "text_view.h"

namespace {

using namespace qax;

constexpr int kSuccess = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

constexpr const char* kUsageText =
    "Usage: qaxtool [--data DIR] COMMAND ...\n"
    "\n"
    "  list TYPE                       the catalogue lines of a type (txt shp til tnm pal dat)\n"
    "  show NAME                       all the bytes of a Txt member, to standard output\n"
    "  extract NAME... | --all [--out DIR]\n"
    "                                  Shp members to NAME.SHP files (in DIR, or here)\n"
    "  replace TYPE NAME=FILE...       Txt or Shp members replaced in one rebuild, in the order given\n"
    "  check                           reports whether the data set is sound; changes nothing\n"
    "\n"
    "  --data DIR   the data directory (default: the `data` directory beside this program's directory)\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "\n"
    "Exit status: 0 success, 1 refused or failed, 2 bad usage.\n";

// The core's messages on standard error; progress marks become one line
// that rewrites itself, but only on a terminal: a log file gets no such line.
class TerminalSink : public ReportSink {
public:
    explicit TerminalSink(bool progressLine) : progressLine_(progressLine) {}
    ~TerminalSink() override { EndProgressLine(); }

    void SetPaneText(const std::string& text) override {
        if (!text.empty() && text != pane_) Say(text);
        pane_ = text;
    }
    // The rebuilds append a progress mark per million bytes.
    void AppendPaneText(const std::string& text) override {
        pane_ += text;
        if (text != kShpProgressMark) return;
        ++marks_;
        if (progressLine_) {
            std::fprintf(stderr, "\rrebuilding: %lu MB written", marks_);
            std::fflush(stderr);
            lineOpen_ = true;
        }
    }
    void ClearPane() override { pane_.clear(); }
    std::string PaneText() const override { return pane_; }
    void RepaintPane() override {}
    void ShowMessage(const std::string& text, const std::string&) override { Say(text); }
    void SetBusyCursor(bool busy) override {
        if (!busy) EndProgressLine();
    }
    void ProcessEvents() override {}

    void Say(const std::string& text) {
        EndProgressLine();
        std::fprintf(stderr, "qaxtool: %s\n", text.c_str());
    }

private:
    void EndProgressLine() {
        if (lineOpen_) std::fputc('\n', stderr);
        lineOpen_ = false;
    }

    bool progressLine_;
    bool lineOpen_ = false;
    unsigned long marks_ = 0;
    std::string pane_;
};

struct CommandLine {
    std::string dataDir;
    std::string outDir;
    bool all = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> words;  // the command and its arguments
};

std::optional<CommandLine> ParseCommandLine(int argc, char** argv, std::string& problem) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& into) {
            // An empty value (an unset variable in a script) names no
            // directory: taking it for "the default" would act on a data
            // set the user never named.
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                problem = arg + " needs a directory";
                return false;
            }
            into = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--version") {
            line.version = true;
        } else if (arg == "--all") {
            line.all = true;
        } else if (arg == "--data") {
            if (!value(line.dataDir)) return std::nullopt;
        } else if (arg == "--out") {
            if (!value(line.outDir)) return std::nullopt;
        } else if (arg.size() > 1 && arg[0] == '-') {
            problem = "unknown option " + arg;
            return std::nullopt;
        } else {
            line.words.push_back(arg);
        }
    }
    return line;
}

std::optional<int> GroupNamed(std::string name) {
    static const char* const kNames[kMemberTypeCount] = {"txt", "shp", "til", "tnm", "pal", "dat"};
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (int group = 0; group < kMemberTypeCount; ++group)
        if (name == kNames[group]) return group;
    return std::nullopt;
}

// The directory the program runs from, as the system knows it, so that the
// data set is found wherever the program is started from.
std::string ProgramPath(const char* argv0) {
    if (const std::optional<std::string> self = RunningProgramPath()) return *self;
    std::error_code ec;
    return std::filesystem::absolute(argv0, ec).string();
}

// The temporary copy lies in the data directory itself: one copy per data
// set, whichever directory the tool runs from (one tool may serve several
// data sets), and a tool whose own directory may not be written (on the
// PATH) still replaces.
DataSetPaths PathsFor(const CommandLine& line, const std::string& programPath) {
    std::string dataDir;
    if (line.dataDir.empty()) {
        dataDir = std::filesystem::path(DeriveDataSetPaths(programPath).IndexPath).parent_path().string();
    } else {
        std::filesystem::path given = std::filesystem::absolute(line.dataDir).lexically_normal();
        if (given.filename().empty()) given = given.parent_path();
        dataDir = given.string();
    }
    return DataSetPathsIn(dataDir, dataDir);
}

// What the start-up check found wrong, without the window's banner and its
// call to exit.
std::string StartUpProblem(const StartUpResult& result) {
    std::string text = result.paneText.substr(std::min(result.paneText.size(), BannerText().size()));
    const auto mustExit = text.rfind("You must");
    if (mustExit != std::string::npos) text.erase(mustExit);
    const auto first = text.find_first_not_of("\n ");
    const auto last = text.find_last_not_of("\n ");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// The catalogue lines of a group, read with the section table as it is now.
std::optional<std::vector<std::string>> CatalogueLines(FileSystem& fs, const DataSetPaths& paths, int group,
                                                       TerminalSink& sink) {
    const CurrentSectionTable current = ReadCurrentSectionTable(fs, paths);
    if (current.refusal) {
        sink.Say(*current.refusal);
        return std::nullopt;
    }
    return FillCatalogue(fs, paths.IndexPath, current.table, group);
}

// Each name to the one line of the list that shows it; nothing, after a
// message, when a name is not there, is there more than once, or is given
// twice.
std::optional<std::vector<ListedLine>> LinesNamed(const std::vector<std::string>& lines,
                                                  const std::vector<std::string>& names, TerminalSink& sink) {
    std::multimap<std::string, int> byName;
    for (std::size_t i = 0; i < lines.size(); ++i)
        byName.emplace(ReadCatalogueLine(lines[i]).name, static_cast<int>(i));
    std::vector<ListedLine> found;
    std::vector<std::string> seen;
    for (const std::string& name : names) {
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
            sink.Say("The member " + name + " is given twice.\nNothing was changed.");
            return std::nullopt;
        }
        seen.push_back(name);
        const auto [first, last] = byName.equal_range(name);
        if (first == last) {
            sink.Say("There is no member " + name + " in the list.\nNothing was changed.");
            return std::nullopt;
        }
        if (std::next(first) != last) {
            sink.Say("The name " + name + " is not unique: it is on lines " + std::to_string(first->second + 1) +
                     " and " + std::to_string(std::next(first)->second + 1) + " of the list.\nNothing was changed.");
            return std::nullopt;
        }
        found.push_back({first->second, lines[static_cast<std::size_t>(first->second)]});
    }
    return found;
}

std::unique_ptr<DirectoryLock> ReadingLock(FileSystem& fs, const DataSetPaths& paths, TerminalSink& sink) {
    return LockDataSetForReading(fs, DataDirectoryOf(paths), sink, kFileErrorCaption);
}

bool WriteOut(const std::string& bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
}

int List(FileSystem& fs, const DataSetPaths& paths, int group, TerminalSink& sink) {
    const auto lock = ReadingLock(fs, paths, sink);
    if (!lock) return kFailed;
    const auto lines = CatalogueLines(fs, paths, group, sink);
    if (!lines) return kFailed;
    std::string out;
    for (const std::string& line : *lines) out += line + "\n";
    return WriteOut(out) ? kSuccess : kFailed;
}

int Show(FileSystem& fs, const DataSetPaths& paths, const std::string& name, TerminalSink& sink) {
    // One lock over the listing and the read: the line read is the line used.
    const auto lock = ReadingLock(fs, paths, sink);
    if (!lock) return kFailed;
    const auto lines = CatalogueLines(fs, paths, Txt, sink);
    if (!lines) return kFailed;
    const auto found = LinesNamed(*lines, {name}, sink);
    if (!found) return kFailed;
    const CatalogueEntry member = ReadCatalogueLine(found->front().text);
    if (member.size < 0) {
        sink.Say("The index gives the member " + name + " a negative size (" + std::to_string(member.size) +
                 "); it is damaged.");
        return kFailed;
    }
    const auto bytes = ReadTextMember(fs, paths, member, sink);
    if (!bytes) return kFailed;
    if (!WriteOut(*bytes)) {
        sink.Say("The member could not be written to standard output.");
        return kFailed;
    }
    return kSuccess;
}

int Extract(const ArchiveContext& context, const CommandLine& line, TerminalSink& sink) {
    const std::vector<std::string> names(line.words.begin() + 1, line.words.end());
    const auto lines = CatalogueLines(context.fs, context.paths, Shp, sink);
    if (!lines) return kFailed;
    std::vector<std::string> wanted = names;
    if (line.all)
        for (const std::string& listed : *lines) wanted.push_back(ReadCatalogueLine(listed).name);
    const auto found = LinesNamed(*lines, wanted, sink);
    if (!found) return kFailed;

    std::filesystem::path outDir = line.outDir.empty() ? std::filesystem::current_path()
                                                       : std::filesystem::absolute(line.outDir).lexically_normal();
    if (outDir.filename().empty()) outDir = outDir.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    if (ec) {
        sink.Say("The output directory " + outDir.string() + " could not be made (" + ec.message() +
                 ").\nNothing was written.");
        return kFailed;
    }
    // What an extraction into the same directory left half written when it
    // died goes first, once; under the shared lock, so that shp.qax is whole.
    if (const auto lock = DirectoryLock::TryAcquire(DataDirectoryOf(context.paths), LockKind::Shared)) {
        const std::string removed = RemoveUnfinishedExtractions(context.fs, context.paths, outDir.string());
        if (!removed.empty()) sink.Say(removed.substr(2));
    }
    for (const ListedLine& member : *found) {
        const ArchiveOutcome outcome = ExtractShpMember(context, member, outDir.string());
        if (outcome != ArchiveOutcome::Done) return kFailed;
        WriteOut((outDir / (ReadCatalogueLine(member.text).name + ".SHP")).string() + "\n");
    }
    return kSuccess;
}

int Replace(const ArchiveContext& context, int group, const std::vector<std::string>& pairs, TerminalSink& sink) {
    std::vector<std::string> names;
    std::vector<std::string> files;
    for (const std::string& pair : pairs) {
        const auto equals = pair.find('=');
        names.push_back(pair.substr(0, equals));
        files.push_back(equals == std::string::npos ? std::string() : pair.substr(equals + 1));
    }
    const auto lines = CatalogueLines(context.fs, context.paths, group, sink);
    if (!lines) return kFailed;
    const auto found = LinesNamed(*lines, names, sink);
    if (!found) return kFailed;
    std::vector<MemberReplacement> replacements;
    for (std::size_t i = 0; i < found->size(); ++i) replacements.push_back({(*found)[i], files[i]});
    if (ReplaceMembers(context, group, replacements) != ArchiveOutcome::Done) return kFailed;

    // The members' new lines, for the script's log.
    const std::vector<std::string> after = FillCatalogue(context.fs, context.paths.IndexPath, context.table, group);
    std::string out;
    for (const ListedLine& member : *found)
        if (static_cast<std::size_t>(member.number) < after.size())
            out += after[static_cast<std::size_t>(member.number)] + "\n";
    return WriteOut(out) ? kSuccess : kFailed;
}

// Reads an archive to its end, so that a file the system cannot read whole
// is found now rather than during a replacement.
Refusal UnreadableProblem(FileSystem& fs, const std::string& path) {
    try {
        auto file = fs.Open(path, OpenMode::Read);
        const std::uint64_t length = file->Length();
        std::vector<char> buffer(std::size_t{1} << 20);
        std::uint64_t read = 0;
        for (std::size_t got; (got = file->Read(buffer.data(), buffer.size())) > 0;) read += got;
        file->Close();
        if (read != length)
            return path + " gave " + std::to_string(read) + " of its " + std::to_string(length) + " bytes";
    } catch (const IoError& error) {
        return std::string(error.what());
    }
    return {};
}

int Check(FileSystem& fs, const DataSetPaths& paths, TerminalSink& sink) {
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(DataDirectoryOf(paths), LockKind::Shared);
    } catch (const IoError& error) {
        sink.Say(std::string("The data directory cannot be opened: ") + error.what());
        return kFailed;
    }
    if (!lock) {
        sink.Say("Another editor is changing this data set right now; check it when it has finished.");
        return kFailed;
    }
    bool sound = true;
    std::string out;
    const auto report = [&](bool ok, const std::string& text) {
        sound = sound && ok;
        out += (ok ? "ok: " : "problem: ") + text + "\n";
    };

    const StartUpResult start = StartUpCheck(fs, paths);
    if (!start.Ready()) {
        report(false, StartUpProblem(start));
    } else {
        const SectionTable& table = start.table;
        report(true, "the section file fits the index (" + std::to_string(table.EntryCount(Txt)) + " Txt and " +
                         std::to_string(table.EntryCount(Shp)) + " Shp entries)");
        for (const int group : {Txt, Shp}) {
            const std::string& archivePath = group == Txt ? paths.TxtArchivePath : paths.ShpArchivePath;
            const char* type = group == Txt ? "Txt" : "Shp";
            try {
                auto index = fs.Open(paths.IndexPath, OpenMode::Read);
                const std::vector<IndexEntry> members = ReadGroupEntries(*index, table, group);
                index->Close();
                auto archive = fs.Open(archivePath, OpenMode::Read);
                const std::uint64_t length = archive->Length();
                archive->Close();
                Refusal problem = MemberSizeRefusal(members);
                if (!problem) problem = MemberBoundsRefusal(members, length, archivePath);
                if (!problem) problem = UnreadableProblem(fs, archivePath);
                report(!problem, problem ? *problem
                                         : "every " + std::string(type) + " member lies inside " + archivePath + " (" +
                                               std::to_string(length) + " bytes)");
                if (group == Shp) {
                    const Refusal layout = BackToBackRefusal(members);
                    report(!layout, layout ? *layout : "the Shp members lie back to back");
                }
            } catch (const IoError& error) {
                report(false, error.what());
            }
        }
    }
    const RecoveryReport recovery = DescribeInterruptedRebuild(fs, paths);
    report(recovery.state == RecoveryState::Clean,
           recovery.state == RecoveryState::Clean ? "no interrupted replacement and no leftovers" : recovery.text);
    return WriteOut(out) && sound ? kSuccess : kFailed;
}

// Set by the handler of SIGINT, SIGTERM and SIGHUP, and read between file
// steps: a signal handler can reach nothing else.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void RequestStop(int signal) {
    stopSignal = signal;
}

// A polite stop is not obeyed at once: the replacement under way fails at
// its next write and undoes itself, as after any failure it lives through.
void StopPolitelyOnSignals() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "qaxtool: %s\n\n%s", problem.c_str(), kUsageText);
    return kBadUsage;
}

int RunCommand(StoppableFileSystem& fs, const DataSetPaths& paths, const CommandLine& commandLine,
               std::optional<int> group, TerminalSink& sink);

int Run(int argc, char** argv) {
    std::string problem;
    const std::optional<CommandLine> line = ParseCommandLine(argc, argv, problem);
    if (!line) return Usage(problem);
    if (line->help) return std::fputs(kUsageText, stdout) >= 0 ? kSuccess : kFailed;
    if (line->version) return std::puts("qaxtool 0.1") >= 0 ? kSuccess : kFailed;
    if (line->words.empty()) return Usage("no command given");

    // The command line is checked whole before the data set is opened.
    const std::vector<std::string>& words = line->words;
    const std::string& command = words[0];
    std::optional<int> group;
    if (command == "list" || command == "replace") {
        if (words.size() < 2 || !(group = GroupNamed(words[1])))
            return Usage(command + " needs a type: txt, shp, til, tnm, pal or dat");
        if (command == "list" && words.size() != 2) return Usage("list takes one type");
        if (command == "replace") {
            if (*group != Txt && *group != Shp) return Usage("only txt and shp members can be replaced");
            if (words.size() < 3) return Usage("replace needs at least one NAME=FILE");
            for (std::size_t i = 2; i < words.size(); ++i) {
                const auto equals = words[i].find('=');
                if (equals == std::string::npos || equals == 0 || equals + 1 == words[i].size())
                    return Usage("\"" + words[i] + "\" is not NAME=FILE");
            }
        }
    } else if (command == "show") {
        if (words.size() != 2) return Usage("show takes one name");
    } else if (command == "extract") {
        if (line->all == (words.size() > 1)) return Usage("extract takes names or --all, not both and not neither");
    } else if (command == "check") {
        if (words.size() != 1) return Usage("check takes no arguments");
    } else {
        return Usage("unknown command " + command);
    }
    if ((line->all || !line->outDir.empty()) && command != "extract") return Usage("--all and --out belong to extract");

    const std::string programPath = ProgramPath(argv[0]);
    const DataSetPaths paths = PathsFor(*line, programPath);
    PosixFileSystem disk;
    StoppableFileSystem fs(disk, [] { return stopSignal != 0; });
    TerminalSink sink(::isatty(STDERR_FILENO) == 1);
    StopPolitelyOnSignals();
    const int status = RunCommand(fs, paths, *line, group, sink);
    if (stopSignal == 0) return status;
    sink.Say(std::string("Stopped by a signal (") + strsignal(stopSignal) + "): " +
             (fs.Stopped() ? "what the command had begun was undone, as said above."
                           : "the command had already finished, as said above."));
    return 128 + stopSignal;
}

int RunCommand(StoppableFileSystem& fs, const DataSetPaths& paths, const CommandLine& commandLine,
               std::optional<int> group, TerminalSink& sink) {
    const CommandLine* line = &commandLine;
    const std::vector<std::string>& words = line->words;
    const std::string& command = words[0];
    if (command == "check") return Check(fs, paths, sink);

    const StartUpResult start = StartUpCheck(fs, paths);
    // A replacement that a dead process left half done is finished or
    // undone before anything is read, as the editor does when it starts.
    if (start.status != StartUpStatus::MissingFiles) {
        const RecoveryReport recovery = RecoverAtStartUp(fs, paths);
        if (!recovery.text.empty()) sink.Say(recovery.text);
    }
    if (!start.Ready()) {
        sink.Say(StartUpProblem(start));
        return kFailed;
    }
    const ArchiveContext context{fs, paths, start.table, sink};
    try {
        if (command == "list") return List(fs, paths, *group, sink);
        if (command == "show") return Show(fs, paths, words[1], sink);
        if (command == "extract") return Extract(context, *line, sink);
        return Replace(context, *group, {words.begin() + 2, words.end()}, sink);
    } catch (const std::exception& error) {
        // The core reports the failures it expects; anything else still
        // ends the program with its reason and a failure status.
        sink.Say(error.what());
        return kFailed;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // No failure leaves the program as an exception: each is a message and
    // a failure status.
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qaxtool: %s\n", error.what());
    } catch (...) {
        std::fputs("qaxtool: stopped by an unexpected failure\n", stderr);
    }
    return kFailed;
}
