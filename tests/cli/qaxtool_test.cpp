// qaxtool run as a user runs it: the built program, copied beside a data set
// made by hand, started as a new process (through the shell, on POSIX),
// judged by its exit status, its two output streams and the files it
// leaves. The expected lines and bytes are built from the member list,
// never by the code under test.
#include <gtest/gtest.h>

#ifdef _WIN32
#include "windows_api.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#ifdef QAX_READ_JSON_WITH_QT
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#endif
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive_data_set.h"
#include "archive_ops.h"
#include "faulty_file_system.h"
#include "file_access.h"
#include "recording_sink.h"
#include "system_plants.h"

namespace qax {
namespace {

using testing::AsString;
using testing::DataSetOnDisk;
using testing::MemberSet;
using testing::PatternMember;
using testing::RawEntry;
using testing::SameBytes;
using testing::WriteText;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

struct DataSetBytes {
    std::string index;
    std::string txt;
    std::string shp;
    bool operator==(const DataSetBytes&) const = default;
};

MemberSet Members() {
    MemberSet set;
    // LONG is past the pane's 32,000 bytes and has zero bytes inside it;
    // TWIN is there twice, as a damaged or hand-made index may have it.
    set.txt = {{"ONE", "first"}, PatternMember("LONG", 40000, 1), {"TWIN", "a"},
               {"TWIN", "b"},    {"FOUR", "fourth\r\n"},          PatternMember("SIX", 3000, 2)};
    set.shp = {PatternMember("TANK", 5000, 3), PatternMember("JEEP", 700, 4), PatternMember("HELI", 9000, 5)};
    return set;
}

// The line as the window lists it: name right-aligned in 8 columns, size
// in 6, offset in 7 hexadecimal digits.
std::string ExpectedLines(const std::vector<testing::Member>& members) {
    std::string lines;
    unsigned offset = 0;
    for (const testing::Member& member : members) {
        char line[64];
        std::snprintf(line, sizeof line, "%8s %6u $%07X\n", member.name.c_str(),
                      static_cast<unsigned>(member.bytes.size()), offset);
        lines += line;
        offset += static_cast<unsigned>(member.bytes.size());
    }
    return lines;
}

// Standard error as Linux writes it: Windows ends its lines with "\r\n".
std::string WithoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

// Line `member` of the list alone.
std::string LineOf(const std::vector<testing::Member>& members, std::size_t member) {
    std::istringstream lines(ExpectedLines(members));
    std::string line;
    for (std::size_t i = 0; i <= member; ++i) std::getline(lines, line);
    return line + "\n";
}

// Text as PowerShell 5's `>` writes it: UTF-16 with its byte-order mark,
// in either byte order.
std::string Utf16WithMark(const std::u16string& text, bool bigEndian) {
    std::string bytes;
    for (const char16_t unit : u"\uFEFF" + text) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

#ifdef _WIN32
// UTF-8 in the system's wide characters, as the path type converts it.
std::wstring Wide(const std::string& utf8) {
    return PathFromUtf8(utf8).native();
}

// One argument quoted so that CommandLineToArgvW gives it back as it is:
// inside quotes, a backslash is doubled only before a quote or the end.
std::wstring Quoted(const std::wstring& word) {
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) return word;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

// `program` with `args`, started in `dir` with its standard streams on the
// three files; its exit status, or -1 when it could not be started.
int RunProgram(const std::filesystem::path& dir, const std::string& program, const std::vector<std::string>& args,
               const std::filesystem::path& in, const std::filesystem::path& out, const std::filesystem::path& err) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const auto open = [&inherited](const std::filesystem::path& path, DWORD access, DWORD disposition) {
        return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
                             disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = open(in, GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = open(out, GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = open(err, GENERIC_WRITE, CREATE_ALWAYS);
    std::wstring commandLine = Quoted(Wide(program));
    for (const std::string& arg : args) commandLine += L" " + Quoted(Wide(arg));
    PROCESS_INFORMATION process{};
    const bool started = ::CreateProcessW(Wide(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          dir.c_str(), &startup, &process);
    for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    if (!started) return -1;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    const bool ended = ::GetExitCodeProcess(process.hProcess, &status);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return ended ? static_cast<int>(status) : -1;
}
#else
// One word for the shell, single quotes in it too.
std::string Quoted(const std::string& word) {
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int RunProgram(const std::filesystem::path& dir, const std::string& program, const std::vector<std::string>& args,
               const std::filesystem::path& in, const std::filesystem::path& out, const std::filesystem::path& err) {
    std::string command = "cd " + Quoted(dir.string()) + " && " + Quoted(program);
    for (const std::string& arg : args) command += " " + Quoted(arg);
    command += " <" + Quoted(in.string()) + " >" + Quoted(out.string()) + " 2>" + Quoted(err.string());
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

class Qaxtool : public ::testing::Test {
protected:
    Qaxtool() {
        std::filesystem::copy_file(QAXTOOL_PATH, PathFromUtf8(ToolPath()));
        WriteText(disk_.Dir() / "new.bin", "NEW BYTES");
    }

    // Under the name the build gave it: qaxtool.exe on Windows.
    std::string ToolPath() const {
        return Utf8Of(PathFromUtf8(disk_.EditorDir()) / std::filesystem::path(QAXTOOL_PATH).filename());
    }
    std::filesystem::path DataDir() const { return disk_.Dir() / "data"; }
    // A file as the tool prints it: as it was given, relative to where it
    // was given (the tests run the tool in their directory), in UTF-8,
    // joined with the system's separator.
    static std::string Printed(const std::string& relative) { return Utf8Of(PathFromUtf8(relative).make_preferred()); }

    // From the directory that holds data/ and edit/, so that relative file
    // names in the arguments mean files there.
    // `input` is its standard input.
    ToolRun Tool(const std::vector<std::string>& args, const std::string& input = {}) const {
        const std::filesystem::path out = disk_.Dir() / "stdout";
        const std::filesystem::path err = disk_.Dir() / "stderr";
        const std::filesystem::path in = disk_.Dir() / "stdin";
        WriteText(in, input);
        const int status = RunProgram(disk_.Dir(), ToolPath(), args, in, out, err);
        ToolRun run{status, testing::ReadWholeFile(out), testing::ReadWholeFile(err)};
        std::filesystem::remove(out);
        std::filesystem::remove(err);
        std::filesystem::remove(in);
        return run;
    }

    DataSetBytes Current() const { return {disk_.Index(), disk_.Txt(), disk_.Shp()}; }

    // Every file of the data directory, record and copy included, by name;
    // not the empty file the data set's lock is taken on, made by the first
    // lock and kept.
    std::map<std::filesystem::path, std::string> DataFiles() const {
        std::map<std::filesystem::path, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(DataDir()))
            if (entry.path().filename() != "~qaxedit.lck")
                files[entry.path().filename()] = testing::ReadWholeFile(entry.path());
        return files;
    }

    // What a tool that died while it rewrote txt.qax (for ONE=new.bin)
    // leaves: its record and copy in the data directory, txt.qax half
    // rewritten, the old index.
    void LeaveInterruptedReplacement() {
        SystemFileSystem real;
        const DataSetPaths paths = DataSetPathsIn(Utf8Of(DataDir()), Utf8Of(DataDir()));
        const std::string replacement = Utf8Of(disk_.Dir() / "new.bin");
        testing::RecordingSink sink;
        testing::FaultyFileSystem spy(real);
        ASSERT_EQ(ReplaceTextMember({spy, paths, table_, sink}, testing::Listed(paths, table_, Txt, 0), replacement),
                  ArchiveOutcome::Done);
        const auto& log = spy.Log();
        const auto write = std::find(log.begin(), log.end(), "write " + paths.TxtArchivePath);
        ASSERT_NE(write, log.end());
        disk_.Write(set_);
        testing::FaultyFileSystem dying(real);
        dying.FailFromStep(static_cast<long>(write - log.begin()) + 1);
        ReplaceTextMember({dying, paths, table_, sink}, testing::Listed(paths, table_, Txt, 0), replacement);
        ASSERT_TRUE(std::filesystem::exists(disk_.RecordPath()));
        ASSERT_TRUE(std::filesystem::exists(DataDir() / "~temp.fpc"));
        ASSERT_NE(disk_.Txt(), testing::ArchiveFor(set_.txt));
    }
    MemberSet set_ = Members();
    DataSetOnDisk disk_{set_};
    SectionTable table_ = testing::TableFor(set_);
};

TEST_F(Qaxtool, ListsShowsAndExtractsWhatTheIndexHolds) {
    const std::string dataOption = Utf8Of(DataDir());
    // A directory name that no ANSI code page of Windows spells whole.
    const std::string outsideAscii = "Ausgabe-\u00e4\u00f6\u00fc-\u20ac-\u65e5\u672c";
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"list", "txt"}, ExpectedLines(set_.txt)},
        {{"--data", dataOption, "list", "SHP"}, ExpectedLines(set_.shp)},
        {{"list", "pal"}, "     PAL    768 $0000000\n"},
        // Every byte, zero bytes and all, past the pane's limit.
        {{"show", "LONG"}, set_.txt[1].bytes},
        {{"show", "FOUR", "--data", dataOption + "/"}, "fourth\r\n"},
        {{"extract", "HELI", "JEEP", "--out", "shapes"},
         Printed("shapes/HELI.SHP") + "\n" + Printed("shapes/JEEP.SHP") + "\n"},
        {{"extract", "--all"}, Printed("TANK.SHP") + "\n" + Printed("JEEP.SHP") + "\n" + Printed("HELI.SHP") + "\n"},
        {{"--version"}, "qaxtool 0.2\n"},
        {{"-V"}, "qaxtool 0.2\n"},
        // For scripts: names only, ended by newlines or zero bytes; shell
        // patterns, in either case with -i; `--` before the command.
        {{"--names", "--", "list", "txt"}, "ONE\nLONG\nTWIN\nTWIN\nFOUR\nSIX\n"},
        {{"list", "shp", "--names", "--null", "[JH]*"}, std::string("JEEP\0HELI\0", 10)},
        {{"list", "-i", "shp", "j?ep"}, LineOf(set_.shp, 1)},
        // The type as a word or as -t, in every command that takes one.
        {{"list", "-t", "pal"}, "     PAL    768 $0000000\n"},
        {{"extract", "txt", "-O", "FOUR"}, "fourth\r\n"},
        {{"show", "shp", "JEEP"}, set_.shp[1].bytes},
        {{"show", "--type=shp", "HELI"}, set_.shp[2].bytes},
        {{"show", "-t", "txt", "LONG"}, set_.txt[1].bytes},
        {{"list", "txt", "four", "--ignore-case"}, LineOf(set_.txt, 4)},
        {{"list", "txt", "--names", "[!FT]*", "?W?N"}, "ONE\nLONG\nTWIN\nTWIN\nSIX\n"},
        {{"list", "-i", "shp", "--names", "[g-i]*", "T*\\K"}, "TANK\nHELI\n"},
        // A trailing star matches no character too; -i takes plain names in
        // either case.
        {{"list", "shp", "--names", "JEEP*", "T*"}, "TANK\nJEEP\n"},
        {{"show", "-i", "four"}, "fourth\r\n"},
        {{"--data=" + dataOption, "extract", "-O", "-t", "txt", "FOUR"}, "fourth\r\n"},
        {{"extract", "--stdout", "HEL*"}, set_.shp[2].bytes},
        {{"extract", "--type=txt", "-o", "texts", "S*", "ONE"},
         Printed("texts/SIX.TXT") + "\n" + Printed("texts/ONE.TXT") + "\n"},
        // Arguments reach the tool in UTF-8 on every system.
        {{"extract", "TANK", "--out", outsideAscii}, Printed(outsideAscii + "/TANK.SHP") + "\n"},
        // Paths are printed as they were given: absolute, or with the
        // separator the user wrote at the end.
        {{"extract", "JEEP", "-o", Utf8Of(disk_.Dir() / "absolute")},
         Utf8Of(disk_.Dir() / "absolute" / "JEEP.SHP") + "\n"},
        {{"extract", "JEEP", "-o", "slashed/"}, "slashed/JEEP.SHP\n"},
    };
    const DataSetBytes before = Current();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(SameBytes(run.out, c.out));
        EXPECT_EQ(run.err, "");
    }
    for (const auto& [dir, member] :
         {std::pair{"shapes", 2}, {"shapes", 1}, {".", 0}, {".", 1}, {".", 2}, {outsideAscii.c_str(), 0}})
        EXPECT_TRUE(
            SameBytes(testing::ReadWholeFile(disk_.Dir() / PathFromUtf8(dir) / (set_.shp[member].name + ".SHP")),
                      set_.shp[member].bytes));
    for (const int member : {0, 5})
        EXPECT_TRUE(SameBytes(testing::ReadWholeFile(disk_.Dir() / "texts" / (set_.txt[member].name + ".TXT")),
                              set_.txt[member].bytes));
    EXPECT_TRUE(Current() == before);
    EXPECT_FALSE(disk_.LeftoversExist());
}

TEST_F(Qaxtool, RefusesBeforeTouchingAnything) {
    // Shp members whose names differ only in case: one file in a folder
    // that ignores case, as many do.
    MemberSet cased = set_;
    cased.shp[1].name = "Tank";
    const DataSetOnDisk casedDataSet{cased};
    const std::string casedData = Utf8Of(casedDataSet.Dir() / "data");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string words;  // in standard error
        std::string input = {};
    };
    const Case cases[] = {
        {{}, 2, "no command given"},
        {{"frob"}, 2, "unknown command frob"},
        {{"--frob", "list", "txt"}, 2, "unknown option --frob"},
        {{"list", "xyz"}, 2, "list needs a type first: txt, shp, til, tnm, pal or dat; xyz is none of them"},
        {{"list", "txt", "-t", "shp"}, 2, "the type is given twice, as -t shp and as txt: give it once"},
        {{"list"}, 2, "needs a type"},
        {{"list", "txt", "--all"}, 2, "belong to extract"},
        {{"show"}, 2, "one name"},
        {{"extract"}, 2, "not both"},
        {{"extract", "TANK", "--all"}, 2, "not both"},
        {{"replace", "til", "A=new.bin"}, 2, "replace takes txt or shp, not til"},
        {{"replace", "txt"}, 2, "at least one NAME=FILE"},
        {{"replace", "txt", "ONE"}, 2, "\"ONE\" is not NAME=FILE"},
        {{"replace", "txt", "ONE="}, 2, "is not NAME=FILE"},
        {{"show", "NOPE"}, 1, "No member matches NOPE"},
        {{"show", "TWIN"}, 1, "not unique: txt members 3 and 4 both have it"},
        {{"replace", "-n", "txt", "ONE=new.bin"}, 0, "Dry run: the replacement would go ahead; nothing was changed."},
        {{"replace", "txt", "NOPE=new.bin"}, 1, "No member matches NOPE"},
        {{"replace", "txt", "NOPE=new.bin", "ONE=new.bin", "GONE=new.bin"}, 1, "No member matches GONE"},
        {{"list", "shp", "--names", "Q*"}, 1, "No member matches Q*"},
        {{"list", "txt", "one"}, 1, "No member matches one (did you mean ONE?)"},
        {{"replace", "txt", "ONE=new.bin", "FOUR=new.bin", "ONE=new.bin"}, 1, "ONE is given twice"},
        {{"--data", "", "replace", "txt", "ONE=new.bin"}, 2, "--data needs a directory"},
        {{"list", "txt", "--data"}, 2, "--data needs a directory"},
        {{"replace", "txt", "TWIN=new.bin"}, 1, "not unique"},
        {{"replace", "shp", "ONE=new.bin"},
         1,
         "No member matches ONE; ONE is a txt member: try qaxtool replace txt ONE=FILE"},
        {{"extract", "-O", "FOUR"}, 1, "No member matches FOUR; FOUR is a txt member: try qaxtool extract txt FOUR"},
        {{"extract", "-O", "-t", "txt", "J*"},
         1,
         "No member matches J*; J* matches shp members: try qaxtool extract shp J*"},
        {{"show", "TANK"}, 1, "No member matches TANK; TANK is a shp member: try qaxtool show shp TANK"},
        {{"replace", "TANK=new.bin"}, 2, "replace needs a type: txt or shp"},
        {{"show", "pal", "PAL"}, 2, "show takes txt or shp, not pal"},
        {{"check", "-t", "txt"}, 2, "--type belongs to list, show, extract and replace"},
        // The first file is fine; the second is missing: the first must not
        // have been written either.
        {{"replace", "txt", "ONE=new.bin", "SIX=absent.bin"}, 1, "absent.bin"},
        {{"replace", "shp", "TANK=data/shp.qax"}, 1, "the archive being rebuilt"},
        {{"--data", "nowhere", "list", "txt"},
         1,
         "qaxtool looks for the data set in the folder data one level above the folder it is in, unless --data DIR "
         "names the folder that holds these files."},
        // As cmd.exe passes a pattern in single quotes on.
        {{"list", "shp", "'J*'"},
         1,
         "cmd.exe passes single quotes on as part of the word; in cmd.exe put the pattern in double quotes, \"J*\""},
        // The system's reason with every failure; a near name offered.
        {{"replace", "txt", "ONE=absent.bin"}, 1, "absent.bin (No such file or directory)"},
        {{"replace", "txt", "one=new.bin"}, 1, "No member matches one (did you mean ONE?)"},
        {{"show", "four"}, 1, "did you mean FOUR?"},
        // Parsing as scripts expect it.
        {{"--wait=soon", "list", "txt"}, 2, "--wait takes a number of seconds"},
        {{"extract", "TANK", "-T"}, 2, "--files-from needs a file"},
        {{"extract", "-t", "pal", "TANK"}, 2, "extract takes txt or shp, not pal"},
        {{"extract", "-t", "xyz", "TANK"}, 2, "--type takes txt, shp, til, tnm, pal or dat, not \"xyz\""},
        {{"extract", "--stdout", "-o", "d", "TANK"}, 2, "do not go together"},
        {{"extract", "--stdout", "*"}, 1, "exactly one member; 3 were named"},
        {{"list", "txt", "--names", "--json"}, 2, "do not go together"},
        {{"list", "shp", "--null", "--json"}, 2, "--null and --json do not go together"},
        {{"show", "--json", "ONE"}, 2, "--json belongs to list, check, extract, replace and apply"},
        {{"extract", "--json", "-O", "TANK"}, 2, "--json and --stdout do not go together"},
        {{"show", "ONE", "--dry-run"}, 2, "--dry-run belongs to replace and apply"},
        {{"replace", "txt", "ONE=-", "FOUR=-"}, 2, "standard input can be read only once"},
        // Standard input is read once, wherever it is named: among the
        // words, as the list, inside the list or the manifest.
        {{"replace", "txt", "-T", "-"},
         2,
         "--files-from - and standard input, line 2 both name it",
         "SIX=new.bin\nONE=-\n"},
        {{"replace", "txt", "-T", "-", "FOUR=-"},
         2,
         "the argument FOUR=- and --files-from - both name it",
         "SIX=new.bin\n"},
        {{"replace", "txt", "-T", "pairs-twice.txt"}, 2, "pairs-twice.txt, line 1 and pairs-twice.txt, line 3 both"},
        {{"apply", "mod-input-twice.txt"}, 2, "mod-input-twice.txt, line 1 and mod-input-twice.txt, line 2 both"},
        {{"apply", "-"}, 2, "the manifest - and standard input, line 1 both name it", "txt ONE -\n"},
        // A zero byte would cut the name short where the system reads it.
        {{"apply", "mod-zero.txt"}, 2, "mod-zero.txt, line 2: a name or file name cannot hold a zero byte"},
        {{"replace", "txt", "-T", "-"}, 2, "standard input, line 1: a name", std::string("ONE=new.bin\0x\n", 14)},
        {{"extract", "-T", "-"}, 2, "standard input, line 2: a name", std::string("JEEP\nTA\0NK\n", 11)},
        {{"--wait=nan", "list", "txt"}, 2, "--wait takes a number of seconds"},
        {{"--wait=-1", "list", "txt"}, 2, "--wait takes a number of seconds"},
        // Two members of one name: the batch is refused whole, and so is
        // the name they share.
        {{"extract", "-t", "txt", "--all", "-o", "out"},
         1,
         "The members TWIN (line 3) and TWIN (line 4) would be extracted to the same file"},
        {{"extract", "-t", "txt", "-o", "out", "ONE", "TWIN"}, 1, "TWIN (line 3) and TWIN (line 4)"},
        {{"extract", "-t", "txt", "-o", "out", "-i", "t*"}, 1, "TWIN (line 3) and TWIN (line 4)"},
        {{"--data", casedData, "extract", "-t", "shp", "--all", "-o", "out"},
         1,
         "The members TANK (line 1) and Tank (line 2) would be extracted to the same file"},
        {{"apply"}, 2, "apply takes one manifest"},
        {{"apply", "absent-mod.txt"}, 1, "absent-mod.txt (No such file or directory)"},
        {{"apply", "mod-bad-type.txt"}, 2, "line 2: the type must be txt or shp, not \"pal\""},
        {{"apply", "mod-no-file.txt"}, 2, "line 1: a line is TYPE NAME FILE"},
        {{"apply", "-"}, 1, "names no member"},
        // A mod whose Shp part is refused changes its Txt part neither.
        {{"apply", "mod-bad-shp.txt"}, 1, "No member matches NOPE"},
        {{"apply", "mod-shp-is-archive.txt"}, 1, "the archive being rebuilt"},
        {{"apply", "mod-twice.txt"}, 1, "ONE is given twice"},
        {{"--dry-run", "apply", "mod-bad-shp.txt"}, 1, "No member matches NOPE"},
        // Guards and undos: a guard that does not hold refuses the whole
        // mod, in a dry run too; an undo goes only into a new or empty
        // directory.
        {{"apply", "mod-bad-guard.txt"}, 2, "line 1: a guard line is guard TYPE NAME SIZE CRC32"},
        {{"apply", "mod-guarded.txt"}, 1, "ONE holds what another change wrote after this mod"},
        {{"-n", "apply", "mod-guarded.txt"}, 1, "ONE holds what another change wrote after this mod"},
        {{"apply", "--undo", "full", "mod-ok.txt"}, 1, "The undo directory full is not empty"},
        {{"apply", "--undo=new.bin", "mod-ok.txt"}, 1, "new.bin is not a directory"},
        {{"apply", "--undo", "absent/undo", "mod-ok.txt"}, 1, "cannot be made: absent is no directory"},
        {{"list", "txt", "--undo=u"}, 2, "--undo belongs to apply"},
#ifndef _WIN32
        // An undo is written and read only where nobody else may write, so
        // that nobody changes it in between: a directory, its manifest or
        // one of its files that others may write is refused, whether the
        // undo is given by its directory or its manifest.
        {{"apply", "--undo", "open-dir", "mod-ok.txt"}, 1, "Users other than its owner may write the undo directory"},
        {{"apply", "open-undo"}, 1, "Users other than its owner may write the undo directory"},
        {{"apply", "open-undo/manifest.txt"}, 1, "Users other than its owner may write the undo directory"},
        {{"apply", "shared-file-undo"}, 1, "shared-file-undo/1-txt-ONE.txt of the undo in"},
        {{"apply", "shared-manifest-undo"}, 1, "manifest.txt of the undo in"},
#endif
        // A planted undo is a manifest like any other: its guard holds, and
        // its line is refused as that line would be in any manifest. It has
        // the name undos had before theirs was manifest.txt.
        {{"apply", "planted-undo"}, 1, "the archive being rebuilt"},
        // Lists and manifests are read up to a bound, not until memory
        // runs out.
        {{"apply", "huge-mod.txt"}, 1, "huge-mod.txt holds more than 64 MiB, the most a manifest or a list"},
        {{"extract", "-T", "huge-mod.txt"}, 1, "huge-mod.txt holds more than 64 MiB"},
#ifndef _WIN32
        {{"apply", "/dev/zero"}, 1, "/dev/zero holds more than 64 MiB"},
        {{"replace", "txt", "-T", "/dev/zero"}, 1, "/dev/zero holds more than 64 MiB"},
#endif
        // Text from Windows tools: what cannot be seen in a refused line is
        // shown escaped (here a second file's byte-order mark, glued on, and
        // a no-break space); a UTF-16 file cut in half a character.
        {{"apply", "mod-invisible.txt"},
         2,
         "mod-invisible.txt, line 2: the type must be txt or shp, not \"\\uFEFFtxt\""},
        {{"replace", "txt", "-T", "pairs-invisible.txt"}, 2, "line 1: \"ONE\\u00A0new.bin\\x01\" is not NAME=FILE"},
        {{"apply", "mod-half-utf16.txt"},
         2,
         "mod-half-utf16.txt: it begins with the byte-order mark of UTF-16LE but ends in half a character"},
#ifndef _WIN32
        // On Linux only / separates folders: a file name written on Windows
        // is refused with the name that would do. (Windows reads both.)
        {{"apply", "mod-backslash.txt"},
         1,
         "mod-backslash.txt, line 1: sub\\em.txt names no file, but sub/em.txt does"},
        {{"replace", "txt", "-T", "pairs-backslash.txt"}, 1, "line 2: sub\\em.txt names no file, but sub/em.txt does"},
#endif
    };
    WriteText(disk_.Dir() / "mod-invisible.txt", "txt ONE new.bin\n\xEF\xBB\xBFtxt SIX new.bin\n");
    WriteText(disk_.Dir() / "pairs-invisible.txt", "ONE\xC2\xA0new.bin\x01\n");
    WriteText(disk_.Dir() / "mod-half-utf16.txt", Utf16WithMark(u"txt ONE new.bin\n", false) + "t");
    WriteText(disk_.Dir() / "sub" / "em.txt", "in a folder");
    WriteText(disk_.Dir() / "mod-backslash.txt", "txt ONE sub\\em.txt\n");
    WriteText(disk_.Dir() / "pairs-backslash.txt", "SIX=new.bin\nONE=sub\\em.txt\n");
    std::filesystem::create_directories(disk_.Dir() / "planted-undo");
    WriteText(disk_.Dir() / "planted-undo" / "manifest", "guard txt ONE 5 9271ee57\nshp TANK ../data/shp.qax\n");
    std::filesystem::create_directories(disk_.Dir() / "full");
    WriteText(disk_.Dir() / "full" / "keep.txt", "the user's");
    // Undos that others could have changed, each a whole one otherwise.
    const std::string undoManifest = "# The undo of a mod, written by qaxtool apply --undo\ntxt ONE 1-txt-ONE.txt\n";
    for (const char* undo : {"open-undo", "shared-file-undo", "shared-manifest-undo"}) {
        WriteText(disk_.Dir() / undo / "manifest.txt", undoManifest);
        WriteText(disk_.Dir() / undo / "1-txt-ONE.txt", "first");
        std::filesystem::permissions(disk_.Dir() / undo, std::filesystem::perms(0755));
    }
    std::filesystem::create_directories(disk_.Dir() / "open-dir");
    for (const auto& open :
         {disk_.Dir() / "open-dir", disk_.Dir() / "open-undo", disk_.Dir() / "shared-file-undo" / "1-txt-ONE.txt",
          disk_.Dir() / "shared-manifest-undo" / "manifest.txt"})
        std::filesystem::permissions(open, std::filesystem::perms::group_write | std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::add);
    WriteText(disk_.Dir() / "mod-ok.txt", "txt ONE new.bin\n");
    WriteText(disk_.Dir() / "mod-bad-guard.txt", "guard txt ONE 5 nothex!!\ntxt ONE new.bin\n");
    // ONE holds "first": 5 bytes, but another CRC-32.
    WriteText(disk_.Dir() / "mod-guarded.txt",
              "guard txt ONE 5 00000000\nguard txt SIX 3000 00000000\ntxt ONE new.bin\n");
    WriteText(disk_.Dir() / "mod-bad-type.txt", "txt ONE new.bin\npal PAL new.bin\n");
    WriteText(disk_.Dir() / "mod-no-file.txt", "txt ONE\n");
    WriteText(disk_.Dir() / "mod-bad-shp.txt", "txt ONE new.bin\nshp TANK new.bin\nshp NOPE new.bin\n");
    WriteText(disk_.Dir() / "mod-shp-is-archive.txt", "txt ONE new.bin\nshp TANK data/shp.qax\n");
    WriteText(disk_.Dir() / "mod-twice.txt", "txt ONE new.bin\nshp TANK new.bin\ntxt ONE new.bin\n");
    WriteText(disk_.Dir() / "pairs-twice.txt", "ONE=-\nSIX=new.bin\nFOUR=-\n");
    WriteText(disk_.Dir() / "mod-input-twice.txt", "txt ONE -\nshp TANK -\n");
    WriteText(disk_.Dir() / "mod-zero.txt", std::string("txt SIX new.bin\ntxt ONE new.bin\0garbage\n", 40));
    // One byte past the bound, in lines a manifest skips.
    std::string huge(std::size_t{64} << 20, '\n');
    huge.front() = '#';
    huge += "#";
    WriteText(disk_.Dir() / "huge-mod.txt", huge);
    huge = {};
    const DataSetBytes before = Current();
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& arg : c.args) trace += arg + " ";
        SCOPED_TRACE(trace);
        const ToolRun run = Tool(c.args, c.input);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.words), std::string::npos) << run.err;
        // A command that only reads has nothing to undo, and the command
        // line has no list.
        if (c.args.empty() || c.args[0] == "show" || c.args[0] == "list" || c.args[0] == "extract") {
            EXPECT_EQ(run.err.find("Nothing was changed"), std::string::npos) << run.err;
        }
        EXPECT_EQ(run.err.find("the list"), std::string::npos) << run.err;
        // A usage problem is its one line and where to read more, not the
        // whole help.
        if (c.status == 2) {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << run.err;
            EXPECT_TRUE(WithoutCarriageReturns(run.err).ends_with("\nTry 'qaxtool --help'.\n")) << run.err;
        }
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(Current() == before);
        EXPECT_FALSE(disk_.LeftoversExist());
        EXPECT_FALSE(std::filesystem::exists(disk_.Dir() / "JEEP.SHP"));
        EXPECT_FALSE(std::filesystem::exists(disk_.Dir() / "out"));
        EXPECT_FALSE(std::filesystem::exists(disk_.Dir() / "absent"));
        EXPECT_EQ(testing::ReadWholeFile(disk_.Dir() / "full" / "keep.txt"), "the user's");
    }
}

