// qaxtool: the editor's core from the command line, for scripted mod builds.
//
// It finds the data set as the editor does (the `data` directory one level
// above its own directory) unless told with --data, runs the same recovery
// of an interrupted replacement first, and takes the same locks, so it can
// run beside an open editor. Results go to standard output, everything said
// to the user to standard error.
#ifdef _WIN32
// windows.h before the headers that build on it.
#include "windows_api.h"
// clang-format off
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>
// clang-format on
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
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
constexpr int kBusy = 3;

constexpr const char* kVersion = "qaxtool " QAX_VERSION;

// Set by the handler of the stop signals, and read between steps: a
// signal handler can reach nothing else.
volatile std::sig_atomic_t stopSignal = 0;

constexpr const char* kUsageText =
    "Usage: qaxtool [OPTION]... COMMAND [ARGUMENT]...\n"
    "\n"
    "Commands:\n"
    "  list TYPE [PATTERN]...        the members of a type (txt shp til tnm pal dat), as the\n"
    "                                editor lists them; --names, --json, --null for scripts\n"
    "  show [TYPE] NAME              all the bytes of a member (txt, the default, or shp),\n"
    "                                to standard output\n"
    "  extract [TYPE] PATTERN... | --all\n"
    "                                members (shp, the default, or txt) to NAME.SHP or\n"
    "                                NAME.TXT files, in --out DIR or here; --stdout for\n"
    "                                one member\n"
    "  replace TYPE NAME=FILE...     Txt or Shp members replaced in one rebuild, in the order\n"
    "                                given; FILE - is standard input\n"
    "  apply MANIFEST                a whole mod in one transaction: lines of TYPE NAME FILE,\n"
    "                                Txt and Shp mixed (- reads the manifest from standard\n"
    "                                input; FILE is relative to the manifest's directory;\n"
    "                                blank lines and lines starting with # are skipped)\n"
    "  check                         whether the data set is sound; changes nothing\n"
    "\n"
    "Options:\n"
    "  -d, --data=DIR        the data directory (default: `data` beside this program's directory)\n"
    "  -o, --out=DIR         where extract writes (made when missing)\n"
    "  -a, --all             extract every member of the type\n"
    "  -t, --type=TYPE       the type, for list, show, extract and replace: the same as\n"
    "                        giving TYPE as the first word after the command\n"
    "  -O, --stdout          extract one member to standard output\n"
    "  -k, --keep-old        extract leaves files that are there already\n"
    "  -T, --files-from=FILE the names (extract) or NAME=FILE pairs (replace) one per line\n"
    "                        in FILE, - for standard input\n"
    "      --null            -T entries and list output end with a zero byte, not a newline\n"
    "      --names           list only the names\n"
    "      --json            list as JSON: type, line, entry (its place in the index), name,\n"
    "                        size, offset; name bytes above 127 as Latin-1 characters;\n"
    "                        check, extract, replace and apply: one JSON document of\n"
    "                        what was (or would be) done to each member\n"
    "  -i, --ignore-case     names and patterns match in either case\n"
    "  -n, --dry-run         replace and apply check everything and change nothing\n"
    "  -w, --wait[=SECONDS]  wait for another editor to finish (without SECONDS: as long as\n"
    "                        it takes) instead of giving up at once\n"
    "  -q, --quiet           say only what went wrong\n"
    "  -v, --verbose         also say what was done to each member\n"
    "  -h, --help            this text\n"
    "  -V, --version         the version\n"
    "\n"
    "Names in list and extract are shell patterns (*, ?, [...]); a name with none of\n"
    "those characters means just that member. show, replace and apply take plain names.\n"
    "Use -- before a name that starts with -.\n"
    "\n"
    "Exit status: 0 success, 1 refused or failed, 2 bad usage, 3 the data set was busy\n"
    "(another editor was changing it); 128+N when stopped by signal N.\n";

// The core's messages on standard error; progress marks become one line
// that rewrites itself, but only on a terminal: a log file gets no such line.
// A refusal because another editor holds the data set is noted apart, for
// the exit status, and held back while the tool may still wait for it.
class TerminalSink : public ReportSink {
public:
    TerminalSink(bool progressLine, bool quiet) : progressLine_(progressLine && !quiet), quiet_(quiet) {}
    ~TerminalSink() override { EndProgressLine(); }

