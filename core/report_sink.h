// The few window services through which the core reports to the user.
//
// The core never includes window code; the main window implements this
// interface, and tests implement it with a recorder.
#pragma once

#include <string>

namespace qax {

class ReportSink {
public:
    virtual ~ReportSink() = default;

    // The text pane: whole text set, text added at its end, cleared, read
    // back, repainted at once. Adding at the end costs the window only what
    // is added, however long the text already shown.
    virtual void SetPaneText(const std::string& text) = 0;
    virtual void AppendPaneText(const std::string& text) = 0;
    virtual void ClearPane() = 0;
    virtual std::string PaneText() const = 0;
    virtual void RepaintPane() = 0;

    // A modal message box with one OK button and no icon.
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
    // A file step failed: `text` is the message as the window shows it
    // (which for a file that could not be opened is just its name), `reason`
    // the system's own words for why. A window shows the text; a command
    // line tool gives the reason too.
    virtual void ShowFileError(const std::string& text, const std::string& caption, const std::string& reason) {
        static_cast<void>(reason);
        ShowMessage(text, caption);
    }

    // The busy cursor for the whole application, and back to the default.
    virtual void SetBusyCursor(bool busy) = 0;

    // Lets the window handle every pending event, then returns.
    virtual void ProcessEvents() = 0;
};

}  // namespace qax