// txt.qax with bytes no entry points to (which the Txt replacement drops)
// and shp.qax with bytes after its last member (which the Shp replacement
// keeps), as both disks are given them.
std::vector<RawEntry> EntriesWithStrayBytes(const MemberSet& set, std::string& txt) {
    std::vector<RawEntry> entries = testing::AllEntries(set);
    txt = "stray";
    for (std::size_t k = 0; k < set.txt.size(); ++k) {
        entries[k].offset = static_cast<std::uint32_t>(txt.size());
        txt += set.txt[k].bytes + "gap";
    }
    return entries;
}

void WriteWithStrayBytes(DataSetOnDisk& disk, const MemberSet& set) {
    disk.Write(set);
    std::string txt;
    testing::WriteBytes(disk.Paths().IndexPath, testing::IndexBytes(set.header, EntriesWithStrayBytes(set, txt)));
    WriteText(disk.Paths().TxtArchivePath, txt);
    WriteText(disk.Paths().ShpArchivePath, testing::ArchiveFor(set.shp) + "trailing bytes");
}

// Replacing many members in one call leaves exactly what the window leaves
// after replacing them one after another, and what the member list says.
TEST_F(Qaxtool, ReplacesManyMembersAsOneAfterAnotherWould) {
    struct Change {
        std::string name;
        std::size_t member;
        std::size_t size;
    };
    struct Case {
        int group;
        std::vector<Change> changes;  // in the order given
    };
    const Case cases[] = {
        {Txt, {{"SIX", 5, 10}, {"ONE", 0, 50000}, {"LONG", 1, 0}}},
        {Txt, {{"FOUR", 4, 1}}},
        // Past a million bytes: progress marks are due, and must not reach
        // standard error, which is no terminal here.
        {Shp, {{"HELI", 2, 20}, {"TANK", 0, 1200000}}},
        {Shp, {{"JEEP", 1, 700}, {"HELI", 2, 1}, {"TANK", 0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group == Txt ? "Txt" : "Shp");
        WriteWithStrayBytes(disk_, set_);
        DataSetOnDisk oneByOne(set_);
        WriteWithStrayBytes(oneByOne, set_);

        std::vector<std::string> args = {"replace", c.group == Txt ? "txt" : "shp"};
        MemberSet expected = set_;
        std::string expectedOut;
        for (const Change& change : c.changes) {
            const std::string file = "new-" + change.name + ".bin";
            const std::string bytes = PatternMember(change.name, change.size, 7).bytes;
            WriteText(disk_.Dir() / file, bytes);
            WriteText(oneByOne.Dir() / file, bytes);
            args.push_back(change.name + "=" + file);
            expected = testing::WithMemberReplaced(expected, c.group, change.member, bytes);
        }
        const ToolRun run = Tool(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");

        SystemFileSystem fs;
        for (const Change& change : c.changes) {
            testing::RecordingSink sink;
            const ArchiveContext context{fs, oneByOne.Paths(), table_, sink};
            const ListedLine line = testing::Listed(oneByOne.Paths(), table_, c.group, static_cast<int>(change.member));
            const std::string file = Utf8Of(oneByOne.Dir() / ("new-" + change.name + ".bin"));
            ASSERT_EQ(c.group == Txt ? ReplaceTextMember(context, line, file) : ReplaceShpMember(context, line, file),
                      ArchiveOutcome::Done);
        }
        EXPECT_TRUE(Current() == (DataSetBytes{oneByOne.Index(), oneByOne.Txt(), oneByOne.Shp()}));
        // A Txt replacement leaves txt.qax back to back; a Shp one leaves
        // it alone, stray bytes and all.
        std::string untouchedTxt;
        const std::vector<unsigned char> untouchedTxtIndex =
            testing::IndexBytes(expected.header, EntriesWithStrayBytes(expected, untouchedTxt));
        EXPECT_TRUE(
            SameBytes(disk_.Index(), AsString(c.group == Txt ? testing::IndexFor(expected) : untouchedTxtIndex)));
        EXPECT_TRUE(SameBytes(disk_.Txt(), c.group == Txt ? testing::ArchiveFor(expected.txt) : untouchedTxt));
        EXPECT_TRUE(SameBytes(disk_.Shp(), testing::ArchiveFor(expected.shp) + "trailing bytes"));
        EXPECT_FALSE(disk_.LeftoversExist());

        // Standard output gives the replaced members' new lines, in the
        // order given.
        const std::vector<testing::Member>& group = c.group == Txt ? expected.txt : expected.shp;
        std::vector<std::string> lines;
        std::istringstream listed(ExpectedLines(group));
        for (std::string line; std::getline(listed, line);) lines.push_back(line);
        std::string wanted;
        for (const Change& change : c.changes) wanted += lines.at(change.member) + "\n";
        EXPECT_EQ(run.out, wanted);
    }
}

// A mod of Txt and Shp members from a manifest, in one transaction: what
// replacing each group in its own call would leave, and the members' new
// lines on standard output. A dry run of it first changes nothing; the same
// manifest from standard input gives the same result.
TEST_F(Qaxtool, AppliesAWholeModInOneTransaction) {
    std::filesystem::create_directories(disk_.Dir() / "mod");
    const std::string text = PatternMember("T", 4321, 8).bytes;
    const std::string shape = PatternMember("S", 77777, 9).bytes;
    WriteText(disk_.Dir() / "mod" / "orders.txt", text);
    WriteText(disk_.Dir() / "mod" / "jeep.shp", shape);
    // Files relative to the manifest's directory; comments and blank lines.
    const std::string manifest = "# my mod\r\nshp JEEP jeep.shp\n\ntxt SIX orders.txt\nTXT ONE orders.txt\n";
    WriteText(disk_.Dir() / "mod" / "mod.txt", manifest);

    MemberSet expected = testing::WithMemberReplaced(set_, Shp, 1, shape);
    expected = testing::WithMemberReplaced(expected, Txt, 5, text);
    expected = testing::WithMemberReplaced(expected, Txt, 0, text);
    const DataSetBytes replaced{AsString(testing::IndexFor(expected)), testing::ArchiveFor(expected.txt),
                                testing::ArchiveFor(expected.shp)};
    const std::string lines = LineOf(expected.shp, 1) + LineOf(expected.txt, 5) + LineOf(expected.txt, 0);
    const DataSetBytes before = Current();

    const ToolRun dry = Tool({"apply", "--dry-run", "mod/mod.txt"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.err.find("all 3 replacements would go ahead"), std::string::npos) << dry.err;
    EXPECT_TRUE(Current() == before);

    for (const bool fromInput : {false, true}) {
        SCOPED_TRACE(fromInput ? "standard input" : "file");
        disk_.Write(set_);
        const ToolRun run = fromInput ? Tool({"--data", Utf8Of(DataDir()), "apply", "-"},
                                             "shp JEEP mod/jeep.shp\ntxt SIX mod/orders.txt\ntxt ONE mod/orders.txt\n")
                                      : Tool({"apply", "-v", "mod/mod.txt"});
        ASSERT_EQ(run.status, 0) << run.err;
        // Each file as the manifest gives it, relative to its directory.
        if (!fromInput) {
            EXPECT_NE(run.err.find("replaced JEEP (shp) with jeep.shp"), std::string::npos) << run.err;
        }
        EXPECT_EQ(run.out, lines);
        EXPECT_TRUE(Current() == replaced);
        EXPECT_FALSE(disk_.LeftoversExist());
    }
}

// A mod put on with --undo comes off again exactly, and can be put on
// again: each round trip leaves every data file as it was. Two mods stacked
// come off in reverse order; out of order, the undo is refused and names
// each member the later mod changed.
TEST_F(Qaxtool, TakesAModOffExactlyAndRefusesToMixStackedMods) {
    std::filesystem::create_directories(disk_.Dir() / "undo-b");  // empty: taken as new
    std::filesystem::permissions(disk_.Dir() / "undo-b", std::filesystem::perms(0755));
    WriteText(disk_.Dir() / "a-one.txt", PatternMember("A", 1234, 11).bytes);
    WriteText(disk_.Dir() / "a-jeep.shp", PatternMember("J", 4000, 12).bytes);
    WriteText(disk_.Dir() / "b-one.txt", "mod b");
    WriteText(disk_.Dir() / "b-heli.shp", PatternMember("H", 10, 13).bytes);
    WriteText(disk_.Dir() / "mod-a.txt", "txt ONE a-one.txt\nshp JEEP a-jeep.shp\ntxt SIX a-one.txt\n");
    WriteText(disk_.Dir() / "mod-b.txt", "shp HELI b-heli.shp\ntxt ONE b-one.txt\n");
    const auto original = DataFiles();

    const ToolRun a = Tool({"apply", "--undo", "undo-a", "mod-a.txt"});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.err.find("qaxtool apply undo-a takes the mod off again"), std::string::npos) << a.err;
    const auto withA = DataFiles();
    ASSERT_NE(withA, original);
    const ToolRun b = Tool({"apply", "--undo=undo-b", "mod-b.txt"});
    ASSERT_EQ(b.status, 0) << b.err;
    const auto withAB = DataFiles();

    // Out of order: refused, dry run or not, naming the members mod b
    // changed after mod a, and not JEEP or SIX.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"apply", "undo-a"}, {"apply", "-n", "undo-a/manifest.txt"}}) {
        const ToolRun refused = Tool(args);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("ONE holds what another change wrote after this mod"), std::string::npos)
            << refused.err;
        EXPECT_EQ(refused.err.find("JEEP"), std::string::npos) << refused.err;
        EXPECT_EQ(refused.err.find("SIX"), std::string::npos) << refused.err;
        EXPECT_EQ(DataFiles(), withAB);
    }

    // In reverse order, each exactly; and the mod put on and taken off again
    // by the undo of its undo, twice. An undo applied twice says so.
    const ToolRun offB = Tool({"apply", "undo-b"});
    ASSERT_EQ(offB.status, 0) << offB.err;
    EXPECT_EQ(DataFiles(), withA);
    const ToolRun offBAgain = Tool({"apply", "undo-b"});
    EXPECT_EQ(offBAgain.status, 1);
    EXPECT_NE(offBAgain.err.find("ONE holds already what this manifest puts there"), std::string::npos)
        << offBAgain.err;
    EXPECT_NE(offBAgain.err.find("HELI holds already"), std::string::npos) << offBAgain.err;
    EXPECT_NE(offBAgain.err.find("it has been applied already, or it is the undo of a mod that never took effect"),
              std::string::npos)
        << offBAgain.err;
    EXPECT_EQ(offBAgain.err.find("(was it applied before?)"), std::string::npos) << offBAgain.err;
    EXPECT_EQ(offBAgain.err.find("take that change off first"), std::string::npos) << offBAgain.err;
    EXPECT_EQ(DataFiles(), withA);
    // The undo of an undo puts the mod back on, and says so.
    const ToolRun offA = Tool({"apply", "--undo", "redo-a", "undo-a"});
    ASSERT_EQ(offA.status, 0) << offA.err;
    EXPECT_NE(offA.err.find("qaxtool apply redo-a puts the mod back on"), std::string::npos) << offA.err;
    EXPECT_EQ(DataFiles(), original);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string redo = "redo-" + std::to_string(round);
        ASSERT_EQ(Tool({"apply", "--undo", redo, round == 0 ? "redo-a" : "redo-again"}).status, 0);
        EXPECT_EQ(DataFiles(), withA);
        // An undo whose manifest has the name undos had before is read too.
        if (round == 0) std::filesystem::rename(disk_.Dir() / redo / "manifest.txt", disk_.Dir() / redo / "manifest");
        std::filesystem::remove_all(disk_.Dir() / "redo-again");
        ASSERT_EQ(Tool({"apply", "--undo", "redo-again", redo}).status, 0);
        EXPECT_EQ(DataFiles(), original);
    }
    EXPECT_FALSE(disk_.LeftoversExist());

    // An undo is an ordinary manifest: its guard lines and its lines, the
    // member files named by number, type and name, by type as the mod is
    // applied.
    const std::string manifest = testing::ReadWholeFile(disk_.Dir() / "undo-a" / "manifest.txt");
    EXPECT_NE(manifest.find("\ntxt ONE 1-txt-ONE.txt\ntxt SIX 2-txt-SIX.txt\nshp JEEP 3-shp-JEEP.shp\n"),
              std::string::npos)
        << manifest;
    EXPECT_EQ(testing::ReadWholeFile(disk_.Dir() / "undo-a" / "3-shp-JEEP.shp"), set_.shp[1].bytes);
    const auto undoFiles = std::distance(std::filesystem::directory_iterator(disk_.Dir() / "undo-a"),
                                         std::filesystem::directory_iterator());
    EXPECT_EQ(undoFiles, 4);
}