    void SetPaneText(const std::string& text) override {
        if (!text.empty() && text != pane_) Note(text);
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
    void ShowMessage(const std::string& text, const std::string& caption) override {
        if (caption == kDataSetBusyCaption) {
            busy_ = true;
            heldBusyText_ = text;
            if (!holdBusy_) Say(text);
            return;
        }
        Say(text);
    }
    // The window names the file; a script's log needs the reason too. A
    // file the stop cut short is no fault of the file: the stop is said as
    // a stop, once, when the program ends.
    void ShowFileError(const std::string& text, const std::string&, const std::string& reason) override {
        if (reason == StopReason()) return;
        if (text.find(reason) != std::string::npos) return Say(text);
        std::string withReason = text;
        while (!withReason.empty() && withReason.back() == '\n') withReason.pop_back();
        Say(withReason + " (" + reason + ")");
    }
    void SetBusyCursor(bool busy) override {
        if (!busy) EndProgressLine();
    }
    void ProcessEvents() override {}

    // Something that went wrong: always said. A command that only reads
    // has nothing to undo, so the editor's "Nothing was changed." is left
    // out of what it says.
    void Say(std::string text) {
        EndProgressLine();
        // The core's paragraph about a file the stop cut short goes: the
        // stop is said once, as a stop, when the program ends.
        if (const std::size_t at = text.find(StopReason()); at != std::string::npos) {
            const std::size_t open = text.rfind("\n\n", at);
            const std::size_t start = open == std::string::npos ? 0 : open + 2;
            const std::size_t close = text.find("\n\n", at);
            text.erase(start, close == std::string::npos ? std::string::npos : close + 2 - start);
            while (!text.empty() && text.back() == '\n') text.pop_back();
            if (text.empty()) return;
        }
        if (readOnly_) {
            for (std::size_t at; (at = text.find(kNothingChanged)) != std::string::npos;)
                text.erase(at, std::strlen(kNothingChanged));
            while (!text.empty() && text.back() == '\n') text.pop_back();
            if (text.empty()) return;
        }
        std::fprintf(stderr, "qaxtool: %s\n", text.c_str());
    }
    void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
    // Something the user may like to know: not with --quiet.
    void Note(const std::string& text) {
        if (!quiet_) Say(text);
    }

    // Each attempt of a command that may wait for the lock starts afresh.
    void BeginAttempt(bool holdBusy) {
        busy_ = false;
        holdBusy_ = holdBusy;
    }
    bool Busy() const { return busy_; }
    void SayHeldBusy() {
        if (holdBusy_ && busy_) Say(heldBusyText_);
    }

private:
    void EndProgressLine() {
        if (lineOpen_) std::fputc('\n', stderr);
        lineOpen_ = false;
    }

    static constexpr const char* kNothingChanged = "\nNothing was changed.";
    static std::string StopReason() { return MakeDataError(DataError::Stopped).message(); }

    bool progressLine_;
    bool quiet_;
    bool readOnly_ = false;
    bool lineOpen_ = false;
    bool busy_ = false;
    bool holdBusy_ = false;
    std::string heldBusyText_;
    unsigned long marks_ = 0;
    std::string pane_;
};

struct CommandLine {
    std::string dataDir;
    std::string outDir;
    std::optional<int> type;  // -t; a first word naming a type comes here too
    std::string filesFrom;
    bool all = false;
    bool help = false;
    bool version = false;
    bool quiet = false;
    bool verbose = false;
    bool dryRun = false;
    bool null = false;
    bool names = false;
    bool json = false;
    bool toStdout = false;
    bool keepOld = false;
    bool ignoreCase = false;
    std::optional<double> waitSeconds;  // infinity: as long as it takes
    std::vector<std::string> words;     // the command and its arguments
};

// The types as the command line names them.
const char* const kTypeWords[kMemberTypeCount] = {"txt", "shp", "til", "tnm", "pal", "dat"};

std::optional<int> GroupNamed(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (int group = 0; group < kMemberTypeCount; ++group)
        if (name == kTypeWords[group]) return group;
    return std::nullopt;
}

const char* GroupWord(int group) {
    return kTypeWords[group];
}

enum LongOnly { kNullOption = 1000, kNamesOption, kJsonOption };

std::optional<CommandLine> ParseCommandLine(int argc, char** argv, std::string& problem) {
    static const option kOptions[] = {
        {"data", required_argument, nullptr, 'd'},
        {"out", required_argument, nullptr, 'o'},
        {"all", no_argument, nullptr, 'a'},
        {"type", required_argument, nullptr, 't'},
        {"stdout", no_argument, nullptr, 'O'},
        {"keep-old", no_argument, nullptr, 'k'},
        {"files-from", required_argument, nullptr, 'T'},
        {"null", no_argument, nullptr, kNullOption},
        {"names", no_argument, nullptr, kNamesOption},
        {"json", no_argument, nullptr, kJsonOption},
        {"ignore-case", no_argument, nullptr, 'i'},
        {"dry-run", no_argument, nullptr, 'n'},
        {"wait", optional_argument, nullptr, 'w'},
        {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    const auto nameOf = [](int code) -> std::string {
        for (const option& o : kOptions)
            if (o.name != nullptr && o.val == code) return std::string("--") + o.name;
        return std::string("-") + static_cast<char>(code);
    };
    CommandLine line;
    // An empty value (an unset variable in a script) names no directory or
    // file: taking it for "the default" would act on something the user
    // never named.
    const auto value = [&](int code, std::string& into, const char* what) {
        if (optarg == nullptr || optarg[0] == '\0') {
            problem = nameOf(code) + " needs " + what;
            return false;
        }
        into = optarg;
        return true;
    };
    optind = 0;  // a fresh scan (GNU: also resets its internal state)
    opterr = 0;  // the problems are told here, with the usage
    for (int code; (code = ::getopt_long(argc, argv, ":d:o:at:OkT:inw::qvhV", kOptions, nullptr)) != -1;) {
        std::string text;
        switch (code) {
            case 'd':
                if (!value(code, line.dataDir, "a directory")) return std::nullopt;
                break;
            case 'o':
                if (!value(code, line.outDir, "a directory")) return std::nullopt;
                break;
            case 'T':
                if (!value(code, line.filesFrom, "a file")) return std::nullopt;
                break;
            case 't':
                if (!value(code, text, "a type")) return std::nullopt;
                line.type = GroupNamed(text);
                if (!line.type) {
                    problem = "--type takes txt, shp, til, tnm, pal or dat, not \"" + text + "\"";
                    return std::nullopt;
                }
                break;
            case 'w': {
                if (optarg == nullptr) {
                    line.waitSeconds = INFINITY;
                    break;
                }
                // Any number a user can type: one too large for the system
                // (1e400 included) means the longest wait it can keep.
                char* end = nullptr;
                const double seconds = std::strtod(optarg, &end);
                if (end == optarg || *end != '\0' || std::isspace(static_cast<unsigned char>(optarg[0])) ||
                    !(seconds >= 0)) {
                    problem = "--wait takes a number of seconds, 0 or more";
                    return std::nullopt;
                }
                line.waitSeconds = seconds;
                break;
            }
            case 'a':
                line.all = true;
                break;
            case 'O':
                line.toStdout = true;
                break;
            case 'k':
                line.keepOld = true;
                break;
            case 'i':
                line.ignoreCase = true;
                break;
            case 'n':
                line.dryRun = true;
                break;
            case 'q':
                line.quiet = true;
                break;
            case 'v':
                line.verbose = true;
                break;
            case 'h':
                line.help = true;
                break;
            case 'V':
                line.version = true;
                break;
            case kNullOption:
                line.null = true;
                break;
            case kNamesOption:
                line.names = true;
                break;
            case kJsonOption:
                line.json = true;
                break;
            case ':':
                problem = nameOf(optopt) + (optopt == 'T'   ? " needs a file"
                                            : optopt == 't' ? " needs a type"
                                                            : " needs a directory");
                return std::nullopt;
            default:
                problem = "unknown option " +
                          (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1]));
                return std::nullopt;
        }
    }
    for (int i = optind; i < argc; ++i) line.words.push_back(argv[i]);
    return line;
}

// The directory the program runs from, as the system knows it, so that the
// data set is found wherever the program is started from.
std::string ProgramPath(const std::string& argv0) {
    if (const std::optional<std::string> self = RunningProgramPath()) return *self;
    std::error_code ec;
    return Utf8Of(std::filesystem::absolute(PathFromUtf8(argv0), ec));
}

// The temporary copy lies in the data directory itself: one copy per data
// set, whichever directory the tool runs from (one tool may serve several
// data sets), and a tool whose own directory may not be written (on the
// PATH) still replaces.
DataSetPaths PathsFor(const CommandLine& line, const std::string& programPath) {
    std::string dataDir;
    if (line.dataDir.empty()) {
        dataDir = Utf8Of(PathFromUtf8(DeriveDataSetPaths(programPath).IndexPath).parent_path());
    } else {
        std::filesystem::path given = std::filesystem::absolute(PathFromUtf8(line.dataDir)).lexically_normal();
        if (given.filename().empty()) given = given.parent_path();
        dataDir = Utf8Of(given);
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

std::string Folded(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

// A group as the index gives it now: each member's entry and list line,
// and where each name is, so that finding a member costs the same however
// many there are (a translation names every one of 20,000).
struct Listing {
    SectionTable table;
    std::vector<IndexEntry> entries;
    std::vector<std::string> lines;
    std::vector<std::string> names;
    std::unordered_map<std::string, std::vector<int>> linesOfName;
    std::unordered_map<std::string, std::vector<int>> linesOfFoldedName;  // in either case
    int group = Txt;

    const std::string& NameAt(std::size_t i) const { return names[i]; }
    // The lines of `name`, in list order; in either case with `ignoreCase`.
    const std::vector<int>& LinesOf(const std::string& name, bool ignoreCase) const {
        static const std::vector<int> kNone;
        const auto& map = ignoreCase ? linesOfFoldedName : linesOfName;
        const auto found = map.find(ignoreCase ? Folded(name) : name);
        return found == map.end() ? kNone : found->second;
    }
};

std::optional<Listing> ListGroup(FileSystem& fs, const DataSetPaths& paths, int group, TerminalSink& sink) {
    const CurrentSectionTable current = ReadCurrentSectionTable(fs, paths);
    if (current.refusal) {
        sink.Say(*current.refusal);
        return std::nullopt;
    }
    Listing listing{current.table, {}, FillCatalogue(fs, paths.IndexPath, current.table, group), {}, {}, {}, group};
    try {
        auto index = fs.Open(paths.IndexPath, OpenMode::Read);
        listing.entries = ReadGroupEntries(*index, current.table, group);
    } catch (const IoError& error) {
        FileErrorReport(sink, error);
        return std::nullopt;
    }
    if (listing.entries.size() != listing.lines.size()) {
        sink.Say("The index could not be read whole: " + paths.IndexPath);
        return std::nullopt;
    }
    for (std::size_t i = 0; i < listing.lines.size(); ++i) {
        listing.names.push_back(ReadCatalogueLine(listing.lines[i]).name);
        listing.linesOfName[listing.names.back()].push_back(static_cast<int>(i));
        listing.linesOfFoldedName[Folded(listing.names.back())].push_back(static_cast<int>(i));
    }
    return listing;
}

// A name or pattern that matches nothing, said as such; where it matches
// in another case, the member's own name is offered.
// Where a name is missing from Txt or Shp but is a member of the other, a
// hint naming that type and the command that would reach it. The other
// type is read only when a name is missing, and then once.
class OtherTypeHint {
public:
    // `command` and `suffix` frame the name in the command offered
    // ("extract", ""; "replace", "=FILE"); no command, no command offered.
    OtherTypeHint(FileSystem& fs, const DataSetPaths& paths, int group, std::string command, std::string suffix,
                  TerminalSink& sink)
        : fs_(fs),
          paths_(paths),
          group_(group == Txt ? Shp : Txt),
          command_(std::move(command)),
          suffix_(std::move(suffix)),
          sink_(sink) {}
    std::string For(const std::string& pattern, bool ignoreCase);

private:
    FileSystem& fs_;
    const DataSetPaths& paths_;
    int group_;
    std::string command_;
    std::string suffix_;
    TerminalSink& sink_;
    bool read_ = false;
    std::optional<Listing> listing_;
};

void SayNoMatch(const Listing& listing, const std::string& pattern, TerminalSink& sink, OtherTypeHint* other = nullptr,
                bool ignoreCase = false);

// The one line of the list that shows `name`; nothing, after a message, when
// it is not there (naming a member that differs only in case) or is there
// more than once.
std::optional<int> LineNamed(const Listing& listing, const std::string& name, bool ignoreCase, TerminalSink& sink,
                             OtherTypeHint* other = nullptr) {
    const std::vector<int>& found = listing.LinesOf(name, ignoreCase);
    if (found.empty()) {
        SayNoMatch(listing, name, sink, other, ignoreCase);
        return std::nullopt;
    }
    if (found.size() > 1) {
        sink.Say("The name " + name + " is not unique: " + GroupWord(listing.group) + " members " +
                 std::to_string(found[0] + 1) + " and " + std::to_string(found[1] + 1) +
                 " both have it.\nNothing was changed.");
        return std::nullopt;
    }
    return found.front();
}

// Each name to its line; nothing, after a message per name that is not
// there, is there more than once, or is given twice: every wrong name is
// told at once, so that a long batch is put right in one go.
std::optional<std::vector<ListedLine>> LinesNamed(const Listing& listing, const std::vector<std::string>& names,
                                                  bool ignoreCase, TerminalSink& sink, OtherTypeHint* other) {
    std::vector<ListedLine> found;
    std::set<int> seen;
    bool whole = true;
    for (const std::string& name : names) {
        const std::optional<int> line = LineNamed(listing, name, ignoreCase, sink, other);
        if (!line) {
            whole = false;
            continue;
        }
        if (!seen.insert(*line).second) {
            sink.Say("The member " + name + " is given twice.");
            whole = false;
            continue;
        }
        found.push_back({*line, listing.lines[static_cast<std::size_t>(*line)]});
    }
    if (!whole) {
        sink.Say("Nothing was changed.");
        return std::nullopt;
    }
    return found;
}

// Whether `c` is one of the characters of the bracket expression that opens
// at `pattern[open]` ('['); where the expression ends goes to `end`. No
// closing ']' makes the '[' an ordinary character: nothing, and `end` stays.
std::optional<bool> InBracket(std::string_view pattern, std::size_t open, unsigned char c, bool ignoreCase,
                              std::size_t& end) {
    std::size_t at = open + 1;
    const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
    if (negated) ++at;
    // A backslash takes the next character as it is.
    const auto next = [&pattern, &at]() -> unsigned char {
        if (pattern[at] == '\\' && at + 1 < pattern.size()) ++at;
        return static_cast<unsigned char>(pattern[at++]);
    };
    bool found = false;
    // A ']' first in the brackets is one of the characters.
    for (bool first = true; at < pattern.size(); first = false) {
        if (pattern[at] == ']' && !first) {
            end = at + 1;
            return found != negated;
        }
        const unsigned char low = next();
        unsigned char high = low;
        if (at + 1 < pattern.size() && pattern[at] == '-' && pattern[at + 1] != ']') {
            ++at;
            high = next();
        }
        const auto inRange = [low, high](int x) { return low <= x && x <= high; };
        found = found || inRange(c) || (ignoreCase && (inRange(std::tolower(c)) || inRange(std::toupper(c))));
    }
    return std::nullopt;
}

// A shell pattern against a whole name: `*` any run of characters, `?` any
// one, `[...]` one of a set (`[!...]` or `[^...]`: one not in it, `a-z` a
// range), a backslash the next character itself. The same matcher on every
// system, so that a script picks the same members everywhere.
bool MatchesPattern(std::string_view pattern, std::string_view name, bool ignoreCase) {
    const auto same = [ignoreCase](unsigned char a, unsigned char b) {
        return a == b || (ignoreCase && std::tolower(a) == std::tolower(b));
    };
    std::size_t p = 0;
    std::size_t n = 0;
    // Where the last `*` was, and the name's place when it was tried: a
    // mismatch later lets that star take one more character.
    std::optional<std::size_t> star;
    std::size_t starName = 0;
    while (n < name.size()) {
        const auto c = static_cast<unsigned char>(name[n]);
        if (p < pattern.size() && pattern[p] == '*') {
            star = ++p;
            starName = n;
            continue;
        }
        if (p < pattern.size()) {
            std::size_t end = p + 1;
            bool matches = false;
            if (pattern[p] == '?') {
                matches = true;
            } else if (pattern[p] == '[') {
                const std::optional<bool> in = InBracket(pattern, p, c, ignoreCase, end);
                matches = in ? *in : c == '[';
            } else if (pattern[p] == '\\' && p + 1 < pattern.size()) {
                matches = same(static_cast<unsigned char>(pattern[p + 1]), c);
                end = p + 2;
            } else {
                matches = same(static_cast<unsigned char>(pattern[p]), c);
            }
            if (matches) {
                p = end;
                ++n;
                continue;
            }
        }
        if (!star) return false;
        p = *star;
        n = ++starName;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// The lines whose names match a shell pattern; a plain name is looked up.
std::vector<int> LinesMatching(const Listing& listing, const std::string& pattern, bool ignoreCase) {
    if (pattern.find_first_of("*?[\\") == std::string::npos) return listing.LinesOf(pattern, ignoreCase);
    std::vector<int> found;
    for (std::size_t i = 0; i < listing.lines.size(); ++i)
        if (MatchesPattern(pattern, listing.NameAt(i), ignoreCase)) found.push_back(static_cast<int>(i));
    return found;
}

std::string OtherTypeHint::For(const std::string& pattern, bool ignoreCase) {
    if (!read_) {
        read_ = true;
        listing_ = ListGroup(fs_, paths_, group_, sink_);
    }
    if (!listing_ || LinesMatching(*listing_, pattern, ignoreCase).empty()) return {};
    const std::string type = GroupWord(group_);
    return "; " + pattern + (pattern.find_first_of("*?[\\") == std::string::npos ? " is a " : " matches ") + type +
           (pattern.find_first_of("*?[\\") == std::string::npos ? " member" : " members") +
           (command_.empty() ? std::string() : ": try qaxtool " + command_ + " " + type + " " + pattern + suffix_);
}

void SayNoMatch(const Listing& listing, const std::string& pattern, TerminalSink& sink, OtherTypeHint* other,
                bool ignoreCase) {
    const std::vector<int> inAnyCase = LinesMatching(listing, pattern, true);
    std::string hint;
    if (!inAnyCase.empty())
        hint = " (did you mean " + listing.NameAt(static_cast<std::size_t>(inAnyCase[0])) + "?)";
    else if (other != nullptr)
        hint = other->For(pattern, ignoreCase);
    sink.Say("No member matches " + pattern + hint);
}

std::unique_ptr<DirectoryLock> ReadingLock(FileSystem& fs, const DataSetPaths& paths, TerminalSink& sink) {
    return LockDataSetForReading(fs, paths, sink, kFileErrorCaption);
}

// Standard output, with the system's reason when it cannot be written (a
// full disk, a closed pipe).
bool WriteOut(const std::string& bytes, TerminalSink& sink) {
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0) return true;
    sink.Say(std::string("Could not write to standard output (") +
             (errno != 0 ? std::strerror(errno) : "the stream failed") + ")");
    return false;
}

// Names as JSON strings: the index holds bytes, shown as Latin-1 characters.
// Paths and sentences are the program's own UTF-8 and go as they are.
enum class JsonText { Latin1, Utf8 };
std::string JsonString(const std::string& bytes, JsonText text = JsonText::Latin1) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F || (byte > 0x7F && text == JsonText::Latin1)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A member's place in its archive, as the JSON documents give it; an
// offset not known yet (a dry run's) is null.
std::string JsonPlace(std::int64_t size, std::optional<std::uint32_t> offset) {
    return "{\"size\": " + std::to_string(size) +
           ", \"offset\": " + (offset ? std::to_string(*offset) : std::string("null")) + "}";
}

// How reading standard input ended.
enum class InputEnd { Whole, Stopped, Failed };

// Standard input to its end, in pieces handed to `take` (false: it failed,
// errno says why). A stop signal ends it at once, however long the writer
// of the input keeps it open.
InputEnd ReadStandardInput(const std::function<bool(const char*, std::size_t)>& take, int& reason) {
    std::vector<char> buffer(std::size_t{1} << 16);
    for (;;) {
        if (stopSignal != 0) return InputEnd::Stopped;
#ifdef _WIN32
        errno = 0;
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), stdin);
        if (got > 0 && !take(buffer.data(), got)) {
            reason = errno != 0 ? errno : EIO;
            return InputEnd::Failed;
        }
        if (got == buffer.size()) continue;
        if (std::feof(stdin)) return InputEnd::Whole;
        if (errno == EINTR) {
            std::clearerr(stdin);
            continue;
        }
        reason = errno != 0 ? errno : EIO;
        return InputEnd::Failed;
#else
        // Waits a little at a time, so that a signal that comes just before
        // the wait still ends it soon.
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 100);
        if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got == 0) return InputEnd::Whole;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            reason = errno;
            return InputEnd::Failed;
        }
        if (!take(buffer.data(), static_cast<std::size_t>(got))) {
            reason = errno != 0 ? errno : EIO;
            return InputEnd::Failed;
        }
#endif
    }
}

