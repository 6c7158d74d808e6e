// The archive operations of the window: replacing the selected member with
// the chosen file, and extracting the selected Shp member.
#include <QCloseEvent>

#include "archive_checks.h"
#include "archive_ops.h"
#include "file_errors.h"
#include "main_form.h"

namespace qax::ui {

namespace {

// While the Shp archive is rebuilt the window handles events at every
// progress mark, so a click could otherwise start a second operation while
// the first has the archive open. Everything that can start one is disabled
// for the operation's whole length and enabled again on every way out.
class OperationLock {
public:
    explicit OperationLock(TMainForm& form, bool& running) : form_(form), running_(running) {
        running_ = true;
        SetControlsEnabled(false);
    }
    ~OperationLock() {
        SetControlsEnabled(true);
        running_ = false;
    }
    OperationLock(const OperationLock&) = delete;
    OperationLock& operator=(const OperationLock&) = delete;

private:
    void SetControlsEnabled(bool enabled) {
        for (QWidget* control : {static_cast<QWidget*>(form_.LoadBtn), static_cast<QWidget*>(form_.ReplaceBtn),
                                 static_cast<QWidget*>(form_.ExtractBtn), static_cast<QWidget*>(form_.FileLB),
                                 static_cast<QWidget*>(form_.TypesRG)})
            control->setEnabled(enabled);
    }

    TMainForm& form_;
    bool& running_;
};

}  // namespace

void TMainForm::ReplaceBtnClick() {
    Handle([this] {
        // After a failed start-up the section table is all zero: a
        // replacement would write into the index header.
        if (!state_.dataSetReady) return;
        const ArchiveContext context{fs_, state_.paths, state_.table, *this};
        if (SelectedType() == Txt)
            FollowDataSetChanges(ReplaceTextMember(context, SelectedListedLine(), state_.ReplacementFileName));
        if (SelectedType() == Shp) {
            const OperationLock lock(*this, operationRunning_);
            FollowDataSetChanges(ReplaceShpMember(context, SelectedListedLine(), state_.ReplacementFileName));
        }
    });
    // Whatever happened, the list shows the index as it now is.
    TypesRGClick();
}

void TMainForm::ExtractBtnClick() {
    Handle([this] {
        if (!state_.dataSetReady || SelectedType() != Shp) return;
        const ListedLine selected{SelectedLineNumber(), CatalogueLine(SelectedLineNumber())};
        const ArchiveContext context{fs_, state_.paths, state_.table, *this};
        if (FollowDataSetChanges(ExtractShpMember(context, selected, ExeDirOf(programPath_)))) ListSelectedType();
    });
}

ListedLine TMainForm::SelectedListedLine() const {
    const int number = SelectedLineNumber();
    return {number, number < 0 ? std::string() : CatalogueLine(number)};
}

bool TMainForm::FollowDataSetChanges(ArchiveOutcome outcome) {
    if (outcome != ArchiveOutcome::Stale) return false;
    // The data set was rewritten behind the list: its groups may lie
    // elsewhere now, so the section file is read again before re-listing.
    const CurrentSectionTable current = ReadCurrentSectionTable(fs_, state_.paths);
    if (current.refusal.empty()) {
        state_.table = current.table;
    } else {
        ShowMessage(current.refusal, kFileErrorCaption);
    }
    return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // Closing in the middle of a rebuild would destroy the window under the
    // running operation; it finishes first.
    if (operationRunning_) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

}  // namespace qax::ui