// What each Txt member reads in the data set on disk, in index order: its
// size and offset from the index's own bytes, its bytes from txt.qax.
std::vector<std::string> TxtMembersRead(const DataSetOnDisk& disk, std::size_t count) {
    const std::string index = disk.Index();
    const std::string archive = disk.Txt();
    const auto field = [&index](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(index.at(at + i));
        return value;
    };
    std::vector<std::string> read;
    for (std::size_t k = 0; k < count; ++k) read.push_back(archive.substr(field(16 * k + 16), field(16 * k + 12)));
    return read;
}

// A mod put on with --undo and taken off again, from each layout txt.qax
// can have: every member reads its bytes back always; the data files come
// back byte for byte exactly from the layout every rebuild leaves, and for
// every other layout check, the dry run and the mod itself say so, naming
// what differs. The first round trip leaves that layout, so the next one
// is byte for byte and says nothing.
TEST_F(Qaxtool, ARoundTripSaysWhenItGivesTheMembersBackButNotTheFiles) {
    set_.txt[3].name = "TWO";  // sound: no name twice
    std::vector<std::uint32_t> backToBack;
    for (const RawEntry& entry : testing::BackToBackEntries(set_.txt)) backToBack.push_back(entry.offset);
    // The same members in txt.qax last to first.
    const std::vector<testing::Member> reversed(set_.txt.rbegin(), set_.txt.rend());
    std::vector<std::uint32_t> lastToFirst(set_.txt.size());
    for (std::size_t k = 0, offset = 0; k < reversed.size(); offset += reversed[k++].bytes.size())
        lastToFirst[set_.txt.size() - 1 - k] = static_cast<std::uint32_t>(offset);
    std::vector<std::uint32_t> twoOnTwin = backToBack;
    twoOnTwin[3] = twoOnTwin[2];
    struct Layout {
        const char* name;
        std::string archive;
        std::vector<std::uint32_t> offsets;
        std::string changes;  // as check and apply name them; empty when the rebuild keeps the layout
    };
    const Layout layouts[] = {
        {"back to back", testing::ArchiveFor(set_.txt), backToBack, ""},
        {"out of index order", testing::ArchiveFor(reversed), lastToFirst,
         "LONG lies before ONE, which comes before it in the index"},
        {"two entries on one byte", testing::ArchiveFor(set_.txt), twoOnTwin,
         "TWO and TWIN share bytes; 1 byte that no entry points to"},
        {"bytes after the last member", testing::ArchiveFor(set_.txt) + "tail", backToBack,
         "4 bytes that no entry points to"},
    };
    WriteText(disk_.Dir() / "mod-one.txt", "the mod's text");
    WriteText(disk_.Dir() / "mod.txt", "txt ONE mod-one.txt\nshp JEEP new.bin\n");
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        disk_.Write(set_);
        WriteText(disk_.Paths().TxtArchivePath, layout.archive);
        std::vector<RawEntry> entries = testing::AllEntries(set_);
        for (std::size_t k = 0; k < layout.offsets.size(); ++k) entries[k].offset = layout.offsets[k];
        testing::WriteBytes(disk_.Paths().IndexPath, testing::IndexBytes(set_.header, entries));
        for (const char* undo : {"undo", "undo-again"}) std::filesystem::remove_all(disk_.Dir() / undo);
        const auto before = DataFiles();
        const std::vector<std::string> reads = TxtMembersRead(disk_, set_.txt.size());
        const bool exact = layout.changes.empty();

        // check: sound either way, with a note for a layout a rebuild changes.
        const ToolRun check = Tool({"check"});
        EXPECT_EQ(check.status, 0) << check.out;
        EXPECT_EQ(check.out.find("problem:"), std::string::npos) << check.out;
        EXPECT_EQ(check.out.find("ok: the Txt members lie back to back in index order") != std::string::npos, exact)
            << check.out;
        EXPECT_EQ(check.out.find("note: the Txt members do not lie back to back in index order, each with bytes of "
                                 "its own (" +
                                 layout.changes + "): ") != std::string::npos,
                  !exact)
            << check.out;
        const std::string dryNote =
            "txt.qax does not lie back to back in index order, each member with bytes of "
            "its own (" +
            layout.changes + "), and the rebuild would lay it out so";
        const ToolRun dry = Tool({"apply", "-n", "--undo", "undo", "mod.txt"});
        EXPECT_EQ(dry.status, 0) << dry.err;
        EXPECT_EQ(dry.err.find(dryNote) != std::string::npos, !exact) << dry.err;

        const ToolRun on = Tool({"apply", "--undo", "undo", "mod.txt"});
        ASSERT_EQ(on.status, 0) << on.err;
        EXPECT_EQ(on.err.find("txt.qax did not lie back to back in index order, each member with bytes of its own (" +
                              layout.changes +
                              "), and the rebuild has laid it out so: taking the mod off gives "
                              "every member its bytes back, but txt.qax and the index stay laid "
                              "out anew") != std::string::npos,
                  !exact)
            << on.err;
        const ToolRun off = Tool({"apply", "undo"});
        ASSERT_EQ(off.status, 0) << off.err;
        EXPECT_EQ(TxtMembersRead(disk_, set_.txt.size()), reads);
        EXPECT_EQ(DataFiles() == before, exact);
        // From the layout the round trip left, the next is byte for byte.
        const auto laidOut = DataFiles();
        const ToolRun onAgain = Tool({"apply", "--undo", "undo-again", "mod.txt"});
        ASSERT_EQ(onAgain.status, 0) << onAgain.err;
        EXPECT_EQ(onAgain.err.find("txt.qax did not lie"), std::string::npos) << onAgain.err;
        ASSERT_EQ(Tool({"apply", "undo-again"}).status, 0);
        EXPECT_EQ(DataFiles(), laidOut);
        EXPECT_NE(Tool({"check"}).out.find("ok: the Txt members lie back to back in index order"), std::string::npos);
    }
}

