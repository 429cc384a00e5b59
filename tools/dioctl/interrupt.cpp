#include "interrupt.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "stop_signals.h"
#include "tool_messages.h"

namespace dioctl {

namespace {

// One relative sleep; a signal handler ends it early.
void SleepFor(std::chrono::nanoseconds duration) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  struct timespec span {};
  span.tv_sec = static_cast<time_t>(seconds.count());
  span.tv_nsec = static_cast<long>((duration - seconds).count());
  clock_nanosleep(CLOCK_MONOTONIC, 0, &span, nullptr);
}

}  // namespace

void InstallInterruptHandlers() {
  // No SA_RESTART: waits return EINTR.
  if (varnik::tools::InstallStopSignals(false) < 0)
    throw std::runtime_error(std::string("cannot set up the stop signals: ") +
                             std::strerror(errno));
}

bool Interrupted() { return varnik::tools::StopRequested(); }

int InterruptedStatus() {
  return varnik::tools::ExitStatusAfterStop(varnik::tools::kExitInterrupted);
}

bool SleepUntil(std::chrono::steady_clock::time_point when) {
  using Clock = std::chrono::steady_clock;
  while (!Interrupted()) {
    const Clock::time_point now = Clock::now();
    if (now >= when) return true;
    SleepFor(std::min<Clock::duration>(when - now, kInterruptCheckSlice));
  }
  return false;
}

}  // namespace dioctl
