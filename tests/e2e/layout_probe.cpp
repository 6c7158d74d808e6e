// Prints where the editor's controls lie inside its window, so that the
// end-to-end tests click where a person would: on the middle of a button, a
// type, a list line.
//
// The window arranges its controls with layouts, so their positions depend
// on the fonts and the style of the display. The probe builds the same
// window class on the same display, never shows it on screen, and prints
// every control's rectangle in window coordinates, one per line:
//   <name> <x> <y> <width> <height>
// Arguments: a program path whose data set does not exist, so the probe's
// start-up check finds no files and reads or writes nothing; then, when the
// window manager has given the window another inside, its width and height.
#include <QApplication>
#include <QListWidget>
#include <cstdio>
#include <cstdlib>

#include "file_access.h"
#include "main_form.h"
#include "user_prompts.h"

namespace {

// The probe's window must never block on a modal box.
class SilentPrompts : public qax::ui::UserPrompts {
public:
    std::optional<QString> RunOpenDialog(QFileDialog&) override { return std::nullopt; }
    void ShowMessageBox(QWidget*, const QString&, const QString&, QMessageBox::Icon) override {}
};

void Print(const char* name, const QRect& rect) {
    std::printf("%s %d %d %d %d\n", name, rect.x(), rect.y(), rect.width(), rect.height());
}

void Print(const char* name, const QWidget& control, const QWidget& window) {
    Print(name, QRect(control.mapTo(&window, QPoint(0, 0)), control.size()));
}

// The window's control named `name`, found by its object name; a window
// without it ends the probe, since the tests could not click on it.
template <class T>
T& Control(const QWidget& window, const char* name) {
    T* control = window.findChild<T*>(QString::fromLatin1(name));
    if (control == nullptr) {
        std::fprintf(stderr, "the window has no %s named %s\n", T::staticMetaObject.className(), name);
        std::exit(1);
    }
    return *control;
}

// A radio button reacts to clicks on its circle and its text only, which
// fill the left part of a wider grid cell: its natural size, from the left,
// centred in the height.
void PrintClickableArea(const char* name, const QWidget& control, const QWidget& window) {
    const QSize natural = control.sizeHint().boundedTo(control.size());
    const QPoint topLeft = control.mapTo(&window, QPoint(0, (control.height() - natural.height()) / 2));
    Print(name, QRect(topLeft, natural));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: %s <program path without a data set> [<width> <height>]\n", argv[0]);
        return 2;
    }
    QApplication application(argc, argv);
    qax::SystemFileSystem fileSystem;
    SilentPrompts prompts;
    qax::ui::TMainForm form(argv[1], fileSystem, prompts);
    form.setAttribute(Qt::WA_DontShowOnScreen);
    if (argc == 4) form.resize(std::atoi(argv[2]), std::atoi(argv[3]));
    // One catalogue line, so the height of a list line is known.
    QListWidget& list = Control<QListWidget>(form, "FileLB");
    list.addItem(QStringLiteral("MEMBER01 123456 $0ABCDEF"));
    form.show();
    QApplication::processEvents();

    Print("Window", QRect(QPoint(0, 0), form.size()));
    for (const char* name : {"TextRichEdit", "FileLB", "TypesRG", "LoadBtn", "FileLbl", "ReplaceBtn", "ExtractBtn"})
        Print(name, Control<QWidget>(form, name), form);
    for (int type = 0; type < 6; ++type) {
        const std::string name = "Type" + std::to_string(type);
        PrintClickableArea(name.c_str(), *form.TypeButton(type), form);
    }
    const QRect line = list.visualItemRect(list.item(0));
    Print("FileLBLine0", QRect(list.viewport()->mapTo(&form, line.topLeft()), line.size()));
    return 0;
}
