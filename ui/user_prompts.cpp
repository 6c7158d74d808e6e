#include "user_prompts.h"

#include <QApplication>
#include <QCompleter>
#include <QEvent>
#include <QLineEdit>
#include <QPointer>
#include <QSettings>
#include <cstdio>
#include <vector>

namespace qax::ui {

std::optional<QString> DesktopPrompts::RunOpenDialog(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.first();
}

void DesktopPrompts::ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                                    QMessageBox::Icon icon) {
    // A box needs the application; an error raised while it was being
    // created can only be written out, as can one after a stop.
    if (boxesStopped_ || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(text));
        return;
    }
    MakeMessageBox(parent, text, caption, icon)->exec();
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, const QString& text, const QString& caption,
                                            QMessageBox::Icon icon) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(caption);
    // Paths and member names are shown as they are, never read as markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->setIcon(icon);
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    return box;
}

namespace {

// The editor keeps no settings, but Qt's own file dialog reads its history,
// last folder and view from the user's configuration when it is created and
// writes them back when it is destroyed. Every settings file of the process
// is therefore looked for under /dev/null, a device beneath which no file or
// directory can ever be made, not even by root: the dialog finds nothing,
// and its write fails without a trace.
void KeepNoToolkitSettings() {
    for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        for (const QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope})
            QSettings::setPath(format, scope, QStringLiteral("/dev/null"));
}

// The file-name field completes from a file system model that reads folders
// in the background. When a folder's names arrive after the dialog has
// closed, the completer still belongs to the hidden field and shows its list
// anyway, over the main window, where the list takes the keyboard with it.
// So the fields lose their completers while the dialog is hidden, which also
// closes any list still open, and get them back when it shows.
class CompletionOnlyWhileShown final : public QObject {
public:
    explicit CompletionOnlyWhileShown(QFileDialog& dialog) : QObject(&dialog), dialog_(dialog) {
        dialog.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The dialog makes its fields when it first shows.
        if (event->type() == QEvent::Show && fields_.empty())
            for (QLineEdit* field : dialog_.findChildren<QLineEdit*>())
                if (QCompleter* completer = field->completer()) fields_.push_back({field, completer});
        if (event->type() == QEvent::Show) Attach();
        if (event->type() == QEvent::Hide) Detach();
        return QObject::eventFilter(watched, event);
    }

private:
    struct Field {
        QPointer<QLineEdit> edit;
        QPointer<QCompleter> completer;
    };

    void Attach() {
        for (const Field& field : fields_)
            if (field.edit && field.completer) field.edit->setCompleter(field.completer);
    }
    void Detach() {
        for (const Field& field : fields_)
            if (field.edit) field.edit->setCompleter(nullptr);
    }

    QFileDialog& dialog_;
    std::vector<Field> fields_;
};

}  // namespace

QFileDialog* MakeOpenDialog(QWidget* parent) {
    KeepNoToolkitSettings();  // before the dialog reads them
    auto* dialog = new QFileDialog(parent);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    new CompletionOnlyWhileShown(*dialog);
    return dialog;
}

}  // namespace qax::ui
