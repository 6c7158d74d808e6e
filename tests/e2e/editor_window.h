// The editor's window as a person uses it: clicks on its controls, keys,
// the file dialog, and what the window shows, read through the clipboard.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "desktop.h"

namespace qax::e2e {

// Where the editor's controls lie inside its window, as the layout probe
// reports them for the display the editor runs on.
class WindowLayout {
public:
    // Runs the probe on the desktop's display. `absentProgram` is a program
    // path with no data set around it. `inside`: the size of the window's
    // inside when it is not the one the window starts with.
    static WindowLayout Probe(const Desktop& desktop, const std::filesystem::path& probe,
                              const std::filesystem::path& absentProgram, const std::optional<Rect>& inside = {});

    // The rectangle of a control ("LoadBtn", "Type1", "FileLBLine0", ...).
    const Rect& Of(const std::string& control) const;

private:
    std::map<std::string, Rect> rects_;
};

class EditorWindow {
public:
    EditorWindow(const Desktop& desktop, qint64 editor, std::string window, WindowLayout layout);

    const std::string& Id() const { return window_; }
    const WindowLayout& Layout() const { return layout_; }

    // A click on the middle of a control: "LoadBtn", "ReplaceBtn",
    // "ExtractBtn", "TextRichEdit", "FileLB".
    void ClickControl(const std::string& control) const;
    // A click on a type of the File Type group: 0 Txt, 1 Shp, ... 5 Dat.
    void ChooseType(int type) const;
    // A click on line `line` of the list, which must be in view.
    void ClickListLine(int line) const;
    void Keys(const std::vector<std::string>& keys) const;
    void Type(const std::string& text) const;

    // The list's current line, copied with the Copy key; the list must have
    // the keyboard focus.
    std::string CopyListLine() const;
    // The whole text of the pane: a click into it, Select All, Copy.
    std::string ReadPane() const;
    // The first half of ReadPane: the keys that copy the pane ...
    void CopyPane() const;
    // ... and the second: the clipboard's text as 8-bit text.
    std::string Clipboard() const;

    // Load New File: the dialog, the path typed into its file-name field,
    // Enter; returns once the dialog has closed.
    void ChooseReplacementFile(const std::filesystem::path& file) const;

    // Presses `keys` and waits for the file dialog to open.
    void OpenFileDialogWith(const std::vector<std::string>& keys) const;
    // Fails the test when any window but the main window shows in the time
    // a late popup of the closed file dialog would take to appear.
    void ExpectNothingLeftOfTheDialog() const;

    // Waits for the message box captioned `caption`, copies what it says
    // with the Copy key, and closes it with Enter.
    std::string ReadMessageAndClose(const std::string& caption) const;

    // The names of the editor's visible windows other than the main window.
    std::vector<std::string> OtherWindows() const;

private:
    const Desktop& desktop_;
    qint64 editor_;
    std::string window_;
    WindowLayout layout_;
};

}  // namespace qax::e2e