// Standard input kept in a file of its own for as long as the tool runs:
// a replacement needs a regular file with fixed bytes. In the system's
// temporary directory, never in the data directory. Where the system
// allows it the file has no name at all (or loses it as soon as it is
// made) and is reached through the tool's own descriptor, so that nothing
// of it outlives the tool, however it ends; on Windows the system deletes
// it when the tool's handle closes.
class SpooledInput {
public:
    SpooledInput() = default;
    SpooledInput(const SpooledInput&) = delete;
    SpooledInput& operator=(const SpooledInput&) = delete;
    ~SpooledInput() {
#ifdef _WIN32
        if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
#else
        if (fd_ >= 0) ::close(fd_);
        if (!namedPath_.empty()) ::unlink(namedPath_.c_str());
#endif
    }

    bool Filled() const {
        return !path_.empty();
    }
    // The name the replacement opens it by.
    const std::string& Path() const {
        return path_;
    }

    // Reads standard input whole into the spool; false, after a message,
    // when it could not (and nothing said when a stop ended it).
    bool Fill(TerminalSink& sink) {
        std::string where;
        if (!Create(where)) {
            sink.Say("Could not keep standard input in " + where + " (" + std::strerror(errno) + ")");
            return false;
        }
        int reason = 0;
        const InputEnd end =
            ReadStandardInput([this](const char* bytes, std::size_t count) { return Write(bytes, count); }, reason);
        if (end == InputEnd::Failed)
            sink.Say(std::string("Could not read standard input (") + std::strerror(reason) + ")");
        if (end != InputEnd::Whole) return false;
        path_ = readPath_;
        return true;
    }

private:
#ifdef _WIN32
    bool Create(std::string& where) {
        wchar_t directory[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, directory);
        if (length == 0 || length > MAX_PATH) {
            where = "the temporary directory";
            errno = ENOENT;
            return false;
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path name =
                std::filesystem::path(std::wstring(directory, length)) / ("qaxtool-stdin-" + RandomHex(6));
            where = Utf8Of(name);
            // Shared for deleting too, so that the replacement may open it by
            // its name while this handle keeps it.
            handle_ = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            if (handle_ != INVALID_HANDLE_VALUE) {
                readPath_ = where;
                return true;
            }
            if (::GetLastError() != ERROR_FILE_EXISTS) break;
        }
        errno = EACCES;
        return false;
    }
    bool Write(const char* bytes, std::size_t count) {
        while (count > 0) {
            DWORD wrote = 0;
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
            if (!::WriteFile(handle_, bytes, piece, &wrote, nullptr)) {
                errno = EIO;
                return false;
            }
            bytes += wrote;
            count -= wrote;
        }
        return true;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    // Whether `path` leads to the file open at `fd`.
    static bool Leads(const std::string& path, int fd) {
        struct stat viaPath {};
        struct stat open {};
        return ::stat(path.c_str(), &viaPath) == 0 && ::fstat(fd, &open) == 0 && viaPath.st_dev == open.st_dev &&
               viaPath.st_ino == open.st_ino;
    }
    bool Create(std::string& where) {
        const char* tmp = std::getenv("TMPDIR");
        const std::string directory = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
        where = directory;
#ifdef O_TMPFILE
        fd_ = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            readPath_ = "/proc/self/fd/" + std::to_string(fd_);
            if (Leads(readPath_, fd_)) return true;
            ::close(fd_);
        }
#endif
        std::string named = directory + "/qaxtool-stdin-XXXXXX";
        where = named;
        fd_ = ::mkstemp(named.data());
        if (fd_ < 0) return false;
        readPath_ = "/proc/self/fd/" + std::to_string(fd_);
        if (Leads(readPath_, fd_)) {
            ::unlink(named.c_str());
        } else {
            // No way to reach it but its name: it goes when the tool ends.
            readPath_ = namedPath_ = named;
        }
        return true;
    }
    bool Write(const char* bytes, std::size_t count) {
        while (count > 0) {
            const ssize_t wrote = ::write(fd_, bytes, count);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            bytes += wrote;
            count -= static_cast<std::size_t>(wrote);
        }
        return true;
    }