// Names and bytes for scripts: pairs and names from -T (a file or standard
// input, lines or zero-ended), a replacement's bytes from standard input.
TEST_F(Qaxtool, TakesNamesAndBytesFromFilesAndStandardInput) {
    WriteText(disk_.Dir() / "pairs.txt", "SIX=new.bin\r\nONE=new.bin\n");
    WriteText(disk_.Dir() / "a=b.bin", "A=B BYTES");
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::vector<std::pair<std::size_t, std::string>> replaced;  // Txt member, new bytes
    };
    const Case cases[] = {
        {{"replace", "txt", "FOUR=-"}, "from standard input", {{4, "from standard input"}}},
        {{"replace", "txt", "-T", "pairs.txt"}, "", {{5, "NEW BYTES"}, {0, "NEW BYTES"}}},
        {{"replace", "txt", "--null", "--files-from=-"},
         std::string("SIX=new.bin\0FOUR=new.bin\0", 26),
         {{5, "NEW BYTES"}, {4, "NEW BYTES"}}},
        // Plain names in either case with -i; only the first = ends the name.
        {{"replace", "-i", "txt", "four=-"}, "from standard input", {{4, "from standard input"}}},
        {{"apply", "--ignore-case", "-"}, "TXT six new.bin\n", {{5, "NEW BYTES"}}},
        {{"replace", "txt", "ONE=a=b.bin"}, "", {{0, "A=B BYTES"}}},
        // As Windows tools write text: a UTF-8 byte-order mark, UTF-16 with
        // its mark in either byte order, names outside ASCII (one beyond
        // 16 bits, which UTF-16 writes as a pair).
        {{"apply", "mod-bom.txt"}, "", {{5, "NEW BYTES"}, {0, "UMLAUT BYTES"}}},
        {{"replace", "txt", "-T", "-"},
         "\xEF\xBB\xBF"
         "FOUR=new.bin\r\n",
         {{4, "NEW BYTES"}}},
        {{"apply", "mod-utf16le.txt"}, "", {{0, "UMLAUT BYTES"}, {5, "NEW BYTES"}}},
        {{"replace", "txt", "-T", "pairs-utf16be.txt"}, "", {{4, "UMLAUT BYTES"}, {1, "NEW BYTES"}}},
        {{"replace", "txt", "--null", "-T", "names-utf16le.txt"}, "", {{0, "NEW BYTES"}}},
#ifdef _WIN32
        // Windows reads \ in a manifest's file names as it reads /.
        {{"apply", "mod-backslash.txt"}, "", {{0, "in a folder"}}},
#endif
    };
    const std::string outsideAscii = "neu-\u00e4-\U0001F600.bin";
    WriteText(disk_.Dir() / PathFromUtf8(outsideAscii), "UMLAUT BYTES");
    WriteText(disk_.Dir() / "mod-bom.txt", "\xEF\xBB\xBFtxt SIX new.bin\r\ntxt ONE " + outsideAscii + "\r\n");
    WriteText(disk_.Dir() / "mod-utf16le.txt",
              Utf16WithMark(u"txt ONE neu-\u00e4-\U0001F600.bin\r\ntxt SIX new.bin\r\n", false));
    WriteText(disk_.Dir() / "pairs-utf16be.txt",
              Utf16WithMark(u"FOUR=neu-\u00e4-\U0001F600.bin\r\nLONG=new.bin\r\n", true));
    WriteText(disk_.Dir() / "names-utf16le.txt", Utf16WithMark(std::u16string(u"ONE=new.bin\0", 12), false));
    WriteText(disk_.Dir() / "sub" / "em.txt", "in a folder");
    WriteText(disk_.Dir() / "mod-backslash.txt", "txt ONE sub\\em.txt\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        disk_.Write(set_);
        const ToolRun run = Tool(c.args, c.input);
        ASSERT_EQ(run.status, 0) << run.err;
        MemberSet expected = set_;
        for (const auto& [member, bytes] : c.replaced)
            expected = testing::WithMemberReplaced(expected, Txt, member, bytes);
        EXPECT_TRUE(SameBytes(disk_.Txt(), testing::ArchiveFor(expected.txt)));
        EXPECT_TRUE(SameBytes(disk_.Index(), AsString(testing::IndexFor(expected))));
    }
    const ToolRun names = Tool({"extract", "-T", "-", "--null", "-o", "out"}, std::string("HELI\0JEEP\0", 10));
    EXPECT_EQ(names.status, 0) << names.err;
    EXPECT_EQ(names.out, Printed("out/HELI.SHP") + "\n" + Printed("out/JEEP.SHP") + "\n");
}

