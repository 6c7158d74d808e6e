// The editor's one window, in the order a reader meets it: construction and
// the controls, the event handlers, the archive operations, and the window
// services the core reports through.
//
// The window was laid out in pixels of a 120-dpi screen; here those pixels
// are taken as Qt's device-independent pixels and the fixed positions become
// layouts with the same arrangement, so that no text is ever clipped when a
// font is wider than the one it was designed with.
#include "main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QScreen>
#include <QSignalBlocker>
#include <QStringList>
#include <QStyle>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <initializer_list>
#include <optional>
#include <vector>

#include "archive_ops.h"
#include "catalogue.h"
#include "error_box.h"
#include "list_click_watcher.h"
#include "rebuild_transaction.h"
#include "replacement_inputs.h"
#include "text_codec.h"
#include "text_view.h"

namespace qax::ui {

namespace {

// The designed window: its outer rectangle, margins, column shares and fonts.
constexpr int kWindowLeft = 217;
constexpr int kWindowTop = 235;
constexpr int kWindowWidth = 640;
constexpr int kWindowHeight = 480;
constexpr int kMargin = 8;
constexpr int kLabelIndent = 8;      // the label starts 8 pixels right of Load New File
constexpr int kTextPaneWidth = 337;  // the left column's share of the width ...
constexpr int kFileListWidth = 273;  // ... and the right column's
constexpr int kWindowFontPixels = 17;
constexpr int kLabelFontPixels = 13;
constexpr int kListFontPixels = 17;

const char* const kTypeNames[kMemberTypeCount] = {"Txt", "Shp", "Til", "Tnm", "Pal", "Dat"};
constexpr int kTypeRows = 2;  // six items in three columns, filled column by column

// The fonts the window was designed with where the system has them (every
// Windows), else their metric-compatible stand-ins, with the other sans and
// monospace families the install script provides as fallbacks.
#ifdef _WIN32
const QStringList kSansFamilies = {QStringLiteral("Arial"), QStringLiteral("Liberation Sans")};
const QStringList kMonospaceFamilies = {QStringLiteral("Courier New"), QStringLiteral("Liberation Mono")};
#else
const QStringList kSansFamilies = {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")};
const QStringList kMonospaceFamilies = {QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")};
#endif

QFont SansFont(int pixels) {
    QFont font;
    font.setFamilies(kSansFamilies);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    return font;
}

QFont CatalogueFont() {
    QFont font;
    font.setFamilies(kMonospaceFamilies);
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setBold(true);
    font.setPixelSize(kListFontPixels);
    return font;
}

// The member list. Its lines put the name right-aligned in eight columns,
// so Qt's type-ahead, which matches the start of a line, would match typed
// letters against the padding. This one matches them against the name as
// the user reads it, in either case, and otherwise behaves as Qt's does:
// letters typed within the keyboard interval add up, a new search starts
// below the current line, and one letter pressed again steps through the
// names that start with it. A line chosen by other means, or a new list,
// starts a new search.
class MemberListBox final : public QListWidget {
public:
    using QListWidget::QListWidget;

    void keyboardSearch(const QString& typed) override {
        if (typed.isEmpty() || count() == 0) return;
        const bool continuing = sinceLastKey_.isValid() &&
                                sinceLastKey_.elapsed() < QApplication::keyboardInputInterval() &&
                                currentRow() == rowAfterSearch_;
        sinceLastKey_.start();
        typed_ = continuing ? typed_ + typed : typed;
        const bool oneLetterAgain = typed_.size() > 1 && typed_.count(typed_.front()) == typed_.size();
        const QString wanted = oneLetterAgain ? typed_.left(1) : typed_;
        const int current = currentRow();
        const int first = current < 0 ? 0 : continuing && !oneLetterAgain ? current : current + 1;
        for (int step = 0; step < count(); ++step) {
            const int row = (first + step) % count();
            const QString name = item(row)->text().section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
            if (name.startsWith(wanted, Qt::CaseInsensitive)) {
                setCurrentRow(row);
                break;
            }
        }
        rowAfterSearch_ = currentRow();
    }

private:
    QString typed_;
    int rowAfterSearch_ = -1;
    QElapsedTimer sinceLastKey_;
};

// Wide enough for a whole catalogue line next to the scroll bar.
int CatalogueListWidth(const QListWidget& list) {
    const QFontMetrics metrics(list.font());
    const int line = metrics.horizontalAdvance(QString(static_cast<qsizetype>(kCatalogueLineWidth), QLatin1Char('0')));
    const QStyle* style = list.style();
    const int scrollBar = style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &list);
    const int itemMargins = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1);
    return line + itemMargins + scrollBar + 2 * list.frameWidth() + metrics.averageCharWidth();
}

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

// While the Shp archive is rebuilt the window handles events at every
// progress mark, so a click could otherwise start a second operation while
// the first has the archive open. Everything that can start one is disabled
// for the operation's whole length and enabled again on every way out.
class OperationLock {
public:
    OperationLock(std::initializer_list<QWidget*> controls, bool& running) : controls_(controls), running_(running) {
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
        for (QWidget* control : controls_) control->setEnabled(enabled);
    }

