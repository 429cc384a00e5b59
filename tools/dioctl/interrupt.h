// The signals of the tools' stop table end a dioctl verb cleanly: the
// handler only notes the signal (installed without SA_RESTART, so that a
// wait returns EINTR) and the verb finishes what it must (restore a line,
// flush an event) first. The table is installed before any verb runs, so
// no signal cuts a change of the board in half.
#ifndef DIOCTL_INTERRUPT_H
#define DIOCTL_INTERRUPT_H

#include <chrono>

namespace dioctl {

void InstallInterruptHandlers();

// True once a stop signal arrived.
bool Interrupted();

// How dioctl exits after a verb was interrupted: 130 after SIGHUP, SIGINT
// or SIGTERM (as documented), 128 + N after an unexpected signal.
int InterruptedStatus();

// The slice a verb waits at most before it looks at Interrupted() again, so
// a signal that lands just before a wait starts is not held up for long.
constexpr std::chrono::milliseconds kInterruptCheckSlice{100};

// Sleeps until the monotonic time `when`; false, early, once interrupted.
bool SleepUntil(std::chrono::steady_clock::time_point when);

}  // namespace dioctl

#endif