#ifndef _WIN32  // Windows has no open-files limit that a test can lower for one program.
// A batch larger than the open-files limit: the files are checked up front
// and opened one at a time.
TEST_F(Qaxtool, ABatchIsNotBoundedByTheOpenFilesLimit) {
    set_.txt.clear();
    std::string pairs;
    MemberSet expected = set_;
    for (int k = 0; k < 100; ++k) {
        const std::string name = "M" + std::to_string(k);
        set_.txt.push_back({name, "old " + name});
        WriteText(disk_.Dir() / (name + ".txt"), "new " + name);
        pairs += name + "=" + name + ".txt\n";
    }
    expected = set_;
    for (std::size_t k = 0; k < set_.txt.size(); ++k)
        expected = testing::WithMemberReplaced(expected, Txt, k, "new " + set_.txt[k].name);
    disk_.Write(set_);
    WriteText(disk_.Dir() / "pairs.txt", pairs);
    const std::string command = "cd " + Quoted(disk_.Dir().string()) + " && ulimit -n 40 && " + Quoted(ToolPath()) +
                                " replace txt -T pairs.txt >/dev/null 2>errors";
    ASSERT_EQ(std::system(command.c_str()), 0) << testing::ReadWholeFile(disk_.Dir() / "errors");
    EXPECT_TRUE(SameBytes(disk_.Txt(), testing::ArchiveFor(expected.txt)));
    EXPECT_TRUE(SameBytes(disk_.Index(), AsString(testing::IndexFor(expected))));
}

#endif

#ifdef QAX_READ_JSON_WITH_QT  // Qt is the JSON parser, and a build without the window has none.
// The JSON list, read back by a real JSON parser: every member with its
// type, line, place in the index, name, size and offset.
TEST_F(Qaxtool, ListsAsJsonThatAParserReadsBack) {
    set_.txt[2].name = std::string("T\xC9\"W\\", 5);  // Latin-1, a quote and a backslash
    disk_.Write(set_);
    for (const int group : {Txt, Shp}) {
        const ToolRun run = Tool({"list", group == Txt ? "txt" : "shp", "--json"});
        ASSERT_EQ(run.status, 0) << run.err;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << run.out;
        const QJsonArray members = document.array();
        const std::vector<testing::Member>& expected = group == Txt ? set_.txt : set_.shp;
        ASSERT_EQ(members.size(), static_cast<qsizetype>(expected.size()));
        std::uint32_t offset = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const QJsonObject member = members[static_cast<qsizetype>(i)].toObject();
            EXPECT_EQ(member["type"].toString(), group == Txt ? "txt" : "shp");
            EXPECT_EQ(member["line"].toInt(), static_cast<int>(i));
            EXPECT_EQ(member["entry"].toInt(), static_cast<int>(i + (group == Shp ? set_.txt.size() : 0)));
            EXPECT_EQ(member["name"].toString(), QString::fromLatin1(expected[i].name));
            EXPECT_EQ(member["size"].toInteger(), static_cast<qint64>(expected[i].bytes.size()));
            EXPECT_EQ(member["offset"].toInteger(), offset);
            offset += static_cast<std::uint32_t>(expected[i].bytes.size());
        }
    }
}

