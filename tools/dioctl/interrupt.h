// SIGINT and SIGTERM end a dioctl verb cleanly: the handler only notes the
// signal (installed without SA_RESTART, so that a wait returns EINTR) and
// the verb finishes what it must (restore a line, flush an event) first.
#ifndef DIOCTL_INTERRUPT_H
#define DIOCTL_INTERRUPT_H

#include <chrono>

namespace dioctl {

void InstallInterruptHandlers();

// True once SIGINT or SIGTERM arrived.
bool Interrupted();

// The slice a verb waits at most before it looks at Interrupted() again, so
// a signal that lands just before a wait starts is not held up for long.
constexpr std::chrono::milliseconds kInterruptCheckSlice{100};

// Sleeps until the monotonic time `when`; false, early, once interrupted.
bool SleepUntil(std::chrono::steady_clock::time_point when);

}  // namespace dioctl

#endif