    std::vector<QWidget*> controls_;
    bool& running_;
};

// Text appended to the pane, on its way into the document.
//
// Progress marks come far faster than a screen refreshes (a 256 MiB Shp
// rebuild makes some 270 in half a second), and every change of the
// document lays out again the whole paragraph the marks are in and hands an
// accessibility client a text event: per mark, a cost that grows with the
// text already shown. So appended text reaches the document at most once a
// frame: at once when the last insertion is a frame old (or there was none),
// otherwise together with what else came in meanwhile when the frame is up
// (the window handles its events at every mark, so the timer is served). A frame lasts at least
// kFrameShare times the last insertion, so that however long the text grows,
// the insertions and the painting that follows each (which costs about as
// much) take no more than a few percent of the time. Reading the pane back
// always includes the text still on its way.
class PendingPaneText final : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 kFrameMilliseconds = 16;
    static constexpr qint64 kFrameShare = 40;

    explicit PendingPaneText(QTextEdit& pane) : QObject(&pane), pane_(pane) {
        frameEnd_.setSingleShot(true);
        connect(&frameEnd_, &QTimer::timeout, this, &PendingPaneText::Insert);
    }

    // The one belonging to `pane`, made on first use; it lives as long as the pane.
    static PendingPaneText& Of(QTextEdit& pane) {
        if (auto* pending = Find(pane)) return *pending;
        return *new PendingPaneText(pane);
    }
    static PendingPaneText* Find(const QTextEdit& pane) {
        return pane.findChild<PendingPaneText*>(QString(), Qt::FindDirectChildrenOnly);
    }

    void Append(const QString& text) {
        text_ += text;
        // The first text, and the first after a quiet frame, goes in at once.
        const qint64 waited = sinceInsert_.isValid() ? sinceInsert_.elapsed() : frameMilliseconds_;
        if (waited >= frameMilliseconds_)
            Insert();
        else if (!frameEnd_.isActive())
            frameEnd_.start(static_cast<int>(frameMilliseconds_ - waited));
    }

    // One insertion at the end, through a cursor of its own: the user's
    // cursor and view stay where they are.
    void Insert() {
        frameEnd_.stop();
        sinceInsert_.start();
        if (text_.isEmpty()) return;
        QTextCursor end(pane_.document());
        end.movePosition(QTextCursor::End);
        end.insertText(text_);
        text_.clear();
        frameMilliseconds_ = std::max(kFrameMilliseconds, kFrameShare * sinceInsert_.elapsed());
    }

    // The whole text is being replaced.
    void Discard() {
        frameEnd_.stop();
        text_.clear();
    }

