// The window services the core reports through.
#include <QApplication>
#include <QTextCursor>
#include <QTextDocument>

#include "main_form.h"
#include "text_codec.h"

namespace qax::ui {

void TMainForm::SetPaneText(const std::string& text) {
    TextRichEdit->setPlainText(FromBytes(text));
}

void TMainForm::AppendPaneText(const std::string& text) {
    // An insertion at the end, through a cursor of its own: the document
    // lays out and announces only the new characters (setting the whole
    // text again would re-lay it out and send all of it to an accessibility
    // client each time), and the user's cursor and view stay where they are.
    QTextCursor end(TextRichEdit->document());
    end.movePosition(QTextCursor::End);
    end.insertText(FromBytes(text));
}

void TMainForm::ClearPane() {
    TextRichEdit->clear();
}

std::string TMainForm::PaneText() const {
    // The raw text keeps every character as it was set (the plain-text view
    // would turn a no-break space, byte A0, into a blank); only the
    // document's own line and block separators become line feeds again.
    QString text = TextRichEdit->document()->toRawText();
    for (QChar& c : text) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) c = QLatin1Char('\n');
    }
    return ToBytes(text);
}

void TMainForm::RepaintPane() {
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
