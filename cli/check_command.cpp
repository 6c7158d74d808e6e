#include <unordered_map>

#include "catalogue.h"
#include "commands.h"
#include "member_names.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"

namespace qax::tool {

namespace {

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

}  // namespace

int Check(FileSystem& fs, const DataSetPaths& paths, bool quiet, bool json, TerminalSink& sink) {
    std::unique_ptr<DirectoryLock> lock;
    try {
        lock = DirectoryLock::TryAcquire(DataDirectoryOf(paths), LockKind::Shared);
    } catch (const IoError& error) {
        sink.Say(std::string("The data directory cannot be opened: ") + error.what());
        return kFailed;
    } catch (const LockFileError& error) {
        sink.Say(LockFileText(error));
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
    // Something about a sound data set that the user may like to know.
    const auto note = [&](const std::string& text) {
        findings += std::string(findings.empty() ? "\n" : ",\n") +
                    "  {\"ok\": true, \"note\": true, \"text\": " + JsonString(text, JsonText::Utf8) + "}";
        if (!quiet) out += "note: " + text + "\n";
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
                // A layout the rebuild keeps is what makes a mod's round
                // trip byte for byte; any other is sound, but changes.
                if (group == Txt && !problem) {
                    const std::string changes = TextLayoutChanges(members, length);
                    if (changes.empty())
                        report(true,
                               "the Txt members lie back to back in index order, each with bytes of its own: a mod "
                               "taken off again leaves every data file byte for byte as it was");
                    else
                        note("the Txt members do not lie back to back in index order, each with bytes of its own (" +
                             changes +
                             "): any rebuild of txt.qax lays them out so, and a mod taken off again gives every "
                             "member its bytes back but leaves txt.qax and the index laid out anew");
                }
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
    // Recovery runs first in every command that may change the data set or
    // read it, and in the editor as it starts; check only tells.
    const bool recoverable = recovery.state == RecoveryState::Undone || recovery.state == RecoveryState::Completed;
    report(recovery.state == RecoveryState::Clean,
           recovery.state == RecoveryState::Clean ? "no interrupted replacement and no leftovers"
           : recoverable
               ? recovery.text +
                     " Any qaxtool command but check and a dry run (qaxtool list txt, for one), or the editor as "
                     "it starts, does this first."
               : recovery.text);
    if (json)
        out = std::string("{\"command\": \"check\", \"sound\": ") + (sound ? "true" : "false") + ", \"findings\": [" +
              findings + (findings.empty() ? "]}\n" : "\n]}\n");
    return WriteOut(out, sink) && sound ? kSuccess : kFailed;
}

// What the start-up check found wrong, without the window's banner and its
// call to exit.
std::string StartUpProblem(const StartUpResult& result) {
    std::string text = result.paneText.substr(std::min(result.paneText.size(), BannerText().size()));
    const auto mustExit = text.rfind("You must");
    if (mustExit != std::string::npos) text.erase(mustExit);
    const auto first = text.find_first_not_of("\n ");
    const auto last = text.find_last_not_of("\n ");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    // The window is always beside its data set; the tool may be anywhere.
    if (result.status == StartUpStatus::MissingFiles)
        text +=
            "\nqaxtool looks for the data set in the folder data one level above the folder it is in, unless "
            "--data DIR names the folder that holds these files.";
    return text;
}

}  // namespace qax::tool
