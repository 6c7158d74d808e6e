// The polite stop: Ctrl+C, SIGTERM, SIGHUP (Ctrl+Break on Windows) are
// noted, and the program obeys them between its steps.
#pragma once

namespace qax::tool {

// From now on a stop signal is noted rather than obeyed at once.
void StopPolitelyOnSignals();
// Whether a stop signal came, and which (0: none).
bool StopRequested();
int StopSignalNumber();
// The words a message names a signal by.
const char* StopSignalName(int number);

}  // namespace qax::tool
