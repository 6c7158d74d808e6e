#include "command_input.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <utility>

#include "mod_undo.h"

namespace qax::tool {

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

// A file name from a list or a manifest written on Windows, where `\`
// separates folders as `/` does. Windows reads both; elsewhere `\` is a
// byte of a name like any other, and a name that holds it and names no file
// but would with `/` in its place is refused with the name that would do,
// rather than opened as something nobody meant. Nothing when the name is
// as good as it gets.
std::optional<std::string> BackslashProblem(const std::string& where, const std::string& given,
                                            const std::filesystem::path& resolved) {
#ifdef _WIN32
    (void)where, (void)given, (void)resolved;
    return std::nullopt;
#else
    if (given.find('\\') == std::string::npos) return std::nullopt;
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(resolved, ec))) return std::nullopt;
    std::string slashed = given;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    std::string resolvedSlashed = resolved.string();
    std::replace(resolvedSlashed.begin(), resolvedSlashed.end(), '\\', '/');
    if (!std::filesystem::exists(std::filesystem::symlink_status(resolvedSlashed, ec))) return std::nullopt;
    return where + ": " + given + " names no file, but " + slashed +
           " does: only / separates folders here (\\ does on Windows), so write " + slashed +
           ", which both systems read";
#endif
}

// A guard line's SIZE and CRC32 fields: a number of bytes a member can
// have, and 8 hexadecimal digits. Nothing when they are not that.
std::optional<GuardLine> ReadGuard(const std::string& type, const std::string& name, const std::string& rest) {
    std::istringstream fields(rest);
    std::string size, crc, more;
    fields >> size >> crc >> more;
    const auto all = [](const std::string& text, auto isDigit) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) { return isDigit(c); });
    };
    const auto decimal = [](char c) { return c >= '0' && c <= '9'; };
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    const auto group = GroupNamed(type);
    if (!group || (*group != Txt && *group != Shp) || name.empty() || !more.empty() || !all(size, decimal) ||
        size.size() > 10 || crc.size() != 8 || !all(crc, hex))
        return std::nullopt;
    const std::uint64_t bytes = std::stoull(size);
    if (bytes > 0x7fffffffu) return std::nullopt;
    return GuardLine{name, *group, bytes, static_cast<std::uint32_t>(std::stoul(crc, nullptr, 16)), {}};
}

// An undo's manifest, read only through its directory, held and proved
// (mod_undo.h): the directory this user's that nobody else may write, the
// manifest this user's own that nobody else may change. `manifest`: its
// path as the user gave it, or as the directory given makes it.
std::optional<std::vector<SourceLine>> ReadUndoManifest(const std::string& manifest, CommandInput& input,
                                                        TerminalSink& sink, int& status) {
    status = kFailed;
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(PathFromUtf8(manifest), ec);
    const std::string name = Utf8Of(path.filename());
    SystemFileSystem system;
    std::string bytes;
    try {
        input.undoSource = std::make_shared<UndoSource>(system, Utf8Of(path.parent_path()));
        std::string problem = input.undoSource->DirectoryRefusal();
        if (problem.empty()) problem = input.undoSource->FileRefusal(name);
        if (!problem.empty()) {
            sink.Say(problem + "\nNothing was changed.");
            return std::nullopt;
        }
        auto file = input.undoSource->OpenFile(name);
        if (file->Length() > kListByteLimit) {
            sink.Say(manifest + " holds more than " + std::to_string(kListByteLimit >> 20) +
                     " MiB, the most a manifest or a list of names may hold; nothing was read from it");
            return std::nullopt;
        }
        bytes.resize(static_cast<std::size_t>(file->Length()));
        if (!bytes.empty() && !ReadExactly(*file, bytes.data(), bytes.size()))
            throw IoError(IoStep::Read, manifest, MakeDataError(DataError::EndedEarly));
    } catch (const IoError& error) {
        sink.Say("Could not read " + manifest + " (" + error.Reason().message() + ")");
        return std::nullopt;
    }
    return SplitSource(std::move(bytes), manifest, false, sink, status);
}

