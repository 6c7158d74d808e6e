// Qax Edit: creates the application and the main window, whose creation runs
// the start-up check, and runs the event loop until the window is closed.
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "data_set.h"
#include "error_box.h"
#include "file_access.h"
#include "main_form.h"
#include "user_prompts.h"

namespace {

#ifndef _WIN32
// Set by the handler of SIGINT, SIGTERM and SIGHUP, which also writes a byte
// to `stopPipe` so that the event loop hears of it: a signal handler can
// reach nothing else.
volatile std::sig_atomic_t stopSignal = 0;
int stopPipe[2] = {-1, -1};

extern "C" void RequestStop(int signal) {
    stopSignal = signal;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(stopPipe[1], &byte, 1);
}

// A polite stop closes the window as a click on its close box would: a
// replacement under way first fails at its next write and puts the archive
// back (the file layer sees the request), and the window closes once it has.
void StopPolitelyOnSignals(QObject& owner, qax::ui::DesktopPrompts& prompts) {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &owner);
    QObject::connect(notifier, &QSocketNotifier::activated, &owner, [&prompts] {
        char bytes[16];
        while (::read(stopPipe[0], bytes, sizeof bytes) > 0) {
        }
        // Every window, a message box included, as if each were closed by
        // hand: the main window itself waits for a replacement to end. The
        // replacement's own report may come after this, and must not keep
        // the program waiting for an answer.
        prompts.WriteMessagesInsteadOfBoxes();
        QApplication::closeAllWindows();
    });
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

const char* SignalName(int signal) {
    return strsignal(signal);
}
#else
// A windowed program on Windows is sent no signals: closing its window (or
// the session's end, which Qt turns into a close) is its polite stop.
constexpr std::sig_atomic_t stopSignal = 0;
void StopPolitelyOnSignals(QObject&, qax::ui::DesktopPrompts&) {}
const char* SignalName(int) {
    return "none";
}
#endif

// The editor takes no arguments but these two, which answer without a
// window (and so without a display); anything else is refused with a usage
// line and status 2. Qt's own options (-platform and the like) are taken by
// the application before the rest is looked at.
constexpr const char* kUsage = "Usage: qaxedit [--help] [--version]";

void DescribeOptions(QCommandLineParser& parser) {
    QCoreApplication::setApplicationName(QStringLiteral("qaxedit"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1"));
    parser.setApplicationDescription(QStringLiteral(
        "Qax Edit: lists, shows, replaces and extracts the members of the data set in the data directory one "
        "level above the editor's own directory."));
    parser.addHelpOption();
    parser.addVersionOption();
}

// --help or --version anywhere: answered before the application exists.
std::optional<int> AnswerWithoutWindow(int argc, char* argv[]) {
    QCommandLineParser parser;
    DescribeOptions(parser);
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument == QStringLiteral("--help") || argument == QStringLiteral("-h")) {
            // Without an application the parser cannot know the program's name.
            std::fputs(
                qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("qaxedit"))),
                stdout);
            return 0;
        }
        if (argument == QStringLiteral("--version") || argument == QStringLiteral("-v")) {
            std::puts("qaxedit 0.1");
            return 0;
        }
    }
    return std::nullopt;
}

// What is left once the application took its own options: nothing is
// expected.
std::optional<int> RefuseOtherArguments(const QStringList& arguments) {
    QCommandLineParser parser;
    DescribeOptions(parser);
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "qaxedit: %s\n%s\n", qPrintable(parser.errorText()), kUsage);
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "qaxedit: takes no arguments (%s)\n%s\n",
                     qPrintable(parser.positionalArguments().join(QLatin1Char(' '))), kUsage);
        return 2;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (const std::optional<int> answered = AnswerWithoutWindow(argc, argv)) return *answered;
    qax::ui::DesktopPrompts prompts;
    // Created inside the guarded steps, so that an error in its creation is
    // caught too; held outside them, so that it is still there to show the
    // error box once an error has ended them.
    std::optional<QApplication> application;

    // An error that escapes the entry's steps is shown like one raised in a
    // handler, and the program then ends with 0.
    return qax::ui::RunEntryReportingErrors(prompts, argv[0], [&] {
        application.emplace(argc, argv);
        if (const std::optional<int> refused = RefuseOtherArguments(QCoreApplication::arguments())) return *refused;
        // Taken from the system as bytes: a directory name in another
        // encoding than the locale's must not be lost in decoding, or the
        // data set would be looked for somewhere else entirely.
        const std::optional<std::string> programPath = qax::RunningProgramPath();
        if (!programPath)
            throw std::runtime_error(
                "The editor cannot tell where its own program file lies, so it cannot find the data set beside it; "
                "it stops");
        qax::SystemFileSystem disk;
        qax::StoppableFileSystem fileSystem(disk, [] { return stopSignal != 0; });
        qax::ui::TMainForm mainForm(*programPath, fileSystem, prompts);
        StopPolitelyOnSignals(*application, prompts);
        mainForm.show();
        const int status = QApplication::exec();
        if (stopSignal == 0) return status;
        std::fprintf(stderr, "qaxedit: stopped by a signal (%s)%s\n", SignalName(stopSignal),
                     fileSystem.Stopped() ? "; the replacement under way was undone first" : "");
        return 128 + stopSignal;
    });
}