    const QString& Text() const { return text_; }

private:
    QTextEdit& pane_;
    QString text_;
    QTimer frameEnd_;
    QElapsedTimer sinceInsert_;  // started as each insertion begins; invalid before the first
    qint64 frameMilliseconds_ = kFrameMilliseconds;
};

void DiscardPendingText(const QTextEdit& pane) {
    if (auto* pending = PendingPaneText::Find(pane)) pending->Discard();
}

// The designed place, or the nearest one where the whole window shows on
// the screen that holds it.
QPoint DesignedPlaceOn(const QScreen* screen) {
    const QRect designed(kWindowLeft, kWindowTop, kWindowWidth, kWindowHeight);
    return screen == nullptr ? designed.topLeft() : PlaceWithin(designed, screen->availableGeometry());
}

}  // namespace

QPoint PlaceWithin(const QRect& frame, const QRect& available) {
    if (available.contains(frame)) return frame.topLeft();
    const int left = std::max(available.left(), std::min(frame.left(), available.right() + 1 - frame.width()));
    const int top = std::max(available.top(), std::min(frame.top(), available.bottom() + 1 - frame.height()));
    return {left, top};
}

// ----- Construction and the controls

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

void TMainForm::CreateControls() {
    setWindowTitle(QStringLiteral("Qax Edit"));
    setFont(SansFont(kWindowFontPixels));

    TextRichEdit = new QTextEdit(this);
    TextRichEdit->setAcceptRichText(false);
    TextRichEdit->setTabChangesFocus(true);
    TextRichEdit->setLineWrapMode(QTextEdit::WidgetWidth);
    // Lines wrap at the pane's width even inside a long word, so nothing runs
    // out of sight where there is no horizontal scroll bar.
    TextRichEdit->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    TextRichEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    TextRichEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    TextRichEdit->setAccessibleName(QStringLiteral("Member text"));

    FileLB = new MemberListBox(this);
    FileLB->setSelectionMode(QAbstractItemView::SingleSelection);
    FileLB->setUniformItemSizes(true);
    FileLB->setFont(CatalogueFont());
    FileLB->setAccessibleName(QStringLiteral("Member list"));
    FileLB->setMinimumWidth(CatalogueListWidth(*FileLB));

    TypesRG = new QGroupBox(QStringLiteral("File Type"), this);
    typeButtons_ = new QButtonGroup(this);
    auto* typeGrid = new QGridLayout(TypesRG);
    for (int type = 0; type < kMemberTypeCount; ++type) {
        auto* button = new QRadioButton(QString::fromLatin1(kTypeNames[type]), TypesRG);
        typeButtons_->addButton(button, type);
        typeGrid->addWidget(button, type % kTypeRows, type / kTypeRows);
    }
    TypeButton(Txt)->setChecked(true);

    LoadBtn = new QPushButton(QStringLiteral("Load New File"), this);
    FileLbl = new QLabel(QStringLiteral("New File Name"), this);
    FileLbl->setTextFormat(Qt::PlainText);  // a path is never markup
    FileLbl->setFont(SansFont(kLabelFontPixels));
    FileLbl->setIndent(kLabelIndent);
    // A long path wraps instead of being cut off.
    FileLbl->setWordWrap(true);

    OpenDialog1 = MakeOpenDialog(this);

    ReplaceBtn = new QPushButton(QStringLiteral("Replace Selection"), this);
    ExtractBtn = new QPushButton(QStringLiteral("Extract File"), this);

    // The controls carry their names, so they can be found by them.
    const std::pair<QWidget*, const char*> names[] = {{TextRichEdit, "TextRichEdit"}, {FileLB, "FileLB"},
                                                      {TypesRG, "TypesRG"},           {LoadBtn, "LoadBtn"},
                                                      {FileLbl, "FileLbl"},           {OpenDialog1, "OpenDialog1"},
                                                      {ReplaceBtn, "ReplaceBtn"},     {ExtractBtn, "ExtractBtn"}};
    for (const auto& [control, name] : names) control->setObjectName(QString::fromLatin1(name));
    // Start with the data-set controls off; a successful start-up turns them on.
    EnableDataSetControls(false);
}

