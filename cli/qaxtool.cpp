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
// clang-format on
#else
#include <unistd.h>
#endif
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "command_input.h"
#include "command_line.h"
#include "commands.h"
#include "data_set.h"
#include "file_access.h"
#include "rebuild_record.h"
#include "recovery.h"
#include "stop_signals.h"
#include "tool_output.h"

namespace {

using namespace qax;
using namespace qax::tool;

constexpr const char* kVersion = "qaxtool " QAX_VERSION;

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

int RunCommand(StoppableFileSystem& fs, FileSystem& disk, const DataSetPaths& paths, const CommandLine& line,
               std::optional<int> group, const CommandInput& input, TerminalSink& sink);
int RunWithInput(StoppableFileSystem& fs, FileSystem& disk, const DataSetPaths& paths, const CommandLine& line,
                 std::optional<int> group, const CommandInput& input, TerminalSink& sink,
                 const std::function<int(const std::string&)>& stopped);

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
        disk, [] { return StopRequested(); }, paths.IndexPath);
    TerminalSink sink(ErrorsGoToATerminal(), line->quiet);
    const std::string& command = line->words[0];
    sink.SetReadOnly(command == "list" || command == "show" || command == "extract" || command == "check");
    StopPolitelyOnSignals();
    const auto stopped = [&sink](const std::string& what) {
        sink.Say(std::string("Stopped by a signal (") + StopSignalName(StopSignalNumber()) + "): " + what);
        return 128 + StopSignalNumber();
    };

    // Once the command line is read, a script that asked for JSON gets a
    // document however the command ends: a refusal's is said here, when the
    // command printed none of its own.
    const int status = [&] {
        // Names, pairs, manifests and standard input are read once, before
        // the data set is opened, whatever the tries.
        CommandInput input;
        if (const std::optional<int> status = ReadCommandInput(*line, group, input, sink)) {
            if (StopRequested())
                return stopped(
                    "its input (standard input, a list or a manifest) was not read to its end, and nothing "
                    "was changed.");
            if (*status == kBadUsage) std::fputs(kTryHelp, stderr);
            sink.SetRefusalKind("input");
            return *status;
        }
        return RunWithInput(fs, disk, paths, *line, group, input, sink, stopped);
    }();
    if (line->json && status != kSuccess && !sink.OutputWritten()) {
        const std::string holders = status == kBusy ? DirectoryLock::DescribeHolders(DataDirectoryOf(paths)) : "";
        WriteOut(RefusalJson(command, status, sink, holders), sink);
    }
    return status;
}

// The command's tries, and its exit status.
int RunWithInput(StoppableFileSystem& fs, FileSystem& disk, const DataSetPaths& paths, const CommandLine& line,
                 std::optional<int> group, const CommandInput& input, TerminalSink& sink,
                 const std::function<int(const std::string&)>& stopped) {
    // A busy data set refuses before anything is touched, so the whole
    // command can simply be tried again while the user wants to wait.
    using Clock = std::chrono::steady_clock;
    const bool waits = line.waitSeconds.has_value();
    const Clock::time_point deadline = waits ? DeadlineAfter(*line.waitSeconds) : Clock::time_point::max();
    int status = kFailed;
    for (;;) {
        sink.BeginAttempt(waits);
        status = RunCommand(fs, disk, paths, line, group, input, sink);
        if (!sink.Busy() || !waits || StopRequested() || Clock::now() >= deadline) break;
        for (int tick = 0; tick < 10 && !StopRequested(); ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (StopRequested()) break;
    }
    if (sink.Busy() && status != kSuccess) {
        if (StopRequested() && waits)
            return stopped("another editor was changing the data set, so nothing was changed.");
        sink.SayHeldBusy();
        status = kBusy;
    }
    if (!StopRequested()) return status;
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
        // A lock that cannot be taken at all is said once, by the command.
        if (!recovery.text.empty() && !recovery.lockUnusable) sink.Note(recovery.text);
    }
    if (!start.Ready()) {
        sink.SetRefusalKind("data set");
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