    int fd_ = -1;
    std::string namedPath_;
#endif
    std::string readPath_;
    std::string path_;
};

// Where standard input is named: it can be read once, so at most one place
// may name it.
class InputClaim {
public:
    // The usage problem when `place` is the second place to name it.
    std::optional<std::string> Claim(const std::string& place) {
        if (place_.empty()) {
            place_ = place;
            return std::nullopt;
        }
        return "standard input can be read only once, but " + place_ + " and " + place + " both name it";
    }

private:
    std::string place_;
};

// One entry of a list (-T) or line of a manifest, with where it is, for the
// messages about it: "pairs.txt, line 3".
struct SourceLine {
    std::string text;
    std::string where;
};

// The entries of a list or the lines of a manifest: ended by newlines (a
// carriage return before one dropped), or by zero bytes with `null`. The
// problem's exit status goes to `status` when it cannot be read whole.
std::optional<std::vector<SourceLine>> ReadSource(const std::string& source, bool null, TerminalSink& sink,
                                                  int& status) {
    std::string bytes;
    status = kFailed;
    if (source == "-") {
        int reason = 0;
        const InputEnd end = ReadStandardInput(
            [&bytes](const char* piece, std::size_t count) {
                bytes.append(piece, count);
                return true;
            },
            reason);
        if (end == InputEnd::Failed)
            sink.Say(std::string("Could not read standard input (") + std::strerror(reason) + ")");
        if (end != InputEnd::Whole) return std::nullopt;
    } else {
        std::ifstream file(PathFromUtf8(source), std::ios::binary);
        if (!file) {
            sink.Say("Could not open " + source + " (" + std::strerror(errno) + ")");
            return std::nullopt;
        }
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (file.bad()) {
            sink.Say("Could not read " + source);
            return std::nullopt;
        }
    }
    const std::string name = source == "-" ? std::string("standard input") : source;
    const char end = null ? '\0' : '\n';
    std::vector<SourceLine> lines;
    std::size_t number = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t stop = bytes.find(end, at);
        if (stop == std::string::npos) stop = bytes.size();
        std::string text = bytes.substr(at, stop - at);
        at = stop + 1;
        ++number;
        if (!null && !text.empty() && text.back() == '\r') text.pop_back();
        const std::string where = name + (null ? ", entry " : ", line ") + std::to_string(number);
        // A zero byte would end the name where the system reads it: what
        // was meant is not what would be acted on.
        if (text.find('\0') != std::string::npos) {
            sink.Say(where + ": a name or file name cannot hold a zero byte");
            status = kBadUsage;
            return std::nullopt;
        }
        lines.push_back({std::move(text), where});
    }
    return lines;
}

int List(FileSystem& fs, const DataSetPaths& paths, int group, const CommandLine& line, TerminalSink& sink) {
    const auto lock = ReadingLock(fs, paths, sink);
    if (!lock) return kFailed;
    const auto listing = ListGroup(fs, paths, group, sink);
    if (!listing) return kFailed;
    const std::vector<std::string> patterns(line.words.begin() + 1, line.words.end());
    // A pattern that matches nothing is told, and the others still listed.
    int status = kSuccess;
    std::vector<bool> wanted(listing->lines.size(), patterns.empty());
    for (const std::string& pattern : patterns) {
        const std::vector<int> found = LinesMatching(*listing, pattern, line.ignoreCase);
        if (found.empty()) {
            SayNoMatch(*listing, pattern, sink);
            status = kFailed;
        }
        for (const int i : found) wanted[static_cast<std::size_t>(i)] = true;
    }

    const char end = line.null ? '\0' : '\n';
    std::string out = line.json ? "[" : "";
    bool first = true;
    for (std::size_t i = 0; i < listing->lines.size(); ++i) {
        if (!wanted[i]) continue;
        const IndexEntry& entry = listing->entries[i];
        if (line.json) {
            const std::uint64_t place =
                (EntryOffset(listing->table, group, static_cast<std::uint32_t>(i)) - kIndexHeaderSize) /
                kIndexEntrySize;
            out += std::string(first ? "\n" : ",\n") + "  {\"type\": \"" + GroupWord(group) +
                   "\", \"line\": " + std::to_string(i) + ", \"entry\": " + std::to_string(place) +
                   ", \"name\": " + JsonString(listing->NameAt(i)) + ", \"size\": " + std::to_string(entry.size) +
                   ", \"offset\": " + std::to_string(entry.offset) + "}";
        } else {
            out += (line.names ? listing->NameAt(i) : listing->lines[i]) + end;
        }
        first = false;
    }
    if (line.json) out += first ? "]\n" : "\n]\n";
    return WriteOut(out, sink) ? status : kFailed;
}

