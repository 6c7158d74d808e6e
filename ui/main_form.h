// The editor's one window: its controls, its event handlers, and the window
// services the core reports through.
//
// The handlers call the window-free core; the window only keeps the state
// that lives between events and turns the core's results into controls.
#pragma once

#include <QButtonGroup>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTextEdit>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "archive_ops.h"
#include "data_set.h"
#include "file_access.h"
#include "index_file.h"
#include "report_sink.h"
#include "user_prompts.h"

namespace qax::ui {

// What the window keeps from one event to the next besides its controls.
struct EditorState {
    DataSetPaths paths;
    SectionTable table;               // all zero unless the start-up succeeded
    std::string ReplacementFileName;  // empty until a file is confirmed in the dialog
    bool dataSetReady = false;        // the start-up check found a sound data set
};

// Where a window whose outer frame is `frame` goes so that all of it lies in
// `available` (a screen without its panels): where it is when it fits
// already, otherwise moved as little as it takes, its top left corner kept
// on the screen when it is larger than the screen.
QPoint PlaceWithin(const QRect& frame, const QRect& available);

class TMainForm final : public QWidget, public ReportSink {
    Q_OBJECT
public:
    // `programPath` is the running program's full path; every data-set path
    // derives from it. `fs` and `prompts` must outlive the window.
    TMainForm(std::string programPath, FileSystem& fs, UserPrompts& prompts, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Event handlers. Each one reports an error it raises in the error box
    // and returns, so the event loop goes on.
    void FormCreate();
    void TypesRGClick();
    void FileLBClick();
    void LoadBtnClick();
    void ReplaceBtnClick();
    void ExtractBtnClick();

    const EditorState& State() const { return state_; }

    // The item index of the File Type group: the member type.
    int SelectedType() const;
    QRadioButton* TypeButton(int type) const;
    // The item index of the list: the selected line, -1 when none is.
    int SelectedLineNumber() const;
    // Line `row` of the list; ListIndexError when the list has no such line.
    std::string CatalogueLine(int row) const;

    // ReportSink
    void SetPaneText(const std::string& text) override;
    void AppendPaneText(const std::string& text) override;
    void ClearPane() override;
    std::string PaneText() const override;
    void RepaintPane() override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    void SetBusyCursor(bool busy) override;
    void ProcessEvents() override;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The controls, created with the window and never added or removed. Each
    // carries its name as its object name, by which others find it.
    QTextEdit* TextRichEdit = nullptr;
    QListWidget* FileLB = nullptr;
    QGroupBox* TypesRG = nullptr;
    QPushButton* LoadBtn = nullptr;
    QLabel* FileLbl = nullptr;
    QFileDialog* OpenDialog1 = nullptr;
    QPushButton* ReplaceBtn = nullptr;
    QPushButton* ExtractBtn = nullptr;

    void CreateControls();
    void ArrangeControls();
    // Sizes the inside so that the window manager's frame around it has the
    // designed size, at the designed position; does nothing until the frame
    // is known.
    void FitFrameToDesign();
    void WireEvents();
    void EnableDataSetControls(bool enabled);
    // Sets the pane to a text the editor composed itself (the banner, the
    // start-up errors), whose paths are in the file system's encoding: shown
    // as UTF-8, as Latin-1 when it is not valid UTF-8. Member text and
    // replacement previews go through SetPaneText, byte for byte.
    void ShowEditorText(const std::string& text);

    // Runs a handler's body; an error ends it and is shown in the error box.
    void Handle(const std::function<void()>& body);
    void ListSelectedType();
    void ShowSelectedTextMember();
    void ChooseReplacementFile();
    void ReleaseBusyCursors();
    // The selected line with its text; number -1 and no text when none is.
    ListedLine SelectedListedLine() const;
    // After an operation that found the data set changed since it was
    // listed, takes the section table as it is now. True when it did.
    bool FollowDataSetChanges(ArchiveOutcome outcome);

    const std::string programPath_;
    FileSystem& fs_;
    UserPrompts& prompts_;
    EditorState state_;
    QButtonGroup* typeButtons_ = nullptr;
    int busyCursors_ = 0;            // override cursors this window has set and not yet restored
    bool operationRunning_ = false;  // an archive operation is under way (it handles events)
    bool closeRequested_ = false;    // the window was closed while it was; it closes once it ends
    // The list line whose member the pane shows: none when the pane shows
    // anything else, -1 for a member whose line a new list no longer tells.
    std::optional<int> paneMemberRow_;
    bool frameFitted_ = false;  // the window manager's frame was measured and fitted to the design
};

}  // namespace qax::ui
