#include "user_prompts.h"

namespace qax::ui {

std::optional<QString> DesktopPrompts::RunOpenDialog(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return std::nullopt;
    return chosen.first();
}

void DesktopPrompts::ShowMessageBox(QWidget* parent, const QString& text, const QString& caption,
                                    QMessageBox::Icon icon) {
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

void ConfigureOpenDialog(QFileDialog& dialog) {
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
}

}  // namespace qax::ui
