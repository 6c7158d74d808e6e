#include "stop_signals.h"

#include <csignal>

namespace qax::tool {

namespace {

// Set by the handler of the stop signals, and read between steps: a
// signal handler can reach nothing else.
volatile std::sig_atomic_t stopSignal = 0;

}  // namespace

// The signals that ask for a polite stop, each with the words the message
// names it by. Windows raises SIGINT for Ctrl+C and SIGBREAK for Ctrl+Break
// and knows no hangup; nothing outside the program raises its SIGTERM.
struct StopSignal {
    int number;
    const char* name;
};
constexpr StopSignal kStopSignals[] = {
    {SIGINT, "Interrupt"},
    {SIGTERM, "Terminated"},
#ifdef SIGHUP
    {SIGHUP, "Hangup"},
#endif
#ifdef SIGBREAK
    {SIGBREAK, "Ctrl+Break"},
#endif
};

const char* StopSignalName(int number) {
    for (const StopSignal& signal : kStopSignals)
        if (signal.number == number) return signal.name;
    return "unknown";
}

void RequestStop(int signal) {
    stopSignal = signal;
#ifdef _WIN32
    // Windows takes the handler away before calling it: a second Ctrl+C is
    // to be as polite as the first.
    std::signal(signal, RequestStop);
#endif
}

// A polite stop is not obeyed at once: the replacement under way fails at
// its next write and undoes itself, as after any failure it lives through.
void StopPolitelyOnSignals() {
    for (const StopSignal& signal : kStopSignals) {
#ifdef _WIN32
        std::signal(signal.number, RequestStop);
#else
        struct sigaction action {};
        action.sa_handler = RequestStop;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal.number, &action, nullptr);
#endif
    }
}

bool StopRequested() {
    return stopSignal != 0;
}

int StopSignalNumber() {
    return stopSignal;
}

}  // namespace qax::tool
