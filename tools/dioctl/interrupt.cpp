#include "interrupt.h"

#include <time.h>

#include <algorithm>
#include <csignal>

namespace dioctl {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void NoteInterrupt(int) { g_interrupted = 1; }

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
  struct sigaction action {};
  action.sa_handler = NoteInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: waits return EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

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