void TMainForm::ArrangeControls() {
    // Left: Load New File and Replace Selection side by side, the label under
    // Load New File, Extract File under Replace Selection, the text pane below.
    auto* left = new QGridLayout;
    left->addWidget(LoadBtn, 0, 0);
    left->addWidget(ReplaceBtn, 0, 1);
    left->addWidget(FileLbl, 1, 0, 1, 2);
    left->addWidget(ExtractBtn, 2, 1);
    left->addWidget(TextRichEdit, 3, 0, 1, 2);
    left->setRowStretch(3, 1);

    // Right: the type group at the top, the list under it.
    auto* right = new QVBoxLayout;
    right->addWidget(TypesRG);
    right->addWidget(FileLB, 1);

    auto* window = new QHBoxLayout(this);
    window->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    window->addLayout(left, kTextPaneWidth);
    window->addLayout(right, kFileListWidth);

    // Tab order 0 to 5: text pane, list, type group, then the three buttons.
    setTabOrder(TextRichEdit, FileLB);
    QWidget* previous = FileLB;
    for (int type = 0; type < kMemberTypeCount; ++type) {
        setTabOrder(previous, TypeButton(type));
        previous = TypeButton(type);
    }
    setTabOrder(previous, LoadBtn);
    setTabOrder(LoadBtn, ReplaceBtn);
    setTabOrder(ReplaceBtn, ExtractBtn);

    // The designed rectangle is the window's outer frame. move() places the
    // frame; resize() sizes the inside, which is the whole window until a
    // window manager frames it (and where the platform has no frames).
    move(DesignedPlaceOn(screen()));
    resize(kWindowWidth, kWindowHeight);
}

bool TMainForm::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    // A window manager's frame becomes known once it has framed the window,
    // which moves or resizes the inside.
    if (!frameFitted_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) FitFrameToDesign();
    return handled;
}

void TMainForm::FitFrameToDesign() {
    const QWindow* window = windowHandle();
    if (window == nullptr || !isVisible()) return;
    const QMargins frame = window->frameMargins();
    if (frame.isNull()) return;
    // Once only: later moves and resizes are the user's.
    frameFitted_ = true;
    resize(kWindowWidth - frame.left() - frame.right(), kWindowHeight - frame.top() - frame.bottom());
    move(DesignedPlaceOn(screen()));
}

void TMainForm::WireEvents() {
    // A type chosen with the mouse or the keyboard is a click on the group.
    connect(typeButtons_, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked) TypesRGClick();
    });
    auto* listClicks = new ListClickWatcher(*FileLB);
    connect(listClicks, &ListClickWatcher::lineChosen, this, &TMainForm::FileLBClick);
    connect(LoadBtn, &QPushButton::clicked, this, &TMainForm::LoadBtnClick);
    connect(ReplaceBtn, &QPushButton::clicked, this, &TMainForm::ReplaceBtnClick);
    connect(ExtractBtn, &QPushButton::clicked, this, &TMainForm::ExtractBtnClick);
}

void TMainForm::EnableDataSetControls(bool enabled) {
    FileLB->setEnabled(enabled);
    TypesRG->setEnabled(enabled);
    ReplaceBtn->setEnabled(enabled);
    ExtractBtn->setEnabled(enabled);
}

// ----- The event handlers

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
    if (paneMemberRow_) paneMemberRow_ = -1;
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
    const ListedLine selected{SelectedLineNumber(), CatalogueLine(SelectedLineNumber())};
    const ArchiveContext context{fs_, state_.paths, state_.table, *this};
    const ArchiveOutcome outcome = ShowTextMember(context, selected);
    if (outcome == ArchiveOutcome::Done) {
        paneMemberRow_ = selected.number;
        return;
    }
    // The highlight has moved already: a view that is refused (another
    // editor at work) or fails must not leave the pane showing the member
    // of another line. What is not a member (the banner, a preview) stays.
    if (paneMemberRow_ && *paneMemberRow_ != selected.number) ClearPane();
    if (FollowDataSetChanges(outcome)) ListSelectedType();
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

