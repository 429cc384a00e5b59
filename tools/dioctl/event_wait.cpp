#include "event_wait.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "interrupt.h"

namespace dioctl {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// How long the next vdio_watch_next may wait: a short slice, so that the
// interrupt flag is looked at often, and never past the deadline.
milliseconds NextSlice(const Deadline &deadline, Clock::time_point now) {
  if (!deadline) return kInterruptCheckSlice;
  return std::min(kInterruptCheckSlice, std::chrono::ceil<milliseconds>(*deadline - now));
}

}  // namespace

Deadline DeadlineAfter(const std::optional<varnik::tools::Microseconds> &timeout) {
  if (!timeout) return std::nullopt;
  return Clock::now() + *timeout;
}

WaitResult WaitForEvent(vdio_watch *watch, const Deadline &deadline, vdio_event *event) {
  for (;;) {
    if (Interrupted()) return WaitResult::kInterrupted;
    const Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) return WaitResult::kTimedOut;
    const int result =
        vdio_watch_next(watch, static_cast<int>(NextSlice(deadline, now).count()), event);
    if (result == 1) return WaitResult::kEvent;
    if (result < 0 && result != -EINTR)
      throw std::runtime_error(std::string("watching the lines failed: ") + std::strerror(-result));
  }
}

}  // namespace dioctl
