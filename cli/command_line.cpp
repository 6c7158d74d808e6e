#include "command_line.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "index_file.h"
#include "tool_output.h"

namespace qax::tool {

const char* const kUsageText =
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
    "                                blank lines and lines starting with # are skipped;\n"
    "                                guard TYPE NAME SIZE CRC32 lines must hold, or nothing\n"
    "                                changes); a directory means its manifest: an undo\n"
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
    "      --undo=DIR        apply also writes the undo of the mod into DIR (new or\n"
    "                        empty), in the same transaction: apply DIR takes it off\n"
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

enum LongOnly { kNullOption = 1000, kNamesOption, kJsonOption, kUndoOption };

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
        {"undo", required_argument, nullptr, kUndoOption},
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
            case kUndoOption:
                if (!value(code, line.undoDir, "a directory")) return std::nullopt;
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

std::optional<Pair> SplitPair(const std::string& word) {
    const auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == word.size()) return std::nullopt;
    return Pair{word.substr(0, equals), word.substr(equals + 1), Txt, {}, {}};
}

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
        } else if (line.type && words.size() > 1 && GroupNamed(words[1]) && GroupNamed(words[1]) != line.type) {
            // With -t the words are names, but a first word naming another
            // type was surely meant as the type.
            return "the type is given twice, as -t " + std::string(GroupWord(*line.type)) + " and as " + words[1] +
                   ": give it once";
        }
        // Show takes a Txt member and extract a Shp one unless told.
        if (!line.type && command == "show") line.type = Txt;
        if (!line.type && extract) line.type = Shp;
        if (!line.type && command == "list" && words.size() > 1)
            return "list needs a type first: " + TypesOf(command) + "; " + words[1] + " is none of them";
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
    if (line.null && line.json) return std::string("--null and --json do not go together");
    if (!line.undoDir.empty() && command != "apply") return std::string("--undo belongs to apply");
    if (line.dryRun && command != "replace" && command != "apply")
        return std::string("--dry-run belongs to replace and apply");
    if (!line.filesFrom.empty() && command != "replace" && !extract)
        return std::string("--files-from belongs to replace and extract");
    if (line.quiet && line.verbose) return std::string("--quiet and --verbose do not go together");
    return std::nullopt;
}

}  // namespace qax::tool