// ----- The archive operations

void TMainForm::ReplaceBtnClick() {
    Handle([this] {
        // After a failed start-up the section table is all zero: a
        // replacement would write into the index header.
        if (!state_.dataSetReady) return;
        const ArchiveContext context{fs_, state_.paths, state_.table, *this};
        if (SelectedType() == Txt)
            FollowDataSetChanges(ReplaceTextMember(context, SelectedListedLine(), state_.ReplacementFileName));
        if (SelectedType() == Shp) {
            const OperationLock lock({LoadBtn, ReplaceBtn, ExtractBtn, FileLB, TypesRG}, operationRunning_);
            FollowDataSetChanges(ReplaceShpMember(context, SelectedListedLine(), state_.ReplacementFileName));
        }
    });
    // Whatever happened, the list shows the index as it now is, and has the
    // keyboard focus for either type, since choosing the next line is what
    // follows: a Shp rebuild disabled the button that had it.
    TypesRGClick();
    if (FileLB->isEnabled()) FileLB->setFocus(Qt::OtherFocusReason);
    // A close asked for while the archive was rebuilt is carried out now
    // that it is done.
    if (closeRequested_) close();
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
    if (!current.refusal) {
        state_.table = current.table;
    } else {
        ShowMessage(*current.refusal, kFileErrorCaption);
    }
    return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // Closing in the middle of a rebuild would destroy the window under the
    // running operation; it finishes first.
    if (operationRunning_) {
        event->ignore();
        closeRequested_ = true;
        return;
    }
    QWidget::closeEvent(event);
}

// ----- The window services the core reports through

void TMainForm::SetPaneText(const std::string& text) {
    paneMemberRow_.reset();
    DiscardPendingText(*TextRichEdit);
    TextRichEdit->setPlainText(FromBytes(text));
}

void TMainForm::ShowEditorText(const std::string& text) {
    paneMemberRow_.reset();
    TextRichEdit->setPlainText(ForDisplay(text));
}

void TMainForm::AppendPaneText(const std::string& text) {
    paneMemberRow_.reset();
    // Never the whole text set again: that would lay it all out anew and
    // send all of it to an accessibility client, at every mark.
    PendingPaneText::Of(*TextRichEdit).Append(FromBytes(text));
}

void TMainForm::ClearPane() {
    paneMemberRow_.reset();
    DiscardPendingText(*TextRichEdit);
    TextRichEdit->clear();
}

std::string TMainForm::PaneText() const {
    // The raw text keeps every character as it was set (the plain-text view
    // would turn a no-break space, byte A0, into a blank); only the
    // document's own line and block separators become line feeds again.
    QString text = TextRichEdit->document()->toRawText();
    if (const auto* pending = PendingPaneText::Find(*TextRichEdit)) text += pending->Text();
    for (QChar& c : text) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) c = QLatin1Char('\n');
    }
    return ToBytes(text);
}

void TMainForm::RepaintPane() {
    if (auto* pending = PendingPaneText::Find(*TextRichEdit)) pending->Insert();
    TextRichEdit->viewport()->repaint();
}

void TMainForm::ShowMessage(const std::string& text, const std::string& caption) {
    prompts_.ShowMessageBox(this, ForDisplay(text), ForDisplay(caption), QMessageBox::NoIcon);
}

void TMainForm::SetBusyCursor(bool busy) {
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ++busyCursors_;
    } else if (busyCursors_ > 0) {
        QApplication::restoreOverrideCursor();
        --busyCursors_;
    }
}

void TMainForm::ReleaseBusyCursors() {
    // An operation that ended by an error must not leave the whole
    // application showing the hourglass.
    while (busyCursors_ > 0) SetBusyCursor(false);
}

void TMainForm::ProcessEvents() {
    QCoreApplication::processEvents();
}

}  // namespace qax::ui

#include "main_form.moc"
