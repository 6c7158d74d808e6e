// The window services the core reports through.
#include <QApplication>
#include <QElapsedTimer>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>

#include "main_form.h"
#include "text_codec.h"

namespace qax::ui {

namespace {

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

}  // namespace

void TMainForm::SetPaneText(const std::string& text) {
    DiscardPendingText(*TextRichEdit);
    TextRichEdit->setPlainText(FromBytes(text));
}

void TMainForm::ShowEditorText(const std::string& text) {
    TextRichEdit->setPlainText(ForDisplay(text));
}

void TMainForm::AppendPaneText(const std::string& text) {
    // Never the whole text set again: that would lay it all out anew and
    // send all of it to an accessibility client, at every mark.
    PendingPaneText::Of(*TextRichEdit).Append(FromBytes(text));
}

void TMainForm::ClearPane() {
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

#include "main_form_sink.moc"
