// The command line: its options and words, and whether they make a
// command that can run, checked whole before the data set is opened.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "index_file.h"

namespace qax::tool {

struct CommandLine {
    std::string dataDir;
    std::string outDir;
    std::optional<int> type;  // -t; a first word naming a type comes here too
    std::string filesFrom;
    std::string undoDir;  // apply --undo: where the undo of the mod goes
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

// A type named as the command line names it (in either case), and the
// word for a type.
std::optional<int> GroupNamed(std::string name);
const char* GroupWord(int group);

// The options and words; nothing, with the problem, when they cannot be read.
std::optional<CommandLine> ParseCommandLine(int argc, char** argv, std::string& problem);

// NAME=FILE, its file - meaning standard input; of `group`, and from
// `where` (for the messages).
struct Pair {
    std::string name;
    std::string file;
    int group = Txt;
    std::string where;
    // The file as the user wrote it, for what the tool prints, when `file`
    // is that resolved (a manifest's, against the manifest's directory).
    std::string given;
};

std::optional<Pair> SplitPair(const std::string& word);

// The problem with a command line, or nothing; the type goes to `group`
// and its word out of the words.
std::optional<std::string> UsageProblem(CommandLine& line, std::optional<int>& group);

// The help, for --help.
extern const char* const kUsageText;

// A usage problem in one line and where to read more, as a script's log
// wants it: the whole help would bury the line that matters.
inline constexpr const char* kTryHelp = "Try 'qaxtool --help'.\n";

// Says a usage problem; the exit status for it.
int Usage(const std::string& problem);

}  // namespace qax::tool