// A file an undo's manifest names by a plain name: one in the undo's own
// directory, read through it.
bool IsPlainFileName(const std::string& file) {
    const std::filesystem::path path = PathFromUtf8(file);
    return !file.empty() && file != "." && file != ".." && path.filename() == path;
}

// A manifest: lines of TYPE NAME FILE; FILE is the rest of the line and,
// when relative, relative to the manifest's own directory. A guard line,
// guard TYPE NAME SIZE CRC32, says what a member must hold. A directory
// means the manifest in it (an undo's).
bool ReadManifest(std::string manifest, CommandInput& input, InputClaim& claim, TerminalSink& sink, int& status) {
    bool undoDirectory = false;
    if (manifest != "-") {
        std::error_code ec;
        const std::filesystem::path directory = PathFromUtf8(manifest);
        if (std::filesystem::is_directory(directory, ec)) {
            // An undo written before its manifest was named as a text file.
            const bool old = !std::filesystem::exists(directory / kUndoManifestName, ec) &&
                             std::filesystem::exists(directory / kOldUndoManifestName, ec);
            manifest = Utf8Of(directory / (old ? kOldUndoManifestName : kUndoManifestName));
            undoDirectory = true;
        }
    }
    if (manifest == "-")
        if (const auto problem = claim.Claim("the manifest -")) {
            sink.Say(*problem);
            status = kBadUsage;
            return false;
        }
    std::optional<std::vector<SourceLine>> lines;
    if (undoDirectory) {
        lines = ReadUndoManifest(manifest, input, sink, status);
    } else {
        lines = ReadSource(manifest, false, sink, status);
        // An undo's manifest named by itself is an undo all the same: read
        // again, through its directory, proved.
        if (lines && manifest != "-" && !lines->empty() && (*lines)[0].text.starts_with(kUndoManifestHeading))
            lines = ReadUndoManifest(manifest, input, sink, status);
    }
    if (!lines) return false;
    const std::filesystem::path base =
        manifest == "-" ? std::filesystem::path() : std::filesystem::absolute(PathFromUtf8(manifest)).parent_path();
    status = kBadUsage;
    input.undo = !lines->empty() && (*lines)[0].text.starts_with(kUndoManifestHeading);
    for (const SourceLine& source : *lines) {
        std::istringstream fields(source.text);
        std::string type, name, rest;
        if (!(fields >> type) || type[0] == '#') continue;
        fields >> name;
        std::getline(fields >> std::ws, rest);
        while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.back()))) rest.pop_back();
        const std::string where = source.where + ": ";
        if (type == "guard") {
            std::istringstream guarded(rest);
            std::string guardedName, numbers;
            guarded >> guardedName;
            std::getline(guarded >> std::ws, numbers);
            auto guard = ReadGuard(name, guardedName, numbers);
            if (!guard) {
                sink.Say(where +
                         "a guard line is guard TYPE NAME SIZE CRC32 (TYPE txt or shp, SIZE in bytes, CRC32 in 8 "
                         "hexadecimal digits)");
                return false;
            }
            guard->where = source.where;
            input.guards.push_back(std::move(*guard));
            continue;
        }
        const auto group = GroupNamed(type);
        if (!group || (*group != Txt && *group != Shp)) {
            sink.Say(where + "the type must be txt or shp, not \"" + Visible(type) + "\"");
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
        if (const auto problem = BackslashProblem(source.where, rest, path)) {
            sink.Say(*problem);
            status = kFailed;
            return false;
        }
        if (input.undoSource != nullptr && rest != "-" && IsPlainFileName(rest)) {
            if (const std::string problem = input.undoSource->FileRefusal(rest); !problem.empty()) {
                sink.Say(where + problem + "\nNothing was changed.");
                status = kFailed;
                return false;
            }
            input.undoFiles[Utf8Of(path)] = rest;
        }
        input.pairs.push_back({name, rest == "-" ? rest : Utf8Of(path), *group, source.where, rest});
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
                sink.Say(entry.where + ": \"" + Visible(entry.text) + "\" is not NAME=FILE");
                return kBadUsage;
            }
            if (const auto problem = BackslashProblem(entry.where, pair->file, PathFromUtf8(pair->file))) {
                sink.Say(*problem);
                return kFailed;
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

}  // namespace qax::tool
