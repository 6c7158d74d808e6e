#include "member_names.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "catalogue.h"
#include "command_line.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"

namespace qax::tool {

std::string Folded(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

// A name the command cannot use, as the refusal's JSON document gives it;
// `more` adds fields.
void RefuseMember(TerminalSink& sink, int group, const std::string& name, const char* problem,
                  const std::string& more = {}) {
    sink.SetRefusalKind("member");
    sink.AddRefusedMember("{\"type\": \"" + std::string(GroupWord(group)) + "\", \"name\": " + JsonString(name) +
                          ", \"problem\": \"" + problem + "\"" + more + "}");
}

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

// The one line of the list that shows `name`; nothing, after a message, when
// it is not there (naming a member that differs only in case) or is there
// more than once.
std::optional<int> LineNamed(const Listing& listing, const std::string& name, bool ignoreCase, TerminalSink& sink,
                             OtherTypeHint* other) {
    const std::vector<int>& found = listing.LinesOf(name, ignoreCase);
    if (found.empty()) {
        SayNoMatch(listing, name, sink, other, ignoreCase);
        return std::nullopt;
    }
    if (found.size() > 1) {
        RefuseMember(sink, listing.group, name, "not unique",
                     ", \"lines\": [" + std::to_string(found[0]) + ", " + std::to_string(found[1]) + "]");
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
            RefuseMember(sink, listing.group, name, "given twice");
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
    // cmd.exe hands single quotes on to the program, as part of the word:
    // no member name holds them, so they were meant as quotes.
    if (hint.empty() && pattern.size() >= 2 && pattern.front() == '\'' && pattern.back() == '\'')
        hint =
            " (quotes and all: cmd.exe passes single quotes on as part of the word; in cmd.exe put the pattern "
            "in double quotes, \"" +
            pattern.substr(1, pattern.size() - 2) + "\")";
    RefuseMember(sink, listing.group, pattern, "missing");
    sink.Say("No member matches " + pattern + hint);
}

std::unique_ptr<DirectoryLock> ReadingLock(FileSystem& fs, const DataSetPaths& paths, TerminalSink& sink) {
    return LockDataSetForReading(fs, paths, sink, kFileErrorCaption);
}

}  // namespace qax::tool