int Show(FileSystem& fs, const DataSetPaths& paths, const CommandLine& line, TerminalSink& sink) {
    // One lock over the listing and the read: the line read is the line used.
    const auto lock = ReadingLock(fs, paths, sink);
    if (!lock) return kFailed;
    const int group = *line.type;
    const auto listing = ListGroup(fs, paths, group, sink);
    if (!listing) return kFailed;
    OtherTypeHint other(fs, paths, group, "show", "", sink);
    const auto found = LineNamed(*listing, line.words[1], line.ignoreCase, sink, &other);
    if (!found) return kFailed;
    const CatalogueEntry member = ReadCatalogueLine(listing->lines[static_cast<std::size_t>(*found)]);
    if (member.size < 0) {
        sink.Say("The index gives the member " + member.name + " a negative size (" + std::to_string(member.size) +
                 "); it is damaged.");
        return kFailed;
    }
    const auto bytes = ReadWholeMember(fs, paths, group, member, sink);
    if (!bytes) return kFailed;
    return WriteOut(*bytes, sink) ? kSuccess : kFailed;
}

// NAME=FILE, its file - meaning standard input; of `group`, and from
// `where` (for the messages).
struct Pair {
    std::string name;
    std::string file;
    int group = Txt;
    std::string where;
};

std::optional<Pair> SplitPair(const std::string& word) {
    const auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == word.size()) return std::nullopt;
    return Pair{word.substr(0, equals), word.substr(equals + 1), Txt, {}};
}

// What a command takes from the user besides the data set, read whole once
// before the first try, and kept across the tries of --wait: the names to
// extract, the members to replace and their files, and standard input's
// bytes when a member is replaced from it.
struct CommandInput {
    std::vector<std::string> patterns;  // extract
    std::vector<Pair> pairs;            // replace and apply, in the order given
    SpooledInput spool;
};

// The -T entries (a list's entries go after the command line's own).
std::optional<std::vector<SourceLine>> ListEntries(const CommandLine& line, InputClaim& claim, TerminalSink& sink,
                                                   int& status) {
    std::vector<SourceLine> entries;
    if (line.filesFrom.empty()) return entries;
    if (line.filesFrom == "-")
        if (const auto problem = claim.Claim("--files-from -")) {
            sink.Say(*problem);
            status = kBadUsage;
            return std::nullopt;
        }
    auto read = ReadSource(line.filesFrom, line.null, sink, status);
    if (!read) return std::nullopt;
    for (SourceLine& entry : *read)
        if (!entry.text.empty()) entries.push_back(std::move(entry));
    return entries;
}

// A manifest: lines of TYPE NAME FILE; FILE is the rest of the line and,
// when relative, relative to the manifest's own directory.
bool ReadManifest(const std::string& manifest, CommandInput& input, InputClaim& claim, TerminalSink& sink,
                  int& status) {
    if (manifest == "-")
        if (const auto problem = claim.Claim("the manifest -")) {
            sink.Say(*problem);
            status = kBadUsage;
            return false;
        }
    const auto lines = ReadSource(manifest, false, sink, status);
    if (!lines) return false;
    const std::filesystem::path base =
        manifest == "-" ? std::filesystem::path() : std::filesystem::absolute(PathFromUtf8(manifest)).parent_path();
    status = kBadUsage;
    for (const SourceLine& source : *lines) {
        std::istringstream fields(source.text);
        std::string type, name, rest;
        if (!(fields >> type) || type[0] == '#') continue;
        fields >> name;
        std::getline(fields >> std::ws, rest);
        while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
        const auto group = GroupNamed(type);
        const std::string where = source.where + ": ";
        if (!group || (*group != Txt && *group != Shp)) {
            sink.Say(where + "the type must be txt or shp, not \"" + type + "\"");
            return false;
        }
        if (name.empty() || rest.empty()) {
            sink.Say(where + "a line is TYPE NAME FILE");
            return false;
        }
        if (rest == "-")
            if (const auto problem = claim.Claim(source.where)) {
                sink.Say(*problem);
                return false;
            }
        std::filesystem::path path = PathFromUtf8(rest);
        if (rest != "-" && path.is_relative() && !base.empty()) path = base / path;
        input.pairs.push_back({name, rest == "-" ? rest : Utf8Of(path), *group, source.where});
    }
    return true;
}

// Reads everything the command takes besides the data set: its status when
// that fails (a usage problem is 2), or nothing when it may go on.
std::optional<int> ReadCommandInput(const CommandLine& line, std::optional<int> group, CommandInput& input,
                                    TerminalSink& sink) {
    const std::string& command = line.words[0];
    InputClaim claim;
    int status = kFailed;
    if (command == "extract") {
        input.patterns.assign(line.words.begin() + 1, line.words.end());
        const auto entries = ListEntries(line, claim, sink, status);
        if (!entries) return status;
        for (const SourceLine& entry : *entries) input.patterns.push_back(entry.text);
    } else if (command == "replace") {
        for (std::size_t i = 1; i < line.words.size(); ++i) {
            Pair pair = *SplitPair(line.words[i]);
            pair.group = *group;
            pair.where = "the argument " + line.words[i];
            if (pair.file == "-")
                if (const auto problem = claim.Claim(pair.where)) {
                    sink.Say(*problem);
                    return kBadUsage;
                }
            input.pairs.push_back(std::move(pair));
        }
        const auto entries = ListEntries(line, claim, sink, status);
        if (!entries) return status;
        for (const SourceLine& entry : *entries) {
            auto pair = SplitPair(entry.text);
            if (!pair) {
                sink.Say(entry.where + ": \"" + entry.text + "\" is not NAME=FILE");
                return kBadUsage;
            }
            pair->group = *group;
            pair->where = entry.where;
            if (pair->file == "-")
                if (const auto problem = claim.Claim(entry.where)) {
                    sink.Say(*problem);
                    return kBadUsage;
                }
            input.pairs.push_back(std::move(*pair));
        }
        if (input.pairs.empty()) {
            sink.Say("replace needs at least one NAME=FILE");
            return kBadUsage;
        }
    } else if (command == "apply") {
        if (!ReadManifest(line.words[1], input, claim, sink, status)) return status;
        if (input.pairs.empty()) {
            sink.Say(line.words[1] + " names no member.\nNothing was changed.");
            return kFailed;
        }
    }
    for (const Pair& pair : input.pairs)
        if (pair.file == "-") return input.spool.Fill(sink) ? std::nullopt : std::optional<int>(kFailed);
    return std::nullopt;
}

// Two members that would be written to one file (one name twice in the
// index, or two names that differ only in case, which many file systems
// take for one): the message naming them, or nothing.
std::optional<std::string> SameOutputProblem(const Listing& listing, const std::vector<int>& chosen) {
    std::unordered_map<std::string, std::vector<int>> byFile;
    std::vector<std::string> order;
    for (const int i : chosen) {
        auto& lines = byFile[Folded(listing.NameAt(static_cast<std::size_t>(i)))];
        if (lines.size() == 1) order.push_back(Folded(listing.NameAt(static_cast<std::size_t>(i))));
        lines.push_back(i);
    }
    if (order.empty()) return std::nullopt;
    std::string text;
    for (const std::string& file : order) {
        std::string names;
        const std::vector<int>& lines = byFile[file];
        for (std::size_t k = 0; k < lines.size(); ++k)
            names += std::string(k == 0                  ? ""
                                 : k + 1 == lines.size() ? " and "
                                                         : ", ") +
                     listing.NameAt(static_cast<std::size_t>(lines[k])) + " (line " + std::to_string(lines[k] + 1) +
                     ")";
        text += "\nThe members " + names + " would be extracted to the same file.";
    }
    return "Two members of one name cannot both be extracted:" + text + "\nNothing was extracted.";
}

