// Internal to the project's tools; not a stable interface.
//
// How a signal stops a program of ours that drives outputs. One table for
// every such program (dioctl, dio-modbusd, the daemons after them):
//
//   SIGHUP, SIGINT, SIGTERM        a requested stop: the program stops as it
//                                  documents (a pulsed line restored, safe
//                                  outputs written) and exits as after a
//                                  clean end.
//   SIGQUIT, SIGUSR1, SIGUSR2,     an unexpected stop: the same stop, then
//   SIGALRM, SIGVTALRM, SIGPROF,   exit 128 + the signal's number, so that a
//   SIGIO, SIGPWR, SIGXCPU,        supervisor sees a failure (systemd's
//   SIGXFSZ, SIGRTMIN..SIGRTMAX    Restart=on-failure brings a daemon back).
//   SIGPIPE                        ignored: a closed peer is the write's error.
//
// Faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE) and SIGKILL cannot be handled:
// the process ends where it stands.
#ifndef VARNIK_TOOLS_STOP_SIGNALS_H
#define VARNIK_TOOLS_STOP_SIGNALS_H

#include <string>
#include <vector>

namespace varnik::tools {

enum class StopKind { kNone, kRequested, kUnexpected };

// What the table says of a signal (kNone for one it leaves alone).
StopKind StopKindOf(int signal);

// Every signal the table stops on, in the table's order.
std::vector<int> StopSignals();

// Installs one handler for every stop signal and ignores SIGPIPE. With
// restart_interrupted_calls false a blocking call returns EINTR when a
// signal lands (for programs that sleep rather than poll). Returns a
// descriptor that becomes readable once a stop signal came (the same one on
// every call), or -1 with errno set.
int InstallStopSignals(bool restart_interrupted_calls);

// The first stop signal that came, 0 before one did.
int StopSignal();
bool StopRequested();

// "SIGHUP", "SIGRTMIN+3"; "signal N" for one without a name.
std::string SignalName(int signal);

// How the program exits after stopping: requested_status after a requested
// stop (or none), 128 + N after an unexpected one.
int ExitStatusAfterStop(int requested_status);

}  // namespace varnik::tools

#endif