// check, extract, replace and apply as JSON: one document each, read back
// with the same parser, saying what each command did to each member; the
// exit status is the one without --json.
TEST_F(Qaxtool, GivesEveryCommandsResultAsJsonThatAParserReadsBack) {
    const auto parsed = [](const ToolRun& run) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << run.out;
        return document.object();
    };
    const auto place = [](const testing::Member& member, qint64 offset) {
        return QJsonObject{{"size", static_cast<qint64>(member.bytes.size())}, {"offset", offset}};
    };
    set_.txt[3].name = "TWO";  // sound: no name twice
    disk_.Write(set_);

    const ToolRun check = Tool({"check", "--json", "-q"});
    EXPECT_EQ(check.status, 0) << check.err;
    const QJsonObject checked = parsed(check);
    EXPECT_EQ(checked["command"].toString(), "check");
    EXPECT_TRUE(checked["sound"].toBool());
    const std::string said = Tool({"check"}).out;
    EXPECT_EQ(checked["findings"].toArray().size(), static_cast<qsizetype>(std::count(said.begin(), said.end(), '\n')));
    for (const QJsonValue finding : checked["findings"].toArray()) EXPECT_TRUE(finding["ok"].toBool());
    WriteText(disk_.Paths().TxtArchivePath, "short");
    const ToolRun damaged = Tool({"check", "--json"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_FALSE(parsed(damaged)["sound"].toBool());
    disk_.Write(set_);

    // Paths are UTF-8 in JSON as everywhere, whatever the bytes of names.
    const std::string outsideAscii = "out\u00e9";
    const ToolRun extract = Tool({"extract", "--json", "-o", outsideAscii, "HELI", "NOPE", "JEEP"});
    EXPECT_EQ(extract.status, 1);
    const QJsonObject extracted = parsed(extract);
    EXPECT_EQ(extracted["type"].toString(), "shp");
    EXPECT_EQ(extracted["unmatched"].toArray(), QJsonArray{"NOPE"});
    const QJsonArray files = extracted["members"].toArray();
    ASSERT_EQ(files.size(), 2);
    const qint64 jeepAt = static_cast<qint64>(set_.shp[0].bytes.size());
    EXPECT_EQ(files[0]["name"].toString(), "HELI");
    EXPECT_EQ(files[0]["member"].toObject(),
              place(set_.shp[2], jeepAt + static_cast<qint64>(set_.shp[1].bytes.size())));
    EXPECT_EQ(files[1]["line"].toInt(), 1);
    EXPECT_EQ(files[1]["file"].toString().toStdString(), Printed(outsideAscii + "/JEEP.SHP"));
    EXPECT_EQ(files[1]["result"].toString(), "extracted");
    EXPECT_TRUE(
        SameBytes(testing::ReadWholeFile(disk_.Dir() / PathFromUtf8(outsideAscii) / "JEEP.SHP"), set_.shp[1].bytes));

    // A dry run knows the new size, not the offset; the real run both, as
    // the list then gives them.
    const DataSetBytes before = Current();
    const ToolRun dry = Tool({"replace", "--json", "-n", "shp", "JEEP=new.bin"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_TRUE(Current() == before);
    const QJsonObject wouldBe = parsed(dry)["members"].toArray()[0].toObject();
    EXPECT_EQ(wouldBe["result"].toString(), "would be replaced");
    EXPECT_EQ(wouldBe["before"].toObject(), place(set_.shp[1], jeepAt));
    EXPECT_EQ(wouldBe["after"].toObject(), (QJsonObject{{"size", 9}, {"offset", QJsonValue()}}));
    WriteText(disk_.Dir() / "mod.txt", "shp JEEP new.bin\ntxt SIX new.bin\n");
    const std::string undoDir = "undo d\u00efr";
    const ToolRun applied = Tool({"apply", "--json", "--undo", undoDir, "mod.txt"});
    EXPECT_EQ(applied.status, 0) << applied.err;
    const QJsonObject done = parsed(applied);
    EXPECT_EQ(done["command"].toString(), "apply");
    EXPECT_FALSE(done["dryRun"].toBool());
    EXPECT_EQ(done["undo"].toString().toStdString(), undoDir);
    EXPECT_TRUE(done["undoByteForByte"].toBool());
    EXPECT_FALSE(done.contains("note"));
    const QJsonArray members = done["members"].toArray();
    ASSERT_EQ(members.size(), 2);
    EXPECT_EQ(members[0]["type"].toString(), "shp");
    EXPECT_EQ(members[0]["after"].toObject(), (QJsonObject{{"size", 9}, {"offset", jeepAt}}));
    EXPECT_EQ(members[1]["name"].toString(), "SIX");
    EXPECT_EQ(members[1]["line"].toInt(), 5);
    EXPECT_EQ(members[1]["result"].toString(), "replaced");
    EXPECT_EQ(members[1]["file"].toString().toStdString(), Printed("new.bin"));
    const QJsonObject sixNow =
        QJsonDocument::fromJson(QByteArray::fromStdString(Tool({"list", "txt", "--json", "SIX"}).out))
            .array()[0]
            .toObject();
    EXPECT_EQ(members[1]["after"].toObject(), (QJsonObject{{"size", sixNow["size"]}, {"offset", sixNow["offset"]}}));
    EXPECT_EQ(members[1]["before"].toObject()["size"].toInteger(), static_cast<qint64>(set_.txt[5].bytes.size()));

    // A layout the rebuild changes: a note in check's findings, and the
    // undo's promise with the note that stands on standard error, each
    // word for word.
    disk_.Write(set_);
    WriteText(disk_.Paths().TxtArchivePath, testing::ArchiveFor(set_.txt) + "more");
    const ToolRun noted = Tool({"check", "--json"});
    EXPECT_EQ(noted.status, 0) << noted.err;
    EXPECT_TRUE(parsed(noted)["sound"].toBool());
    QJsonArray notes;
    for (const QJsonValue finding : parsed(noted)["findings"].toArray())
        if (finding["note"].toBool()) notes.append(finding);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes.at(0)["ok"].toBool());
    const std::string noteLine = "note: " + notes.at(0)["text"].toString().toStdString() + "\n";
    EXPECT_NE(Tool({"check"}).out.find(noteLine), std::string::npos) << noteLine;
    const ToolRun rehearsed = Tool({"apply", "--json", "-n", "--undo", "other undo", "mod.txt"});
    EXPECT_EQ(rehearsed.status, 0) << rehearsed.err;
    EXPECT_FALSE(parsed(rehearsed)["undoByteForByte"].toBool());
    const std::string note = parsed(rehearsed)["note"].toString().toStdString();
    EXPECT_NE(note.find("(4 bytes that no entry points to)"), std::string::npos) << note;
    EXPECT_NE(WithoutCarriageReturns(rehearsed.err).find("qaxtool: " + note + "\n"), std::string::npos)
        << rehearsed.err;
}

// The CRC-32 (of zip and PNG) of `bytes`, bit by bit, as 8 hexadecimal
// digits: what a guard line gives.
std::string Crc32Hex(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(~crc));
    return hex;
}

// A command refused after its command line was read, with --json: one
// document on standard output, read back by the parser, with the refusal's
// kind, its text and what failed member by member; the exit status is the
// one without --json, and standard error says the same as without it.
TEST_F(Qaxtool, GivesEveryRefusalAsJsonThatAParserReadsBack) {
    // ONE holds "first" (5 bytes) and TANK 5000 bytes, neither with this
    // CRC-32.
    WriteText(disk_.Dir() / "mod-guarded.txt",
              "guard txt ONE 5 00000000\nguard shp TANK 5000 0000abcd\ntxt ONE new.bin\n");
    WriteText(disk_.Dir() / "mod-names.txt", "txt NOPE new.bin\ntxt ONE new.bin\ntxt ONE new.bin\n");
    WriteText(disk_.Dir() / "mod-bad-type.txt", "pal PAL new.bin\n");
    // An undo: its mod wrote "mod" into ONE, and it puts new.bin back.
    WriteText(disk_.Dir() / "mod-done.txt", "guard txt ONE 3 " + Crc32Hex("mod") + "\ntxt ONE new.bin\n");
    WriteText(disk_.Dir() / "new-one.bin", "NEW BYTES");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string kind;
        std::string words;  // in the text
        std::vector<QJsonObject> members;
    };
    const auto guard = [](const char* type, const char* name, const char* reason, qint64 size, const char* crc,
                          qint64 foundSize, const std::string& foundCrc) {
        return QJsonObject{{"type", type},
                           {"name", name},
                           {"problem", "guard"},
                           {"reason", reason},
                           {"expected", QJsonObject{{"size", size}, {"crc32", crc}}},
                           {"found", QJsonObject{{"size", foundSize}, {"crc32", QString::fromStdString(foundCrc)}}}};
    };
    const Case cases[] = {
        {{"apply", "--json", "mod-guarded.txt"},
         1,
         "guard",
         "ONE holds what another change wrote after this mod",
         {guard("txt", "ONE", "changed since", 5, "00000000", 5, Crc32Hex("first")),
          guard("shp", "TANK", "changed since", 5000, "0000abcd", 5000, Crc32Hex(set_.shp[0].bytes))}},
        {{"-n", "apply", "--json", "mod-guarded.txt"}, 1, "guard", "TANK holds what another change", {}},
        {{"replace", "--json", "txt", "ONE=new-one.bin", "TWIN=new.bin"},
         1,
         "member",
         "The name TWIN is not unique",
         {QJsonObject{{"type", "txt"}, {"name", "TWIN"}, {"problem", "not unique"}, {"lines", QJsonArray{2, 3}}}}},
        {{"apply", "--json", "mod-names.txt"},
         1,
         "member",
         "No member matches NOPE",
         {QJsonObject{{"type", "txt"}, {"name", "NOPE"}, {"problem", "missing"}},
          QJsonObject{{"type", "txt"}, {"name", "ONE"}, {"problem", "given twice"}}}},
        {{"apply", "--json", "mod-bad-type.txt"}, 2, "usage", "line 1: the type must be txt or shp", {}},
        {{"apply", "--json", "absent.txt"}, 1, "input", "absent.txt (No such file or directory)", {}},
        {{"--data", "nowhere", "list", "txt", "--json"}, 1, "data set", "Can't find", {}},
    };
    const DataSetBytes before = Current();
    for (const Case& c : cases) {
        std::string trace;
        for (const std::string& arg : c.args) trace += arg + " ";
        SCOPED_TRACE(trace);
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        QJsonParseError error{};
        const QJsonObject refusal = QJsonDocument::fromJson(QByteArray::fromStdString(run.out), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << run.out;
        EXPECT_EQ(refusal["command"].toString().toStdString(), c.args[c.args[0] == "-n"       ? 1
                                                                      : c.args[0] == "--data" ? 2
                                                                                              : 0]);
        EXPECT_TRUE(refusal["refused"].toBool());
        EXPECT_EQ(refusal["status"].toInt(), c.status);
        EXPECT_EQ(refusal["kind"].toString().toStdString(), c.kind);
        EXPECT_NE(refusal["text"].toString().toStdString().find(c.words), std::string::npos) << run.out;
        EXPECT_NE(run.err.find(c.words), std::string::npos) << run.err;
        if (!c.members.empty()) {
            const QJsonArray members = refusal["members"].toArray();
            ASSERT_EQ(members.size(), static_cast<qsizetype>(c.members.size())) << run.out;
            for (std::size_t i = 0; i < c.members.size(); ++i)
                EXPECT_EQ(members[static_cast<qsizetype>(i)].toObject(), c.members[i]) << run.out;
        }
        EXPECT_TRUE(Current() == before);
    }

    // A manifest applied already: its own reason, and the bytes found are
    // the ones it would write.
    ASSERT_EQ(Tool({"replace", "txt", "ONE=new-one.bin"}).status, 0);
    const ToolRun twice = Tool({"apply", "--json", "mod-done.txt"});
    EXPECT_EQ(twice.status, 1);
    const QJsonObject applied = QJsonDocument::fromJson(QByteArray::fromStdString(twice.out)).object();
    EXPECT_EQ(applied["members"].toArray()[0].toObject(),
              guard("txt", "ONE", "applied already", 3, Crc32Hex("mod").c_str(), 9, Crc32Hex("NEW BYTES")))
        << twice.out;

    // Busy: the holder as the system names it (this process).
    const auto changing = DirectoryLock::TryAcquire(Utf8Of(DataDir()), LockKind::Exclusive);
    ASSERT_TRUE(changing);
    const ToolRun busy = Tool({"replace", "--json", "txt", "ONE=new.bin"});
    EXPECT_EQ(busy.status, 3);
    const QJsonObject held = QJsonDocument::fromJson(QByteArray::fromStdString(busy.out)).object();
    EXPECT_EQ(held["kind"].toString(), "busy");
    EXPECT_NE(held["holders"].toString().toStdString().find("(process " + std::to_string(::getpid()) + ")"),
              std::string::npos)
        << busy.out;
    EXPECT_NE(held["text"].toString().toStdString().find("Another editor is working on this data set"),
              std::string::npos)
        << busy.out;
}

#endif

// A batch extraction (and a list) goes on past a name that matches nothing
// and fails at the end; --keep-old leaves files that are there, and says so.
TEST_F(Qaxtool, ExtractionGoesOnPastABadNameAndKeepsOldFilesWhenAsked) {
    const ToolRun listed = Tool({"list", "shp", "--names", "Q*", "T*", "NOPE"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(listed.out, "TANK\n");
    EXPECT_EQ(WithoutCarriageReturns(listed.err), "qaxtool: No member matches Q*\nqaxtool: No member matches NOPE\n");

    WriteText(disk_.Dir() / "out" / "TANK.SHP", "mine");
    // The user's, named like the note of a batch extraction.
    const std::filesystem::path note = disk_.Dir() / "out" / ".qaxtool-extract-5a5a5a5a";
    WriteText(note, "to redo\nJEEP.SHP\n");
    const ToolRun run = Tool({"extract", "-o", "out", "-k", "TANK", "NOPE", "J*"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("No member matches NOPE"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("kept " + Printed("out/TANK.SHP")), std::string::npos) << run.err;
    EXPECT_EQ(run.out, Printed("out/JEEP.SHP") + "\n");
    EXPECT_EQ(testing::ReadWholeFile(disk_.Dir() / "out" / "TANK.SHP"), "mine");
    EXPECT_TRUE(SameBytes(testing::ReadWholeFile(disk_.Dir() / "out" / "JEEP.SHP"), set_.shp[1].bytes));
    // Without -k the old file gives way.
    EXPECT_EQ(Tool({"extract", "-o", "out", "TANK"}).status, 0);
    EXPECT_TRUE(SameBytes(testing::ReadWholeFile(disk_.Dir() / "out" / "TANK.SHP"), set_.shp[0].bytes));
    EXPECT_TRUE(std::filesystem::exists(note) && testing::ReadWholeFile(note) == "to redo\nJEEP.SHP\n");

    // A member Windows cannot hold as a file name is a bad name there: told
    // with its reason, and the others are still extracted; Linux extracts
    // it as it is. A bad name is never taken for a file that is there (-k).
    std::vector<RawEntry> entries = testing::AllEntries(set_);
    entries[set_.txt.size() + 1].name = "Aux.x";
    entries[set_.txt.size() + 2].name = "../x";
    testing::WriteBytes(disk_.Paths().IndexPath, testing::IndexBytes(set_.header, entries));
    WriteText(disk_.Dir() / "x.SHP", "mine");
    const ToolRun batch = Tool({"extract", "-o", "batch", "-k", "TANK", "Aux.x", "../x"});
    EXPECT_EQ(batch.status, 1);
    EXPECT_NE(batch.err.find("\"../x\" cannot be used as a file name in the editor's directory"), std::string::npos)
        << batch.err;
    EXPECT_EQ(testing::ReadWholeFile(disk_.Dir() / "x.SHP"), "mine");
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(disk_.Dir() / "batch"))
        files.push_back(Utf8Of(entry.path().filename()));
    std::sort(files.begin(), files.end());
#ifdef _WIN32
    EXPECT_NE(batch.err.find("\"Aux.x\" cannot be used as a file name on this system: Aux is the name of a device"),
              std::string::npos)
        << batch.err;
    EXPECT_EQ(batch.out, Printed("batch/TANK.SHP") + "\n");
    EXPECT_EQ(files, (std::vector<std::string>{"TANK.SHP"}));
#else
    EXPECT_EQ(batch.out, Printed("batch/TANK.SHP") + "\n" + Printed("batch/Aux.x.SHP") + "\n");
    EXPECT_EQ(files, (std::vector<std::string>{"Aux.x.SHP", "TANK.SHP"}));
    EXPECT_TRUE(SameBytes(testing::ReadWholeFile(disk_.Dir() / "batch" / "Aux.x.SHP"), set_.shp[1].bytes));
#endif
    EXPECT_TRUE(SameBytes(testing::ReadWholeFile(disk_.Dir() / "batch" / "TANK.SHP"), set_.shp[0].bytes));
}

// Another editor (here, this test process) holds the data set: a
// replacement is refused and changes nothing; readers share it.
TEST_F(Qaxtool, ReplacementWaitsForNoOneWhileAnotherEditorHoldsTheDataSet) {
    const DataSetBytes before = Current();
    {
        const auto reading = DirectoryLock::TryAcquire(Utf8Of(DataDir()), LockKind::Shared);
        ASSERT_TRUE(reading);
        const ToolRun refused = Tool({"replace", "txt", "ONE=new.bin"});
        EXPECT_EQ(refused.status, 3);
        EXPECT_NE(refused.err.find("Another editor is working on this data set right now"), std::string::npos)
            << refused.err;
        EXPECT_NE(refused.err.find("qaxtool --wait[=SECONDS] waits until it has finished."), std::string::npos)
            << refused.err;
#ifndef _WIN32
        // The holder is named: this process. (Windows keeps no table of who
        // holds a lock.)
        EXPECT_NE(refused.err.find("(process " + std::to_string(::getpid()) + ")"), std::string::npos) << refused.err;
#endif
        EXPECT_TRUE(Current() == before);
        EXPECT_FALSE(disk_.LeftoversExist());
        // Readers share it, and so does check (which goes through the data
        // set, here finding TWIN twice, and is not refused).
        EXPECT_EQ(Tool({"list", "txt"}).status, 0);
        const ToolRun check = Tool({"check"});
        EXPECT_NE(check.status, 3);
        EXPECT_NE(check.out.find("ok: the section file fits the index"), std::string::npos) << check.err;
    }
    {
        const auto changing = DirectoryLock::TryAcquire(Utf8Of(DataDir()), LockKind::Exclusive);
        ASSERT_TRUE(changing);
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"list", "txt"}, {"show", "ONE"}, {"extract", "TANK"}, {"check"}}) {
            const ToolRun refused = Tool(args);
            EXPECT_EQ(refused.status, 3) << args[0];
            EXPECT_NE(refused.err.find("Another editor"), std::string::npos) << refused.err;
            // Nothing to undo in a command that only reads.
            EXPECT_EQ(refused.err.find("Nothing was changed"), std::string::npos) << refused.err;
        }
        // Waiting a while is not waiting long enough; the message is said once.
        const ToolRun waited = Tool({"--wait=0.3", "replace", "txt", "ONE=new.bin"});
        EXPECT_EQ(waited.status, 3);
        EXPECT_EQ(waited.err.find("Another editor"), waited.err.rfind("Another editor")) << waited.err;
        EXPECT_TRUE(Current() == before);
    }
    // A wait outlasts a holder that lets go, however long the user lets it
    // be; what the command reads from standard input is read once, before
    // the first try, and used by the try that goes ahead.
    struct Wait {
        std::vector<std::string> args;
        std::string input;
        std::string oneAfter;  // Txt member ONE afterwards
    };
    const Wait waits[] = {
        {{"-w", "replace", "txt", "ONE=new.bin"}, "", "NEW BYTES"},
        {{"-w", "replace", "txt", "ONE=-"}, "NEW TEXT\n", "NEW TEXT\n"},
        {{"--wait=1e10", "apply", "-"}, "txt ONE new.bin\n", "NEW BYTES"},
        {{"--wait=9.3e9", "replace", "txt", "-T", "-"}, "ONE=new.bin\n", "NEW BYTES"},
        {{"--wait=1e300", "replace", "txt", "ONE=-"}, std::string("zero\0bytes", 10), std::string("zero\0bytes", 10)},
        {{"--wait=1e400", "extract", "-T", "-", "-o", "waited"}, "TANK\n", set_.txt[0].bytes},
    };
    for (const Wait& wait : waits) {
        SCOPED_TRACE(wait.args[0] + " " + wait.args[1]);
        disk_.Write(set_);
        auto held = DirectoryLock::TryAcquire(Utf8Of(DataDir()), LockKind::Exclusive);
        std::thread release([&held] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            held.reset();
        });
        const ToolRun waited = Tool(wait.args, wait.input);
        release.join();
        EXPECT_EQ(waited.status, 0) << waited.err;
        EXPECT_EQ(waited.err, "");
        EXPECT_EQ(Tool({"show", "ONE"}).out, wait.oneAfter);
    }
    EXPECT_TRUE(SameBytes(testing::ReadWholeFile(disk_.Dir() / "waited" / "TANK.SHP"), set_.shp[0].bytes));
}