int Extract(const ArchiveContext& context, const CommandLine& line, const CommandInput& input, TerminalSink& sink) {
    const int group = *line.type;
    const std::vector<std::string>& patterns = input.patterns;
    // One shared lock over the whole batch: no replacement can come between
    // two members, and each extraction's own lock is then always granted.
    const auto lock = ReadingLock(context.fs, context.paths, sink);
    if (!lock) return kFailed;
    const auto listing = ListGroup(context.fs, context.paths, group, sink);
    if (!listing) return kFailed;

    // Every member once, in list order for --all, in the order asked for
    // otherwise; a pattern that matches nothing is told and the rest go on.
    int status = kSuccess;
    std::vector<std::string> unmatched;
    std::vector<int> chosen;
    std::vector<bool> seen(listing->lines.size(), false);
    const auto choose = [&](int i) {
        if (!seen[static_cast<std::size_t>(i)]) chosen.push_back(i);
        seen[static_cast<std::size_t>(i)] = true;
    };
    if (line.all)
        for (std::size_t i = 0; i < listing->lines.size(); ++i) choose(static_cast<int>(i));
    OtherTypeHint other(context.fs, context.paths, group, "extract", "", sink);
    for (const std::string& pattern : patterns) {
        const std::vector<int> found = LinesMatching(*listing, pattern, line.ignoreCase);
        if (found.empty()) {
            SayNoMatch(*listing, pattern, sink, &other, line.ignoreCase);
            unmatched.push_back(pattern);
            status = kFailed;
        }
        for (const int i : found) choose(i);
    }

    if (line.toStdout) {
        if (chosen.size() != 1) {
            sink.Say("--stdout takes exactly one member; " + std::to_string(chosen.size()) + " were named.");
            return kFailed;
        }
        const CatalogueEntry member = ReadCatalogueLine(listing->lines[static_cast<std::size_t>(chosen[0])]);
        if (member.size < 0) {
            sink.Say("The index gives the member " + member.name + " a negative size; it is damaged.");
            return kFailed;
        }
        const auto bytes = ReadWholeMember(context.fs, context.paths, group, member, sink);
        if (!bytes || !WriteOut(*bytes, sink)) return kFailed;
        return status;
    }
    // Refused before anything is written: one file would hold whichever
    // member came last, and the other would be extracted nowhere.
    if (const auto problem = SameOutputProblem(*listing, chosen)) {
        sink.Say(*problem);
        return kFailed;
    }

    std::filesystem::path outDir = line.outDir.empty()
                                       ? std::filesystem::current_path()
                                       : std::filesystem::absolute(PathFromUtf8(line.outDir)).lexically_normal();
    if (outDir.filename().empty()) outDir = outDir.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    if (ec) {
        sink.Say("The output directory " + Utf8Of(outDir) + " could not be made (" + ec.message() +
                 ").\nNothing was written.");
        return kFailed;
    }
    const std::string directory = Utf8Of(outDir);
    // What an extraction of this type into the same directory left half
    // written when it died goes first, once, while the archive is whole.
    const std::string removed = RemoveUnfinishedExtractions(context.fs, context.paths, directory, group);
    if (!removed.empty()) sink.Note(removed.substr(2));

    // The member's name is bytes from the index, joined to the directory as
    // the extraction joins it.
    const char* ending = group == Txt ? ".TXT" : ".SHP";
    std::vector<ListedLine> members;
    std::set<int> kept;
    for (const int i : chosen) {
        const std::string name = listing->NameAt(static_cast<std::size_t>(i));
        const std::string output = directory + kPathSeparator + name + ending;
        // A name that cannot be the file's (on Windows, CON.SHP is the
        // console, there or not) is for the extraction to refuse, not kept.
        if (line.keepOld && IsExtractableName(name) && context.fs.Exists(output)) {
            sink.Note("kept " + output + ", which is there already");
            kept.insert(i);
            continue;
        }
        members.push_back({i, listing->lines[static_cast<std::size_t>(i)]});
    }
    std::vector<std::string> written;
    if (!members.empty() && ExtractMembers(context, group, members, directory, written) != ArchiveOutcome::Done)
        status = kFailed;
    std::string out;
    for (const std::string& path : written) {
        if (line.verbose) sink.Say("extracted " + path);
        out += path + "\n";
    }
    if (line.json) {
        const std::set<std::string> done(written.begin(), written.end());
        out = "{\"command\": \"extract\", \"type\": \"" + std::string(GroupWord(group)) + "\", \"unmatched\": [";
        for (std::size_t k = 0; k < unmatched.size(); ++k) out += (k == 0 ? "" : ", ") + JsonString(unmatched[k]);
        out += "], \"members\": [";
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            const auto i = static_cast<std::size_t>(chosen[k]);
            const CatalogueEntry member = ReadCatalogueLine(listing->lines[i]);
            const std::string file = directory + kPathSeparator + listing->NameAt(i) + ending;
            out += std::string(k == 0 ? "\n" : ",\n") + "  {\"name\": " + JsonString(listing->NameAt(i)) +
                   ", \"line\": " + std::to_string(i) + ", \"member\": " + JsonPlace(member.size, member.offset) +
                   ", \"file\": " + JsonString(file, JsonText::Utf8) + ", \"result\": \"" +
                   (done.count(file)        ? "extracted"
                    : kept.count(chosen[k]) ? "kept"
                                            : "not extracted") +
                   "\"}";
        }
        out += chosen.empty() ? "]}\n" : "\n]}\n";
    }
    if (!WriteOut(out, sink)) return kFailed;
    return status;
}

// One group's members, resolved against the index as it is now.
std::optional<GroupReplacements> ResolveGroup(FileSystem& fs, const DataSetPaths& paths, int group,
                                              const std::vector<Pair>& pairs, const CommandLine& line,
                                              const SpooledInput& spool, TerminalSink& sink) {
    const auto listing = ListGroup(fs, paths, group, sink);
    if (!listing) return std::nullopt;
    std::vector<std::string> names;
    for (const Pair& pair : pairs) names.push_back(pair.name);
    // A manifest gives the type on its line: there the hint names the type.
    OtherTypeHint other(fs, paths, group, line.words[0] == "replace" ? "replace" : "", "=FILE", sink);
    const auto found = LinesNamed(*listing, names, line.ignoreCase, sink, &other);
    if (!found) return std::nullopt;
    GroupReplacements batch{group, {}};
    for (std::size_t i = 0; i < found->size(); ++i)
        batch.replacements.push_back({(*found)[i], pairs[i].file == "-" ? spool.Path() : pairs[i].file});
    return batch;
}

// What was replaced (or, in a dry run, would be): per member its place
// before and after; a dry run knows the new size, not where the rebuild
// will put the member.
std::string ReplacementsJson(const ArchiveContext& context, const std::vector<GroupReplacements>& batches,
                             const CommandLine& line,
                             const std::function<std::string(const MemberReplacement&)>& fileOf) {
    std::string out =
        "{\"command\": \"" + line.words[0] + "\", \"dryRun\": " + (line.dryRun ? "true" : "false") + ", \"members\": [";
    bool first = true;
    for (const GroupReplacements& batch : batches) {
        const std::vector<std::string> after =
            line.dryRun ? std::vector<std::string>()
                        : FillCatalogue(context.fs, context.paths.IndexPath, context.table, batch.group);
        for (const MemberReplacement& member : batch.replacements) {
            const CatalogueEntry before = ReadCatalogueLine(member.selected.text);
            const auto number = static_cast<std::size_t>(member.selected.number);
            std::string afterPlace = "null";
            if (line.dryRun) {
                std::error_code ec;
                const auto size = std::filesystem::file_size(PathFromUtf8(member.replacementFileName), ec);
                if (!ec) afterPlace = JsonPlace(static_cast<std::int64_t>(size), std::nullopt);
            } else if (number < after.size()) {
                const CatalogueEntry now = ReadCatalogueLine(after[number]);
                afterPlace = JsonPlace(now.size, now.offset);
            }
            out += std::string(first ? "\n" : ",\n") + "  {\"type\": \"" + GroupWord(batch.group) +
                   "\", \"name\": " + JsonString(before.name) + ", \"line\": " + std::to_string(number) +
                   ", \"file\": " + JsonString(fileOf(member), JsonText::Utf8) + ", \"result\": \"" +
                   (line.dryRun ? "would be replaced" : "replaced") +
                   "\", \"before\": " + JsonPlace(before.size, before.offset) + ", \"after\": " + afterPlace + "}";
            first = false;
        }
    }
    return out + (first ? "]}\n" : "\n]}\n");
}

