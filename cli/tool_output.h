// What the tool says and prints: its exit statuses, the sink the core
// reports through (on standard error), standard output, and JSON text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "data_set_lock.h"
#include "file_access.h"

namespace qax::tool {

constexpr int kSuccess = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;
constexpr int kBusy = 3;

// The core's messages on standard error; progress marks become one line
// that rewrites itself, but only on a terminal: a log file gets no such line.
// A refusal because another editor holds the data set is noted apart, for
// the exit status, and held back while the tool may still wait for it.
class TerminalSink : public ReportSink {
public:
    TerminalSink(bool progressLine, bool quiet) : progressLine_(progressLine && !quiet), quiet_(quiet) {}
    ~TerminalSink() override { EndProgressLine(); }

    void SetPaneText(const std::string& text) override {
        if (!text.empty() && text != pane_) Note(text);
        pane_ = text;
    }
    // The rebuilds append a progress mark per million bytes.
    void AppendPaneText(const std::string& text) override {
        pane_ += text;
        if (text != kShpProgressMark) return;
        ++marks_;
        if (progressLine_) {
            std::fprintf(stderr, "\rrebuilding: %lu MB written", marks_);
            std::fflush(stderr);
            lineOpen_ = true;
        }
    }
    void ClearPane() override { pane_.clear(); }
    std::string PaneText() const override { return pane_; }
    void RepaintPane() override {}
    void ShowMessage(const std::string& text, const std::string& caption) override {
        if (caption == kDataSetBusyCaption) {
            busy_ = true;
            heldBusyText_ = text;
            // A script may rather wait than fail: the option that does it.
            if (!holdBusy_) Say(text + "\nqaxtool --wait[=SECONDS] waits until it has finished.");
            return;
        }
        Say(text);
    }
    // The window names the file; a script's log needs the reason too. A
    // file the stop cut short is no fault of the file: the stop is said as
    // a stop, once, when the program ends.
    void ShowFileError(const std::string& text, const std::string&, const std::string& reason) override {
        if (reason == StopReason()) return;
        if (text.find(reason) != std::string::npos) return Say(text);
        std::string withReason = text;
        while (!withReason.empty() && withReason.back() == '\n') withReason.pop_back();
        Say(withReason + " (" + reason + ")");
    }
    void SetBusyCursor(bool busy) override {
        if (!busy) EndProgressLine();
    }
    void ProcessEvents() override {}

    // Something that went wrong: always said, and kept for the refusal's
    // JSON document.
    void Say(const std::string& text) {
        if (const auto said = Print(text)) said_ += (said_.empty() ? "" : "\n") + *said;
    }
    void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
    // Something the user may like to know: not with --quiet, and no part
    // of a refusal.
    void Note(const std::string& text) {
        if (!quiet_) Print(text);
    }

    // Each attempt of a command that may wait for the lock starts afresh.
    void BeginAttempt(bool holdBusy) {
        busy_ = false;
        holdBusy_ = holdBusy;
        said_.clear();
        refusedMembers_.clear();
        refusalKind_.clear();
    }
    bool Busy() const { return busy_; }
    void SayHeldBusy() {
        if (holdBusy_ && busy_) Say(heldBusyText_);
    }

    // What a refusal's JSON document holds: its kind where the command
    // knows it better than its exit status does, what failed member by
    // member (JSON objects), and everything said.
    void SetRefusalKind(const std::string& kind) {
        if (refusalKind_.empty()) refusalKind_ = kind;
    }
    void AddRefusedMember(std::string json) { refusedMembers_.push_back(std::move(json)); }
    const std::string& RefusalKind() const { return refusalKind_; }
    const std::vector<std::string>& RefusedMembers() const { return refusedMembers_; }
    const std::string& Said() const { return said_; }
    // Whether the command's own document (or lines) went to standard output.
    void NoteOutputWritten() { outputWritten_ = true; }
    bool OutputWritten() const { return outputWritten_; }

private:
    // What is said on standard error, as it is said; nothing when nothing
    // is left to say. A command that only reads has nothing to undo, so
    // the editor's "Nothing was changed." is left out of what it says.
    std::optional<std::string> Print(std::string text) {
        EndProgressLine();
        // The core's paragraph about a file the stop cut short goes: the
        // stop is said once, as a stop, when the program ends.
        if (const std::size_t at = text.find(StopReason()); at != std::string::npos) {
            const std::size_t open = text.rfind("\n\n", at);
            const std::size_t start = open == std::string::npos ? 0 : open + 2;
            const std::size_t close = text.find("\n\n", at);
            text.erase(start, close == std::string::npos ? std::string::npos : close + 2 - start);
            while (!text.empty() && text.back() == '\n') text.pop_back();
            if (text.empty()) return std::nullopt;
        }
        if (readOnly_) {
            for (std::size_t at; (at = text.find(kNothingChanged)) != std::string::npos;)
                text.erase(at, std::strlen(kNothingChanged));
            while (!text.empty() && text.back() == '\n') text.pop_back();
            if (text.empty()) return std::nullopt;
        }
        std::fprintf(stderr, "qaxtool: %s\n", text.c_str());
        return text;
    }
    void EndProgressLine() {
        if (lineOpen_) std::fputc('\n', stderr);
        lineOpen_ = false;
    }

    static constexpr const char* kNothingChanged = "\nNothing was changed.";
    static std::string StopReason() { return MakeDataError(DataError::Stopped).message(); }

    bool progressLine_;
    bool quiet_;
    bool readOnly_ = false;
    bool lineOpen_ = false;
    bool busy_ = false;
    bool holdBusy_ = false;
    std::string heldBusyText_;
    unsigned long marks_ = 0;
    std::string pane_;
    std::string said_;
    std::string refusalKind_;
    std::vector<std::string> refusedMembers_;
    bool outputWritten_ = false;
};

// Standard output, with the system's reason when it cannot be written (a
// full disk, a closed pipe).
bool WriteOut(const std::string& bytes, TerminalSink& sink);

// Names as JSON strings: the index holds bytes, shown as Latin-1 characters.
// Paths and sentences are the program's own UTF-8 and go as they are.
enum class JsonText { Latin1, Utf8 };
std::string JsonString(const std::string& bytes, JsonText text = JsonText::Latin1);

// Text read from the user's file as a message shows it: what a reader
// cannot see (control bytes, bytes that are no UTF-8, a byte-order mark, a
// zero-width or no-break space) written as \xNN or \uNNNN, so that a
// line that looks right but is refused shows why.
std::string Visible(const std::string& text);

// The document a command refused with --json prints in place of its own:
// the refusal's kind, its exit status, everything said, what failed member
// by member, and for a busy data set who holds it (`holders`, as the system
// tells; empty when it does not).
std::string RefusalJson(const std::string& command, int status, const TerminalSink& sink, const std::string& holders);

// A member's place in its archive, as the JSON documents give it; an
// offset not known yet (a dry run's) is null.
std::string JsonPlace(std::int64_t size, std::optional<std::uint32_t> offset);

}  // namespace qax::tool