// The tool keeps its temporary copy in the data directory.
std::filesystem::path ToolCopyPath(const DataSetOnDisk& disk) {
    return disk.Dir() / "data" / "~temp.fpc";
}

TEST_F(Qaxtool, CheckReportsWithoutChangingAnything) {
    const std::filesystem::path copy = ToolCopyPath(disk_);
    // Sound: no name twice.
    set_.txt[3].name = "TWO";
    struct Case {
        const char* name;
        std::function<void()> damage;
        std::string words;   // in standard output; empty for a sound data set
        std::string note{};  // in a note line of a sound data set
    };
    const Case cases[] = {
        {"sound", [] {}, ""},
        // Sound, but laid out otherwise than a rebuild lays it out.
        {"bytes after the last Txt member",
         [&] { WriteText(disk_.Paths().TxtArchivePath, testing::ArchiveFor(set_.txt) + "more"); }, "",
         "(4 bytes that no entry points to): any rebuild of txt.qax lays them out so"},
        {"txt.qax cut short", [&] { WriteText(disk_.Paths().TxtArchivePath, "short"); }, "runs past the end"},
        {"Shp members not back to back",
         [&] {
             std::vector<RawEntry> entries = testing::AllEntries(set_);
             entries[set_.txt.size() + 1].offset += 1;
             testing::WriteBytes(disk_.Paths().IndexPath, testing::IndexBytes(set_.header, entries));
         },
         "do not lie back to back"},
        {"section file past the index",
         [&] {
             testing::WriteBytes(disk_.Paths().SectionPath, testing::SectionBytes({6, 3000, 3001, 3002, 3003, 3004}));
         },
         "does not fit the index"},
        {"a file with the copy's name", [&] { WriteText(copy, "old archive"); }, "leaves it alone"},
        {"a record planted by a stranger", [&] { WriteText(disk_.RecordPath(), "QAXREC\r\n..."); }, "is damaged"},
        {"one name twice in a type", [&] { disk_.Write(Members()); }, "txt TWIN is on lines 3 and 4"},
        {"an interrupted replacement", [&] { LeaveInterruptedReplacement(); }, "would be undone"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disk_.Write(set_);
        c.damage();
        const auto before = DataFiles();
        const ToolRun run = Tool({"check"});
        EXPECT_EQ(run.status, c.words.empty() ? 0 : 1) << run.out;
        if (c.words.empty()) {
            EXPECT_EQ(run.out.find("problem:"), std::string::npos) << run.out;
            EXPECT_NE(run.out.find("ok: the Shp members lie back to back"), std::string::npos) << run.out;
            EXPECT_EQ(run.out.find("ok: the Txt members lie back to back in index order") == std::string::npos,
                      !c.note.empty())
                << run.out;
            if (!c.note.empty()) {
                EXPECT_NE(run.out.find("\nnote: the Txt members do not lie back to back in index order, each with "
                                       "bytes of its own " +
                                       c.note),
                          std::string::npos)
                    << run.out;
            }
        } else {
            EXPECT_NE(run.out.find("problem: "), std::string::npos) << run.out;
            EXPECT_NE(run.out.find(c.words), std::string::npos) << run.out;
        }
        // Quiet: the same verdict, and only the problems said.
        const ToolRun quiet = Tool({"check", "-q"});
        EXPECT_EQ(quiet.status, run.status);
        std::string problems;
        for (std::size_t at = 0; at < run.out.size();) {
            const std::size_t end = run.out.find('\n', at) + 1;
            if (run.out.compare(at, 3, "ok:") != 0 && run.out.compare(at, 5, "note:") != 0)
                problems += run.out.substr(at, end - at);
            at = end;
        }
        EXPECT_EQ(quiet.out, problems);
        EXPECT_EQ(quiet.err, "");
        EXPECT_TRUE(DataFiles() == before);
        std::filesystem::remove(copy);
        std::filesystem::remove(disk_.RecordPath());
    }
}

// Something planted at the lock file's name keeps every command out, reads
// and check too: every editor, of either build, locks that file. Each says
// that it is the lock file (not the data directory) and that it may be
// removed when no editor runs; nothing is changed.
TEST_F(Qaxtool, SomethingPlantedAtTheLockFilesNameIsNamedAsTheLockFile) {
    const std::filesystem::path lockFile = DataDir() / "~qaxedit.lck";
    struct Plant {
        const char* name;
        std::function<void()> plant;
    };
    std::vector<Plant> plants = {
        {"something that is no regular file", [&] { testing::PlantNoRegularFile(lockFile); }},
        {"a directory", [&] { std::filesystem::create_directory(lockFile); }},
    };
    if (testing::SystemMakesSymlinks())
        plants.push_back({"a dangling link", [&] { testing::MakeSymlink(disk_.Dir() / "nowhere", lockFile); }});
    const DataSetBytes before = Current();
    for (const Plant& plant : plants) {
        SCOPED_TRACE(plant.name);
        std::filesystem::remove(lockFile);
        plant.plant();
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"list", "txt"}, {"replace", "txt", "ONE=new.bin"}, {"check"}}) {
            SCOPED_TRACE(args[0]);
            const ToolRun run = Tool(args);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.out, "");
            // The core names the lock file by the path it derived.
            EXPECT_NE(run.err.find("The lock file " + Utf8Of(disk_.Dir() / PathFromUtf8(Printed("data/~qaxedit.lck"))) +
                                   " cannot be used"),
                      std::string::npos)
                << run.err;
            EXPECT_NE(run.err.find("remove it when no editor runs"), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find("The lock file"), run.err.rfind("The lock file")) << "said twice:\n" << run.err;
            EXPECT_EQ(run.err.find("data directory"), std::string::npos) << run.err;
            EXPECT_TRUE(Current() == before);
            EXPECT_FALSE(disk_.LeftoversExist());
        }
        std::filesystem::remove(lockFile);
    }
}

// A replacement that died half way leaves a record only a change may act
// on. While another editor reads (so nobody may recover it), readers refuse
// rather than give out what may be half rewritten, and check tells of it; a
// dry run tells what recovery would do and touches no file; then the next
// command recovers it and reads the old members.
TEST_F(Qaxtool, AReplacementLeftHalfDoneIsNeitherReadNorTouchedUntilRecovered) {
    WriteText(disk_.Dir() / "mod.txt", "txt ONE new.bin\nshp JEEP new.bin\n");
    const DataSetBytes old = Current();
    LeaveInterruptedReplacement();
    const auto left = DataFiles();
    {
        const auto reading = DirectoryLock::TryAcquire(Utf8Of(DataDir()), LockKind::Shared);
        ASSERT_TRUE(reading);
        for (const std::vector<std::string>& args :
             std::vector<std::vector<std::string>>{{"list", "txt"},
                                                   {"show", "ONE"},
                                                   {"extract", "-o", "out", "TANK"},
                                                   {"extract", "-t", "txt", "-O", "ONE"}}) {
            SCOPED_TRACE(args[0]);
            const ToolRun refused = Tool(args);
            EXPECT_EQ(refused.status, 1);
            EXPECT_EQ(refused.out, "");
            EXPECT_NE(refused.err.find("nothing is read from the archives"), std::string::npos) << refused.err;
        }
        EXPECT_FALSE(std::filesystem::exists(disk_.Dir() / "out" / "TANK.SHP"));
        const ToolRun check = Tool({"check"});
        EXPECT_EQ(check.status, 1);
        EXPECT_NE(check.out.find("would be undone"), std::string::npos) << check.out;
        EXPECT_NE(check.out.find("Any qaxtool command but check and a dry run (qaxtool list txt, for one), or the "
                                 "editor as it starts, does this first."),
                  std::string::npos)
            << check.out;
        EXPECT_TRUE(DataFiles() == left);
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"replace", "--dry-run", "txt", "ONE=new.bin"}, {"apply", "-n", "mod.txt"}}) {
        SCOPED_TRACE(args[0]);
        const ToolRun dry = Tool(args);
        EXPECT_EQ(dry.status, 0) << dry.err;
        EXPECT_NE(dry.err.find("would be undone"), std::string::npos) << dry.err;
        EXPECT_TRUE(DataFiles() == left);
    }
    const ToolRun recovered = Tool({"list", "txt"});
    EXPECT_EQ(recovered.status, 0) << recovered.err;
    EXPECT_EQ(recovered.out, ExpectedLines(set_.txt));
    EXPECT_NE(recovered.err.find("was undone"), std::string::npos) << recovered.err;
    EXPECT_TRUE(Current() == old);
    EXPECT_FALSE(disk_.LeftoversExist());
}