// The replaced members' new lines, for the script's log, in the order
// given; with --dry-run, what would be done.
int ReplaceBatches(const ArchiveContext& context, const std::vector<GroupReplacements>& batches,
                   const CommandLine& line, const SpooledInput& spool, TerminalSink& sink) {
    const RunMode mode = line.dryRun ? RunMode::DryRun : RunMode::Apply;
    if (ReplaceMembers(context, batches, mode) != ArchiveOutcome::Done) return kFailed;
    std::size_t count = 0;
    for (const GroupReplacements& batch : batches) count += batch.replacements.size();
    const auto fileOf = [&spool](const MemberReplacement& member) {
        return spool.Filled() && member.replacementFileName == spool.Path() ? std::string("standard input")
                                                                            : member.replacementFileName;
    };
    if (line.json) return WriteOut(ReplacementsJson(context, batches, line, fileOf), sink) ? kSuccess : kFailed;
    if (line.dryRun) {
        for (const GroupReplacements& batch : batches)
            for (const MemberReplacement& member : batch.replacements)
                if (line.verbose)
                    sink.Say("would replace " + ReadCatalogueLine(member.selected.text).name + " (" +
                             GroupWord(batch.group) + ") with " + fileOf(member));
        sink.Note(count == 1
                      ? std::string("Dry run: the replacement would go ahead; nothing was changed.")
                      : "Dry run: all " + std::to_string(count) + " replacements would go ahead; nothing was changed.");
        return kSuccess;
    }
    std::string out;
    for (const GroupReplacements& batch : batches) {
        const std::vector<std::string> after =
            FillCatalogue(context.fs, context.paths.IndexPath, context.table, batch.group);
        for (const MemberReplacement& member : batch.replacements) {
            const auto number = static_cast<std::size_t>(member.selected.number);
            if (number < after.size()) out += after[number] + "\n";
            if (line.verbose)
                sink.Say("replaced " + ReadCatalogueLine(member.selected.text).name + " (" + GroupWord(batch.group) +
                         ") with " + fileOf(member));
        }
    }
    return WriteOut(out, sink) ? kSuccess : kFailed;
}

// Replace and apply alike: the pairs by group, each group in the order it
// first comes, resolved and replaced in one transaction.
int ReplacePairs(const ArchiveContext& context, const CommandLine& line, const CommandInput& input,
                 TerminalSink& sink) {
    std::vector<int> order;
    std::map<int, std::vector<Pair>> byGroup;
    for (const Pair& pair : input.pairs) {
        if (!byGroup.count(pair.group)) order.push_back(pair.group);
        byGroup[pair.group].push_back(pair);
    }
    std::vector<GroupReplacements> batches;
    for (const int group : order) {
        const auto batch = ResolveGroup(context.fs, context.paths, group, byGroup[group], line, input.spool, sink);
        if (!batch) return kFailed;
        batches.push_back(*batch);
    }
    return ReplaceBatches(context, batches, line, input.spool, sink);
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

int Check(FileSystem& fs, const DataSetPaths& paths, bool quiet, bool json, TerminalSink& sink) {
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(DataDirectoryOf(paths), LockKind::Shared);
    } catch (const IoError& error) {
        sink.Say(std::string("The data directory cannot be opened: ") + error.what());
        return kFailed;
    }
    if (!lock) {
        sink.ShowMessage("Another editor is changing this data set right now; check it when it has finished.",
                         kDataSetBusyCaption);
        return kFailed;
    }
    bool sound = true;
    std::string out;
    std::string findings;  // as JSON: every finding, --quiet or not
    const auto report = [&](bool ok, const std::string& text) {
        sound = sound && ok;
        findings += std::string(findings.empty() ? "\n" : ",\n") + "  {\"ok\": " + (ok ? "true" : "false") +
                    ", \"text\": " + JsonString(text, JsonText::Utf8) + "}";
        // --quiet: only what went wrong.
        if (!ok || !quiet) out += (ok ? "ok: " : "problem: ") + text + "\n";
    };

    const StartUpResult start = StartUpCheck(fs, paths);
    if (!start.Ready()) {
        report(false, StartUpProblem(start));
    } else {
        const SectionTable& table = start.table;
        report(true, "the section file fits the index (" + std::to_string(table.EntryCount(Txt)) + " Txt and " +
                         std::to_string(table.EntryCount(Shp)) + " Shp entries)");
        for (const int group : {Txt, Shp}) {
            const std::string& archivePath = ArchivePathOf(paths, group);
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
        // One name twice in a type: neither member can be named alone, and
        // extracting both would leave one file holding one of them. (Only
        // the types that are extracted and replaced by name.)
        try {
            auto index = fs.Open(paths.IndexPath, OpenMode::Read);
            std::string shared;
            for (const int group : {Txt, Shp}) {
                const std::vector<IndexEntry> members = ReadGroupEntries(*index, table, group);
                std::unordered_map<std::string, std::vector<std::size_t>> linesOf;
                std::vector<std::string> names;
                for (std::size_t i = 0; i < members.size(); ++i) {
                    std::vector<std::size_t>& lines = linesOf[members[i].name];
                    if (lines.size() == 1) names.push_back(members[i].name);
                    lines.push_back(i + 1);
                }
                for (const std::string& name : names) {
                    std::string lines;
                    const std::vector<std::size_t>& at = linesOf[name];
                    for (std::size_t k = 0; k < at.size(); ++k)
                        lines += std::string(k == 0 ? "" : k + 1 == at.size() ? " and " : ", ") + std::to_string(at[k]);
                    shared += std::string(shared.empty() ? "" : "; ") + GroupWord(group) + " " + name +
                              " is on lines " + lines;
                }
            }
            report(shared.empty(), shared.empty() ? "no two members of one type share a name"
                                                  : "two members of one type share a name: " + shared);
        } catch (const IoError& error) {
            report(false, error.what());
        }
    }
    const RecoveryReport recovery = DescribeInterruptedRebuild(fs, paths);
    report(recovery.state == RecoveryState::Clean,
           recovery.state == RecoveryState::Clean ? "no interrupted replacement and no leftovers" : recovery.text);
    if (json)
        out = std::string("{\"command\": \"check\", \"sound\": ") + (sound ? "true" : "false") + ", \"findings\": [" +
              findings + (findings.empty() ? "]}\n" : "\n]}\n");
    return WriteOut(out, sink) && sound ? kSuccess : kFailed;
}

// The signals that ask for a polite stop, each with the words the message
// names it by. Windows raises SIGINT for Ctrl+C and SIGBREAK for Ctrl+Break
// and knows no hangup; nothing outside the program raises its SIGTERM.
struct StopSignal {
    int number;
    const char* name;
};
constexpr StopSignal kStopSignals[] = {
    {SIGINT, "Interrupt"},
    {SIGTERM, "Terminated"},
#ifdef SIGHUP
    {SIGHUP, "Hangup"},
#endif
#ifdef SIGBREAK
    {SIGBREAK, "Ctrl+Break"},
#endif
};

const char* StopSignalName(int number) {
    for (const StopSignal& signal : kStopSignals)
        if (signal.number == number) return signal.name;
    return "unknown";
}

extern "C" void RequestStop(int signal) {
    stopSignal = signal;
#ifdef _WIN32
    // Windows takes the handler away before calling it: a second Ctrl+C is
    // to be as polite as the first.
    std::signal(signal, RequestStop);
#endif
}

// A polite stop is not obeyed at once: the replacement under way fails at
// its next write and undoes itself, as after any failure it lives through.
void StopPolitelyOnSignals() {
    for (const StopSignal& signal : kStopSignals) {
#ifdef _WIN32
        std::signal(signal.number, RequestStop);
#else
        struct sigaction action {};
        action.sa_handler = RequestStop;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal.number, &action, nullptr);
#endif
    }
}

// A usage problem in one line and where to read more, as a script's log
// wants it: the whole help would bury the line that matters.
constexpr const char* kTryHelp = "Try 'qaxtool --help'.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "qaxtool: %s\n%s", problem.c_str(), kTryHelp);
    return kBadUsage;
}

// The types a command can act on, as its errors offer them.
std::string TypesOf(const std::string& command) {
    return command == "list" ? "txt, shp, til, tnm, pal or dat" : "txt or shp";
}

