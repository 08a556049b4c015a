// SIGTERM, SIGINT and SIGHUP turned into a request the program answers on its own
// terms: while watched, each such signal calls the handler on a thread of the
// watcher's own (never in signal context), with the signal number.
#pragma once
#include <functional>

namespace platform {

// Installs the signal handlers; a second call replaces the handler. False when
// the watcher cannot be set up (the signals then keep their default action).
bool WatchTerminationSignals(std::function<void(int signal)> handler);
// Restores the default actions and ends the watcher thread.
void StopWatchingTerminationSignals();
// True once a watched signal has arrived: a wait that could last (a folder
// lock another process holds) gives way instead of holding up the exit.
bool TerminationRequested();

}  // namespace platform
