#include "main_form.h"

#include <QSignalBlocker>
#include <QStringList>
#include <optional>

#include "catalogue.h"
#include "error_box.h"
#include "list_click_watcher.h"
#include "rebuild_transaction.h"
#include "text_codec.h"
#include "text_view.h"

namespace qax::ui {

namespace {

// The dialog's filter for a member type; none for the types whose filter is
// kept from the last use. Both cases of the extension are offered because
// names on this file system are case-sensitive and extracted members end in
// ".SHP".
std::optional<QString> ReplacementFilter(int type) {
    switch (type) {
        case Txt:
            return QStringLiteral("Text files (*.txt *.TXT);;All files (*)");
        case Shp:
            return QStringLiteral("Shp files (*.shp *.SHP);;All files (*)");
        default:
            return std::nullopt;
    }
}

}  // namespace

TMainForm::TMainForm(std::string programPath, FileSystem& fs, UserPrompts& prompts, QWidget* parent)
    : QWidget(parent), programPath_(std::move(programPath)), fs_(fs), prompts_(prompts) {
    CreateControls();
    ArrangeControls();
    WireEvents();
    FormCreate();
}

TMainForm::~TMainForm() {
    ReleaseBusyCursors();
}

void TMainForm::Handle(const std::function<void()>& body) {
    if (!RunReportingErrors(prompts_, this, programPath_, body)) ReleaseBusyCursors();
}

void TMainForm::FormCreate() {
    Handle([this] {
        const StartUpResult result = StartUpCheck(fs_, programPath_);
        state_.paths = result.paths;
        state_.table = result.table;
        state_.dataSetReady = result.Ready();
        std::string paneText = result.paneText;
        // A replacement that a dead editor left half done is finished or
        // undone before anything is listed from the data set.
        if (result.status != StartUpStatus::MissingFiles) {
            const RecoveryReport recovery = RecoverAtStartUp(fs_, state_.paths);
            if (!recovery.text.empty()) paneText += "\n\n" + recovery.text;
        }
        ShowEditorText(paneText);
        RepaintPane();
        // After a failed start-up nothing may read or write the data set:
        // the section table is all zero, and a replacement would write into
        // the index header.
        EnableDataSetControls(state_.dataSetReady);
        if (state_.dataSetReady) TypesRGClick();
    });
}

void TMainForm::TypesRGClick() {
    Handle([this] { ListSelectedType(); });
}

void TMainForm::FileLBClick() {
    Handle([this] { ShowSelectedTextMember(); });
}

void TMainForm::LoadBtnClick() {
    Handle([this] { ChooseReplacementFile(); });
}

int TMainForm::SelectedType() const {
    return typeButtons_->checkedId();
}

QRadioButton* TMainForm::TypeButton(int type) const {
    return static_cast<QRadioButton*>(typeButtons_->button(type));
}

int TMainForm::SelectedLineNumber() const {
    return SelectedRow(*FileLB);
}

std::string TMainForm::CatalogueLine(int row) const {
    const QListWidgetItem* item = FileLB->item(row);
    if (item == nullptr) throw ListIndexError();
    return ToBytes(item->text());
}

void TMainForm::ListSelectedType() {
    // Emptying and refilling the list is not the user choosing a line.
    const QSignalBlocker quiet(FileLB);
    FileLB->clear();
    if (!state_.dataSetReady) return;
    const int type = SelectedType();
    if (type != Txt && type != Shp) return;

    QStringList lines;
    for (const std::string& line : FillCatalogue(fs_, state_.paths.IndexPath, state_.table, type))
        lines.append(FromBytes(line));
    FileLB->addItems(lines);
}

void TMainForm::ShowSelectedTextMember() {
    if (!state_.dataSetReady || SelectedType() != Txt) return;
    ShowTextMember(fs_, state_.paths.TxtArchivePath, CatalogueLine(SelectedLineNumber()), *this);
}

void TMainForm::ChooseReplacementFile() {
    const int type = SelectedType();
    if (const auto filter = ReplacementFilter(type)) OpenDialog1->setNameFilter(*filter);
    if (const auto chosen = prompts_.RunOpenDialog(*OpenDialog1)) {
        state_.ReplacementFileName = NativePath(*chosen);
        FileLbl->setText(*chosen);
    }
    if (type != Txt) return;
    // A file that cannot be read (or no file chosen yet) is passed over in
    // silence: the pane keeps what it shows.
    if (const auto text = ReadTextPreview(fs_, state_.ReplacementFileName)) {
        ClearPane();
        SetPaneText(*text);
    }
}

}  // namespace qax::ui
