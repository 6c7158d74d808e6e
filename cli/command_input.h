// What a command takes from the user besides the data set: the names to
// extract, the members to replace and their files, from the command line,
// a -T list or a manifest, read once before the first try.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "mod_undo.h"
#include "standard_input.h"
#include "tool_output.h"

namespace qax::tool {

// What a command takes from the user besides the data set, read whole once
// before the first try, and kept across the tries of --wait: the names to
// extract, the members to replace and their files, and standard input's
// bytes when a member is replaced from it.
// A manifest's guard line: what the member must hold for the manifest to
// go ahead (an undo's: what its mod wrote).
struct GuardLine {
    std::string name;
    int group = Txt;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
    std::string where;
};

struct CommandInput {
    std::vector<std::string> patterns;  // extract
    std::vector<Pair> pairs;            // replace and apply, in the order given
    std::vector<GuardLine> guards;      // apply
    bool undo = false;                  // apply: the manifest is an undo's, which takes a mod off
    // apply: the undo's directory, held and proved, through which its
    // manifest was read and its files are (each path a manifest line gives,
    // to its name there); none for a manifest that is no undo's.
    std::shared_ptr<UndoSource> undoSource;
    std::map<std::string, std::string> undoFiles;
    SpooledInput spool;
};

// Reads everything the command takes besides the data set: its status when
// that fails (a usage problem is 2), or nothing when it may go on.
std::optional<int> ReadCommandInput(const CommandLine& line, std::optional<int> group, CommandInput& input,
                                    TerminalSink& sink);

}  // namespace qax::tool
