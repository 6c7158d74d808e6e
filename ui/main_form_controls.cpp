// The window's controls, their fonts and layout, and the wiring of their
// events to the handlers.
//
// The window was laid out in pixels of a 120-dpi screen; here those pixels
// are taken as Qt's device-independent pixels and the fixed positions become
// layouts with the same arrangement, so that no text is ever clipped when a
// font is wider than the one it was designed with.
#include <QGridLayout>
#include <QHBoxLayout>
#include <QStyle>
#include <QVBoxLayout>
#include <QWindow>

#include "catalogue.h"
#include "list_click_watcher.h"
#include "main_form.h"

namespace qax::ui {

namespace {

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

// Metric-compatible stand-ins for the fonts the window was designed with,
// with the other sans and monospace families the install script provides
// as fallbacks.
QFont SansFont(int pixels) {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    return font;
}

QFont CatalogueFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setBold(true);
    font.setPixelSize(kListFontPixels);
    return font;
}

// Wide enough for a whole catalogue line next to the scroll bar.
int CatalogueListWidth(const QListWidget& list) {
    const QFontMetrics metrics(list.font());
    const int line = metrics.horizontalAdvance(QString(static_cast<qsizetype>(kCatalogueLineWidth), QLatin1Char('0')));
    const QStyle* style = list.style();
    const int scrollBar = style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &list);
    const int itemMargins = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1);
    return line + itemMargins + scrollBar + 2 * list.frameWidth() + metrics.averageCharWidth();
}

}  // namespace

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

    FileLB = new QListWidget(this);
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
    move(kWindowLeft, kWindowTop);
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
    move(kWindowLeft, kWindowTop);
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

}  // namespace qax::ui
