// The modal parts of the window: the file-open dialog and the message boxes.
//
// They sit behind an interface so that tests can answer them without any
// modal loop; the program uses DesktopPrompts.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <memory>
#include <optional>

namespace qax::ui {

class UserPrompts {
public:
    virtual ~UserPrompts() = default;

    // Runs the dialog as it is configured; the full path of the file the user
    // confirmed, or nothing when the dialog was cancelled.
    virtual std::optional<QString> RunOpenDialog(QFileDialog& dialog) = 0;

    // A modal box with the text, the caption, the icon and one OK button.
    virtual void ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                                QMessageBox::Icon icon) = 0;
};

class DesktopPrompts : public UserPrompts {
public:
    std::optional<QString> RunOpenDialog(QFileDialog& dialog) override;
    void ShowMessageBox(QWidget* parent, const QString& text, const QString& caption, QMessageBox::Icon icon) override;

    // Once the program has been asked to stop, no box waits for a person who
    // may not be there: what it would say goes to the error output.
    void WriteMessagesInsteadOfBoxes() { boxesStopped_ = true; }

private:
    bool boxesStopped_ = false;
};

// The box DesktopPrompts shows, built but not yet run.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& text, const QString& caption,
                                            QMessageBox::Icon icon);

// The dialog the editor uses, owned by `parent`: Qt's own dialog, so the file
// name can always be typed into a plain edit field, opening one existing
// file, and remembering nothing from one run of the editor to the next.
QFileDialog* MakeOpenDialog(QWidget* parent);

}  // namespace qax::ui
