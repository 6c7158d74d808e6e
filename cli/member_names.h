// The members of a type as the command line names them: a group as the
// index gives it, found by name or shell pattern, and what is said when a
// name or pattern finds nothing.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive_ops.h"
#include "data_set.h"
#include "file_access.h"
#include "index_file.h"
#include "tool_output.h"

namespace qax::tool {

// A name in lower case, for matching in either case.
std::string Folded(std::string name);

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

std::optional<Listing> ListGroup(FileSystem& fs, const DataSetPaths& paths, int group, TerminalSink& sink);

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

// A name or pattern that matches nothing, said as such; where it matches
// in another case, the member's own name is offered.
void SayNoMatch(const Listing& listing, const std::string& pattern, TerminalSink& sink, OtherTypeHint* other = nullptr,
                bool ignoreCase = false);

// The one line of the list that shows `name`; nothing, after a message, when
// it is not there (naming a member that differs only in case) or is there
// more than once.
std::optional<int> LineNamed(const Listing& listing, const std::string& name, bool ignoreCase, TerminalSink& sink,
                             OtherTypeHint* other = nullptr);

// Each name to its line; nothing, after a message per wrong name.
std::optional<std::vector<ListedLine>> LinesNamed(const Listing& listing, const std::vector<std::string>& names,
                                                  bool ignoreCase, TerminalSink& sink, OtherTypeHint* other);

// A shell pattern against a whole name: `*`, `?`, `[...]`, a backslash the
// next character itself.
bool MatchesPattern(std::string_view pattern, std::string_view name, bool ignoreCase);

// The lines whose names match a shell pattern; a plain name is looked up.
std::vector<int> LinesMatching(const Listing& listing, const std::string& pattern, bool ignoreCase);

std::unique_ptr<DirectoryLock> ReadingLock(FileSystem& fs, const DataSetPaths& paths, TerminalSink& sink);

}  // namespace qax::tool
