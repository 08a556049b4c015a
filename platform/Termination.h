// SIGTERM, SIGINT and SIGHUP turned into a request the program answers on its own
// terms: while watched, each such signal calls the handler on a thread of the
// watcher's own (never in signal context), with the signal number. A signal
// the process was started with ignored (SIGHUP under nohup, SIGINT in a
// script's background job) stays ignored.
#pragma once
#include <functional>

namespace platform {

// Installs the signal handlers; a second call replaces the handler. False when
// the watcher cannot be set up (the signals then keep their default action).
bool WatchTerminationSignals(std::function<void(int signal)> handler);
// Puts back the actions found when watching began and ends the watcher thread.
void StopWatchingTerminationSignals();
// True once a watched signal has arrived or the program asked to end: a wait
// that could last (a folder lock another process holds) gives way instead of
// holding up the exit, and a loop that repeats until told (the debug repeat of
// a station) ends.
bool TerminationRequested();
// The program ends on its own account (its window was closed while it could
// not close at once): TerminationRequested holds from now on, as after a
// signal; the handler is not called.
void RequestTermination();

}  // namespace platform