// The command line checked whole before the data set is opened: the
// problem, or nothing. The type is given the same way to every command
// that takes one, as -t TYPE or as the first word after the command; the
// word is taken out of `line.words`, so that the names follow the command.
std::optional<std::string> UsageProblem(CommandLine& line, std::optional<int>& group) {
    std::vector<std::string>& words = line.words;
    if (words.empty()) return "no command given";
    const std::string command = words[0];
    const bool extract = command == "extract";
    const bool typed = command == "list" || command == "show" || extract || command == "replace";
    if (typed) {
        if (!line.type && words.size() > 1 && GroupNamed(words[1])) {
            line.type = GroupNamed(words[1]);
            words.erase(words.begin() + 1);
        }
        // Show takes a Txt member and extract a Shp one unless told.
        if (!line.type && command == "show") line.type = Txt;
        if (!line.type && extract) line.type = Shp;
        if (!line.type) return command + " needs a type: " + TypesOf(command);
        if (command != "list" && *line.type != Txt && *line.type != Shp)
            return command + " takes " + TypesOf(command) + ", not " + GroupWord(*line.type) +
                   ": only they have archives";
        group = line.type;
    } else if (line.type) {
        return std::string("--type belongs to list, show, extract and replace");
    }
    if (command == "replace") {
        if (words.size() < 2 && line.filesFrom.empty()) return std::string("replace needs at least one NAME=FILE");
        for (std::size_t i = 1; i < words.size(); ++i)
            if (!SplitPair(words[i])) return "\"" + words[i] + "\" is not NAME=FILE";
    } else if (command == "show") {
        if (words.size() != 2) return std::string("show takes one name");
    } else if (extract) {
        const bool named = words.size() > 1 || !line.filesFrom.empty();
        if (line.all == named) return std::string("extract takes names or --all, not both and not neither");
        if (line.toStdout && !line.outDir.empty()) return std::string("--stdout and --out do not go together");
    } else if (command == "apply") {
        if (words.size() != 2) return std::string("apply takes one manifest (or - for standard input)");
    } else if (command == "check") {
        if (words.size() != 1) return std::string("check takes no arguments");
    } else if (command != "list") {
        return "unknown command " + command;
    }
    if (!extract && (line.all || !line.outDir.empty() || line.toStdout || line.keepOld))
        return std::string("--all, --out, --stdout and --keep-old belong to extract");
    if (command != "list" && line.names) return std::string("--names belongs to list");
    if (command == "show" && line.json) return std::string("--json belongs to list, check, extract, replace and apply");
    if (line.json && line.toStdout) return std::string("--json and --stdout do not go together");
    if (line.names && line.json) return std::string("--names and --json do not go together");
    if (line.dryRun && command != "replace" && command != "apply")
        return std::string("--dry-run belongs to replace and apply");
    if (!line.filesFrom.empty() && command != "replace" && !extract)
        return std::string("--files-from belongs to replace and extract");
    if (line.quiet && line.verbose) return std::string("--quiet and --verbose do not go together");
    return std::nullopt;
}

int RunCommand(StoppableFileSystem& fs, FileSystem& disk, const DataSetPaths& paths, const CommandLine& line,
               std::optional<int> group, const CommandInput& input, TerminalSink& sink);

// The longest wait from now the steady clock can keep: any longer wait is
// as long as it takes.
std::chrono::steady_clock::time_point DeadlineAfter(double seconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    const double room = std::chrono::duration<double>(Clock::time_point::max() - now).count();
    // A second short of the limit, so that rounding the seconds to the
    // clock's ticks cannot overflow either.
    if (!(seconds < room - 1)) return Clock::time_point::max();
    return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Whether standard error is a terminal, where a progress line may rewrite
// itself.
bool ErrorsGoToATerminal() {
#ifdef _WIN32
    return ::_isatty(::_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) == 1;
#endif
}

int Run(std::vector<std::string> arguments) {
    // getopt_long reorders the pointers, never the strings they point to.
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string problem;
    std::optional<CommandLine> line = ParseCommandLine(static_cast<int>(arguments.size()), argv.data(), problem);
    if (!line) return Usage(problem);
    if (line->help) return std::fputs(kUsageText, stdout) >= 0 && std::fflush(stdout) == 0 ? kSuccess : kFailed;
    if (line->version) return std::puts(kVersion) >= 0 && std::fflush(stdout) == 0 ? kSuccess : kFailed;
    std::optional<int> group;
    if (const auto usage = UsageProblem(*line, group)) return Usage(*usage);

    const std::string programPath = ProgramPath(arguments.empty() ? std::string() : arguments[0]);
    const DataSetPaths paths = PathsFor(*line, programPath);
    SystemFileSystem disk;
    // The new index's rename is where a replacement takes effect: a stop
    // after it lets the replacement finish.
    StoppableFileSystem fs(
        disk, [] { return stopSignal != 0; }, paths.IndexPath);
    TerminalSink sink(ErrorsGoToATerminal(), line->quiet);
    const std::string& command = line->words[0];
    sink.SetReadOnly(command == "list" || command == "show" || command == "extract" || command == "check");
    StopPolitelyOnSignals();
    const auto stopped = [&sink](const std::string& what) {
        sink.Say(std::string("Stopped by a signal (") + StopSignalName(stopSignal) + "): " + what);
        return 128 + stopSignal;
    };

    // Names, pairs, manifests and standard input are read once, before the
    // data set is opened, whatever the tries.
    CommandInput input;
    if (const std::optional<int> status = ReadCommandInput(*line, group, input, sink)) {
        if (stopSignal != 0) return stopped("standard input was not read to its end, and nothing was changed.");
        if (*status == kBadUsage) std::fputs(kTryHelp, stderr);
        return *status;
    }

    // A busy data set refuses before anything is touched, so the whole
    // command can simply be tried again while the user wants to wait.
    using Clock = std::chrono::steady_clock;
    const bool waits = line->waitSeconds.has_value();
    const Clock::time_point deadline = waits ? DeadlineAfter(*line->waitSeconds) : Clock::time_point::max();
    int status = kFailed;
    for (;;) {
        sink.BeginAttempt(waits);
        status = RunCommand(fs, disk, paths, *line, group, input, sink);
        if (!sink.Busy() || !waits || stopSignal != 0 || Clock::now() >= deadline) break;
        for (int tick = 0; tick < 10 && stopSignal == 0; ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (stopSignal != 0) break;
    }
    if (sink.Busy() && status != kSuccess) {
        if (stopSignal != 0 && waits)
            return stopped("another editor was changing the data set, so nothing was changed.");
        sink.SayHeldBusy();
        status = kBusy;
    }
    if (stopSignal == 0) return status;
    if (fs.Stopped()) return stopped("what the command had begun was undone, as said above.");
    if (fs.Committed())
        return stopped(
            "the replacement had already taken effect when it came, so it was finished, and its temporary "
            "files were cleared up as usual.");
    return stopped("the command had already finished, as said above.");
}

int RunCommand(StoppableFileSystem& fs, FileSystem& disk, const DataSetPaths& paths, const CommandLine& line,
               std::optional<int> group, const CommandInput& input, TerminalSink& sink) {
    const std::vector<std::string>& words = line.words;
    const std::string& command = words[0];
    if (command == "check") return Check(fs, paths, line.quiet, line.json, sink);

    const StartUpResult start = StartUpCheck(fs, paths);
    // A replacement that a dead process left half done is finished or
    // undone before anything is read, as the editor does when it starts; a
    // dry run only tells what recovery would do. A stop does not cut it
    // short: it puts the data set right, and the stop is obeyed after it.
    if (start.status != StartUpStatus::MissingFiles && !line.dryRun) {
        const RecoveryReport recovery = RecoverAtStartUp(disk, paths);
        if (!recovery.text.empty()) sink.Note(recovery.text);
    }
    if (!start.Ready()) {
        sink.Say(StartUpProblem(start));
        return kFailed;
    }
    const ArchiveContext context{fs, paths, start.table, sink};
    try {
        if (command == "list") return List(fs, paths, *group, line, sink);
        if (command == "show") return Show(fs, paths, line, sink);
        if (command == "extract") return Extract(context, line, input, sink);
        return ReplacePairs(context, line, input, sink);
    } catch (const std::exception& error) {
        // The core reports the failures it expects; anything else still
        // ends the program with its reason and a failure status.
        sink.Say(error.what());
        return kFailed;
    }
}

// The command line in UTF-8, as every path inside the program is. Windows
// hands main its arguments in the ANSI code page, which cannot spell every
// file name: there they are read again from the wide command line.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
    int count = 0;
    if (LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        std::vector<std::string> arguments;
        for (int i = 0; i < count; ++i) {
            const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
            std::string utf8(static_cast<std::size_t>(std::max(size, 1)), '\0');
            ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8.data(), size, nullptr, nullptr);
            utf8.pop_back();  // the terminating zero
            arguments.push_back(std::move(utf8));
        }
        ::LocalFree(wide);
        return arguments;
    }
#endif
    return {argv, argv + argc};
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Lists and members' bytes go out, and replacements' bytes come in,
    // exactly as they are: no newline is translated on the way.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stdin), _O_BINARY);
#endif
    // No failure leaves the program as an exception: each is a message and
    // a failure status.
    try {
        return Run(Utf8Arguments(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qaxtool: %s\n", error.what());
    } catch (...) {
        std::fputs("qaxtool: stopped by an unexpected failure\n", stderr);
    }
    return kFailed;
}
