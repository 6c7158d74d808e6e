#include "user_prompts.h"

#include <QApplication>
#include <QSettings>
#include <cstdio>

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
    // created can only be written out.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
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

}  // namespace

QFileDialog* MakeOpenDialog(QWidget* parent) {
    KeepNoToolkitSettings();  // before the dialog reads them
    auto* dialog = new QFileDialog(parent);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    return dialog;
}

}  // namespace qax::ui
