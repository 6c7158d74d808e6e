// Prints the text on the display's clipboard as UTF-8, nothing when there is
// none. The end-to-end tests read what the editor shows this way: they copy
// the text pane or a list line with the editor's own Copy key, then ask the
// X server for the clipboard like any other program would.
#include <QClipboard>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    const QByteArray text = QGuiApplication::clipboard()->text().toUtf8();
    if (!text.isEmpty() && std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout) !=
                               static_cast<std::size_t>(text.size()))
        return 1;
    return std::fflush(stdout) == 0 ? 0 : 1;
}