// What the tool finds before the command is said on standard error; a file
// it cannot account for stays where it is, and the command's own result is
// unaffected.
TEST_F(Qaxtool, SaysWhatItFindsFirstAndLeavesStrangersAlone) {
    WriteText(ToolCopyPath(disk_), "a file that only has the copy's name");
    const ToolRun run = Tool({"list", "shp"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, ExpectedLines(set_.shp));
    EXPECT_NE(run.err.find("leaves it alone"), std::string::npos) << run.err;
    EXPECT_EQ(testing::ReadWholeFile(ToolCopyPath(disk_)), "a file that only has the copy's name");
    // A dry run stops where the real replacement would: the name is taken.
    const DataSetBytes before = Current();
    const ToolRun dry = Tool({"replace", "--dry-run", "txt", "ONE=new.bin"});
    EXPECT_EQ(dry.status, 1);
    EXPECT_NE(dry.err.find("leaves it alone"), std::string::npos) << dry.err;
    EXPECT_EQ(dry.err.find("would go ahead"), std::string::npos) << dry.err;
    EXPECT_TRUE(Current() == before);
    EXPECT_EQ(testing::ReadWholeFile(ToolCopyPath(disk_)), "a file that only has the copy's name");
}

#ifndef _WIN32  // Windows has no polite stop one program may send another but through a shared console.
// A polite stop (SIGTERM) ends the tool with 128 + the signal's number,
// whenever it comes. In the middle of a replacement the tool undoes what it
// began and says so, leaving nothing for a recovery to do; late, once the
// command has read all it needs and is writing its output, nothing is left
// to undo, and nothing is said to be undone.
TEST_F(Qaxtool, AStopEndsTheToolWith128PlusItsNumber) {
    set_.shp[0] = PatternMember("TANK", 96 << 20, 3);
    disk_.Write(set_);
    WriteText(disk_.Dir() / "big.bin", std::string(5 << 20, 'b'));
    const DataSetBytes before = Current();
    const std::filesystem::path err = disk_.Dir() / "stderr";
    const std::string tool = ToolPath();
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool late;
    };
    const Case cases[] = {
        // The record is the replacement's first write; the copy of 96 MiB,
        // flushed to the disk, and the rewrite follow it.
        {"mid replacement", {"replace", "shp", "TANK=" + (disk_.Dir() / "big.bin").string()}, false},
        // 96 MiB for a pipe that nobody reads yet: its first bytes there mean
        // the member has been read and the tool waits to write the rest.
        {"late, while writing the output", {"extract", "--stdout", "TANK"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {tool, "--data", DataDir().string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int output[2];
        ASSERT_EQ(::pipe(output), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::freopen(err.c_str(), "w", stderr);
            ::dup2(output[1], STDOUT_FILENO);
            ::close(output[0]);
            ::close(output[1]);
            ::execv(tool.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(output[1]);
        const auto begun = [&] {
            if (!c.late) return std::filesystem::exists(disk_.RecordPath());
            pollfd ready{output[0], POLLIN, 0};
            return ::poll(&ready, 1, 0) == 1;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!begun() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        EXPECT_TRUE(begun()) << "the command never got that far";
        ASSERT_EQ(::kill(child, SIGTERM), 0);
        // What it still writes is read, so that it can end.
        std::vector<char> drained(std::size_t{1} << 16);
        while (::read(output[0], drained.data(), drained.size()) > 0) {
        }
        ::close(output[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
        const std::string said = testing::ReadWholeFile(err);
        if (c.late)
            EXPECT_EQ(said.find("undone"), std::string::npos) << said;
        else
            EXPECT_NE(said.find("was undone"), std::string::npos) << said;
        // The stop is said as a stop, not as a file that could not be opened.
        EXPECT_EQ(said.find("asked to stop"), std::string::npos) << said;
        EXPECT_NE(said.find("Stopped by a signal (Terminated)"), std::string::npos) << said;
        EXPECT_TRUE(Current() == before);
        EXPECT_FALSE(disk_.LeftoversExist());
        EXPECT_FALSE(std::filesystem::exists(ToolCopyPath(disk_)));
    }
}

// Killed while it rewrites shp.qax, then the product folder is renamed: the
// next run, under the new path, knows the record for its data set's and
// puts the archive back before it replaces.
TEST_F(Qaxtool, AReplacementKilledBeforeTheFolderMovedIsUndoneWhereItNowLies) {
    set_.shp[0] = PatternMember("TANK", 96 << 20, 3);
    disk_.Write(set_);
    WriteText(disk_.Dir() / "big.bin", std::string(5 << 20, 'b'));
    const DataSetBytes before = Current();
    const std::string tool = ToolPath();
    const std::string dataDir = DataDir().string();
    const std::string replacement = "TANK=" + (disk_.Dir() / "big.bin").string();
    const auto unwritten = std::filesystem::last_write_time(disk_.Dir() / "data" / "shp.qax");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::freopen("/dev/null", "w", stderr);
        ::execl(tool.c_str(), tool.c_str(), "--data", dataDir.c_str(), "replace", "shp", replacement.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Killed once the archive has had its first write: it is then neither
    // old nor new, and only its copy can put it back.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::filesystem::last_write_time(disk_.Dir() / "data" / "shp.qax") == unwritten &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    ASSERT_TRUE(std::filesystem::exists(disk_.RecordPath())) << "killed before the replacement began";
    ASSERT_FALSE(SameBytes(disk_.Shp(), before.shp)) << "killed before the rewrite began";

    const std::filesystem::path moved = disk_.Dir().string() + " moved";
    std::filesystem::rename(disk_.Dir(), moved);
    WriteText(moved / "in", "");
    const int status = RunProgram(moved, (moved / "edit" / "qaxtool").string(),
                                  {"--data", (moved / "data").string(), "replace", "txt", "ONE=new.bin"}, moved / "in",
                                  moved / "out", moved / "err");
    const std::string said = testing::ReadWholeFile(moved / "err");
    std::filesystem::rename(moved, disk_.Dir());
    EXPECT_EQ(status, 0) << said;
    EXPECT_NE(said.find("was undone"), std::string::npos) << said;
    EXPECT_TRUE(SameBytes(disk_.Shp(), before.shp));
    EXPECT_FALSE(disk_.LeftoversExist());
}

// A stop while the tool waits on something outside it (standard input that
// its writer keeps open, another editor's lock) ends it at once with 128 +
// the signal's number, changes nothing, and leaves no spooled input behind,
// not even when the tool is killed outright.
TEST_F(Qaxtool, AStopWhileReadingOrWaitingEndsAtOnceAndLeavesNothing) {
    struct Stop {
        const char* name;
        int signal;
        std::vector<std::string> args;
        bool waits;              // the input ends and another editor holds the data set
        std::string words;       // in standard error; nothing when killed
        bool namedPipe = false;  // the input is the named pipe FIFO in the words, not standard input
    };
    const Stop stops[] = {
        {"Ctrl+C while reading",
         SIGINT,
         {"replace", "txt", "ONE=-"},
         false,
         "was not read to its end, and nothing was changed"},
        {"SIGTERM while reading a list", SIGTERM, {"replace", "txt", "-T", "-"}, false, "nothing was changed"},
        {"SIGHUP while reading a manifest", SIGHUP, {"apply", "-"}, false, "nothing was changed"},
        {"SIGKILL while reading", SIGKILL, {"replace", "txt", "ONE=-"}, false, ""},
        {"Ctrl+C while waiting", SIGINT, {"--wait", "replace", "txt", "ONE=-"}, true, "so nothing was changed"},
        // A named pipe whose writer keeps it open, as standard input.
        {"SIGTERM while reading a manifest from a named pipe",
         SIGTERM,
         {"apply", "FIFO"},
         false,
         "was not read to its end, and nothing was changed",
         true},
        {"Ctrl+C while reading a list from a named pipe",
         SIGINT,
         {"replace", "txt", "-T", "FIFO"},
         false,
         "was not read to its end, and nothing was changed",
         true},
        {"SIGHUP while reading names from a named pipe",
         SIGHUP,
         {"extract", "-T", "FIFO", "-o", "out"},
         false,
         "was not read to its end, and nothing was changed",
         true},
    };
    const std::filesystem::path fifo = disk_.Dir() / "input.fifo";
    const std::filesystem::path spoolDir = disk_.Dir() / "tmp";
    std::filesystem::create_directories(spoolDir);
    const std::filesystem::path err = disk_.Dir() / "stderr";
    const std::string tool = ToolPath();
    const std::string dataDir = DataDir().string();
    const DataSetBytes before = Current();
    for (const Stop& stop : stops) {
        SCOPED_TRACE(stop.name);
        std::unique_ptr<DirectoryLock> held;
        if (stop.waits) held = DirectoryLock::TryAcquire(dataDir, LockKind::Exclusive);
        int input[2];
        if (stop.namedPipe) {
            std::filesystem::remove(fifo);
            ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
            // Read and write: the open waits for no reader, and the pipe
            // keeps a writer for as long as the test wants it to.
            input[1] = ::open(fifo.c_str(), O_RDWR);
            input[0] = ::open("/dev/null", O_RDONLY);
            ASSERT_GE(input[1], 0);
        } else {
            ASSERT_EQ(::pipe(input), 0);
        }
        std::vector<std::string> words = {tool, "--data", dataDir};
        for (const std::string& arg : stop.args) words.push_back(arg == "FIFO" ? fifo.string() : arg);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(input[0], STDIN_FILENO);
            ::close(input[0]);
            ::close(input[1]);
            std::freopen(err.c_str(), "w", stderr);
            ::setenv("TMPDIR", spoolDir.c_str(), 1);
            ::execv(tool.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        // The first bytes taken up: the tool is reading, its handlers set.
        const std::string part = "ONE=new.bin\n";
        ASSERT_EQ(::write(input[1], part.data(), part.size()), static_cast<ssize_t>(part.size()));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int pending = 1;
             ::ioctl(input[1], FIONREAD, &pending) == 0 && pending > 0 && std::chrono::steady_clock::now() < deadline;)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (stop.waits) {
            ::close(input[1]);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        ASSERT_EQ(::kill(child, stop.signal), 0);
        // At once: well before the writer lets go.
        int status = 0;
        const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (::waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < patience)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!stop.waits) ::close(input[1]);
        if (::kill(child, 0) == 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            ADD_FAILURE() << "the tool did not stop";
            continue;
        }
        const std::string said = testing::ReadWholeFile(err);
        if (stop.signal == SIGKILL) {
            EXPECT_TRUE(WIFSIGNALED(status));
        } else {
            ASSERT_TRUE(WIFEXITED(status)) << said;
            EXPECT_EQ(WEXITSTATUS(status), 128 + stop.signal) << said;
            EXPECT_NE(said.find(stop.words), std::string::npos) << said;
            EXPECT_EQ(said.find("damaged"), std::string::npos) << said;
        }
        EXPECT_TRUE(std::filesystem::is_empty(spoolDir));
        EXPECT_TRUE(Current() == before);
        EXPECT_FALSE(disk_.LeftoversExist());
    }
}

#endif

// One tool serves several data sets: what it does in one never touches the
// copy or the record of another, live or left by a crash.
TEST_F(Qaxtool, EachDataSetKeepsItsOwnCopy) {
    DataSetOnDisk other{set_};
    // A's interrupted replacement, left as a death before its rewrite.
    WriteText(ToolCopyPath(disk_), "A's copy");
    WriteText(disk_.RecordPath(), "A's record");
    const ToolRun run = Tool({"--data", Utf8Of(other.Dir() / "data"), "replace", "txt", "ONE=new.bin"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(testing::ReadWholeFile(ToolCopyPath(disk_)), "A's copy");
    EXPECT_EQ(testing::ReadWholeFile(disk_.RecordPath()), "A's record");
    EXPECT_FALSE(other.LeftoversExist());
    EXPECT_FALSE(std::filesystem::exists(ToolCopyPath(other)));
}

}  // namespace
}  // namespace qax
