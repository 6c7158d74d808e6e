// The commands, each run under the data set's lock once the command line
// and what it names have been read: the exit status of each.
#pragma once

#include <string>

#include "archive_ops.h"
#include "command_input.h"
#include "command_line.h"
#include "data_set.h"
#include "file_access.h"
#include "rebuild_transaction.h"
#include "text_view.h"
#include "tool_output.h"

namespace qax::tool {

// The members of a type, whole lines, names or JSON.
int List(FileSystem& fs, const DataSetPaths& paths, int group, const CommandLine& line, TerminalSink& sink);
// One member's bytes to standard output.
int Show(FileSystem& fs, const DataSetPaths& paths, const CommandLine& line, TerminalSink& sink);
// Members to files, or one to standard output.
int Extract(const ArchiveContext& context, const CommandLine& line, const CommandInput& input, TerminalSink& sink);
// Replace and apply: every pair in one transaction.
int ReplacePairs(const ArchiveContext& context, const CommandLine& line, const CommandInput& input, TerminalSink& sink);
// What the start-up check found wrong, without the window's banner.
std::string StartUpProblem(const StartUpResult& result);
// Whether the data set is sound; changes nothing.
int Check(FileSystem& fs, const DataSetPaths& paths, bool quiet, bool json, TerminalSink& sink);

}  // namespace qax::tool
