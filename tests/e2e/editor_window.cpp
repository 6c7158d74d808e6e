#include "editor_window.h"

#include <sstream>

namespace qax::e2e {

namespace {

constexpr auto kDialogTimeout = std::chrono::seconds(20);
constexpr auto kDialogCloseTimeout = std::chrono::seconds(4);
constexpr auto kPopupAppearance = std::chrono::milliseconds(700);
constexpr int kConfirmAttempts = 3;
constexpr int kMessageFirstLineY = 20;
constexpr const char* kMainWindowName = "Qax Edit";
constexpr const char* kOpenDialogName = "^Open$";

// The clipboard's UTF-8 text as 8-bit text, one byte per character; fails
// the test on a character beyond Latin-1, which no byte can have produced.
std::string Latin1FromUtf8(const std::string& utf8) {
    std::string latin1;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            latin1 += static_cast<char>(lead);
        } else if ((lead & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[++i]);
            const unsigned codePoint = ((lead & 0x1Fu) << 6) | (next & 0x3Fu);
            if (codePoint > 0xFF) throw E2eFailure("the clipboard holds a character beyond Latin-1");
            latin1 += static_cast<char>(codePoint);
        } else {
            throw E2eFailure("the clipboard holds a character beyond Latin-1");
        }
    }
    return latin1;
}

}  // namespace

WindowLayout WindowLayout::Probe(const Desktop& desktop, const std::filesystem::path& probe,
                                 const std::filesystem::path& absentProgram, const std::optional<Rect>& inside) {
    QStringList argv = {QString::fromStdString(probe.string()), QString::fromStdString(absentProgram.string())};
    if (inside) argv << QString::number(inside->width) << QString::number(inside->height);
    const CommandResult result =
        RunCommand(argv, desktop.ClientEnvironment(), std::chrono::seconds(60), "the layout probe");
    if (!result.succeeded) throw E2eFailure("the layout probe failed: " + result.Describe());
    WindowLayout layout;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        Rect rect;
        if (fields >> name >> rect.x >> rect.y >> rect.width >> rect.height) layout.rects_[name] = rect;
    }
    return layout;
}

const Rect& WindowLayout::Of(const std::string& control) const {
    const auto found = rects_.find(control);
    if (found == rects_.end()) throw E2eFailure("the layout probe did not report " + control);
    return found->second;
}

EditorWindow::EditorWindow(const Desktop& desktop, qint64 editor, std::string window, WindowLayout layout)
    : desktop_(desktop), editor_(editor), window_(std::move(window)), layout_(std::move(layout)) {}

void EditorWindow::ClickControl(const std::string& control) const {
    const Rect& rect = layout_.Of(control);
    desktop_.Click(window_, rect.CenterX(), rect.CenterY());
}

void EditorWindow::ChooseType(int type) const {
    ClickControl("Type" + std::to_string(type));
}

void EditorWindow::ClickListLine(int line) const {
    const Rect& list = layout_.Of("FileLB");
    const Rect& first = layout_.Of("FileLBLine0");
    const int y = first.y + line * first.height + first.height / 2;
    if (line < 0 || y >= list.y + list.height - first.height / 2)
        throw E2eFailure("list line " + std::to_string(line) + " is not in view");
    desktop_.Click(window_, first.CenterX(), y);
}

void EditorWindow::Keys(const std::vector<std::string>& keys) const {
    desktop_.Keys(keys);
}

void EditorWindow::Type(const std::string& text) const {
    desktop_.Type(text);
}

std::string EditorWindow::CopyListLine() const {
    desktop_.Keys({"ctrl+c"});
    return Clipboard();
}

std::string EditorWindow::ReadPane() const {
    CopyPane();
    return Clipboard();
}

void EditorWindow::CopyPane() const {
    ClickControl("TextRichEdit");
    desktop_.Keys({"ctrl+a", "ctrl+c"});
}

std::string EditorWindow::Clipboard() const {
    return Latin1FromUtf8(desktop_.Clipboard());
}

void EditorWindow::OpenFileDialogWith(const std::vector<std::string>& keys) const {
    desktop_.Keys(keys);
    desktop_.WaitForWindow(editor_, kOpenDialogName, kDialogTimeout);
}

void EditorWindow::ChooseReplacementFile(const std::filesystem::path& file) const {
    ClickControl("LoadBtn");
    desktop_.WaitForWindow(editor_, kOpenDialogName, kDialogTimeout);
    // The field may still hold the last name chosen: replace it.
    desktop_.Keys({"ctrl+a"});
    desktop_.Type(file.string());
    // While the field's completion list is open it takes Enter for itself
    // and closes; the next Enter then confirms the dialog, as a person would
    // press it again.
    for (int attempt = 1;; ++attempt) {
        desktop_.Keys({"Return"});
        if (PollUntil([&] { return desktop_.VisibleWindows(editor_, kOpenDialogName).empty(); }, kDialogCloseTimeout,
                      std::chrono::milliseconds(50)))
            break;
        if (attempt == kConfirmAttempts)
            throw E2eFailure("the file dialog did not accept " + file.string() + " after " +
                             std::to_string(kConfirmAttempts) + " presses of Enter");
    }
    ExpectNothingLeftOfTheDialog();
}

void EditorWindow::ExpectNothingLeftOfTheDialog() const {
    // The completion list of the dialog's field once opened again after the
    // dialog had closed, over the main window, and kept the keyboard.
    if (PollUntil([&] { return !OtherWindows().empty(); }, kPopupAppearance, std::chrono::milliseconds(50))) {
        std::string names;
        for (const std::string& name : OtherWindows()) names += " '" + name + "'";
        throw E2eFailure("windows of the editor were still open after the file dialog closed:" + names);
    }
}

std::string EditorWindow::ReadMessageAndClose(const std::string& caption) const {
    const std::string name = "^" + caption + "$";
    const std::string box = desktop_.WaitForWindow(editor_, name, kDialogTimeout);
    // The box's text can be selected with the mouse: a click on its first
    // line gives it the keyboard focus, and Select All and Copy then take it.
    desktop_.Click(box, desktop_.Geometry(box).width / 2, kMessageFirstLineY);
    desktop_.Keys({"ctrl+a", "ctrl+c"});
    const std::string copied = Clipboard();
    desktop_.Keys({"Return"});
    WaitUntil([&] { return desktop_.VisibleWindows(editor_, name).empty(); }, kDialogCloseTimeout,
              "the message box '" + caption + "' to close", std::chrono::milliseconds(50));
    return copied;
}

std::vector<std::string> EditorWindow::OtherWindows() const {
    std::vector<std::string> others;
    for (const std::string& window : desktop_.VisibleWindows(editor_, ".*")) {
        const std::string name = desktop_.WindowName(window);
        if (name != kMainWindowName) others.push_back(name);
    }
    return others;
}

}  // namespace qax::e2e
