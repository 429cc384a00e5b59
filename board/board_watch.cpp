// Change events by polling: the board has no interrupts. A watcher on the
// held mapping polls its lines while its caller waits, and debounces them
// (line_debounce.h). A watcher on a board held through the service takes
// one branch to service_watch.cpp.
#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include "board_internal.h"
#include "line_debounce.h"
#include "service_watch.h"

namespace {

using namespace varnik::board;

constexpr uint64_t kNsPerUs = 1000;
constexpr uint64_t kNsPerMs = 1000 * 1000;
constexpr uint64_t kNsPerS = 1000 * 1000 * 1000;
constexpr uint32_t kLineSetMask = (1u << VDIO_LINE_COUNT) - 1;

uint64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * kNsPerS + static_cast<uint64_t>(now.tv_nsec);
}

// Sleeps until the monotonic time `when`: 0, or the errno that ended the
// sleep early (EINTR: a signal handler ran).
int SleepUntil(uint64_t when) {
  struct timespec at;
  at.tv_sec = static_cast<time_t>(when / kNsPerS);
  at.tv_nsec = static_cast<long>(when % kNsPerS);
  return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
}

}  // namespace

struct vdio_watch {
  const vdio_board *board;
  varnik::board::LineDebounce lines;
  uint64_t next_poll_ns;
  varnik::board::ServiceWatch *remote;  // set for a watcher through the service
};

namespace {

// The levels of the watched lines, bit n for line n.
uint32_t WatchedLevels(const vdio_board *board, uint32_t lines) {
  uint32_t levels = 0;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (HasLine(lines, line) && LevelOf(board, line) == 1) levels |= 1u << line;
  return levels;
}

void Poll(vdio_watch *w, uint64_t now) {
  Observe(&w->lines, WatchedLevels(w->board, w->lines.lines), now);
}

bool TakePending(vdio_watch *w, vdio_event *event) { return TakeEvent(&w->lines, event); }

// The next poll is one interval after the last one was due; a watcher left
// alone for longer polls at once and takes up the rhythm from there. An
// extra look (a timeout of 0) before a poll is due leaves the rhythm alone.
void PollAndReschedule(vdio_watch *w, uint64_t now) {
  Poll(w, now);
  if (now < w->next_poll_ns) return;
  w->next_poll_ns += w->lines.interval_ns;
  if (w->next_poll_ns <= now) w->next_poll_ns = now + w->lines.interval_ns;
}

}  // namespace

extern "C" int vdio_watch_new(const vdio_board *board, uint32_t lines, uint32_t interval_us,
                              uint32_t debounce_us, vdio_watch **watch) {
  if (board == nullptr || watch == nullptr) return -EINVAL;
  if (lines == 0 || (lines & ~kLineSetMask) != 0) return -EINVAL;
  if (interval_us < VDIO_WATCH_MIN_INTERVAL_US || interval_us > VDIO_WATCH_MAX_INTERVAL_US)
    return -EINVAL;
  if (debounce_us > VDIO_WATCH_MAX_DEBOUNCE_US) return -EINVAL;
  auto *w = static_cast<vdio_watch *>(calloc(1, sizeof(vdio_watch)));
  if (w == nullptr) return -ENOMEM;
  w->board = board;
  if (board->service != nullptr) {
    const int result =
        OpenServiceWatch(board->service, lines, interval_us, debounce_us, &w->remote);
    if (result != 0) {
      free(w);
      return result;
    }
    *watch = w;
    return 0;
  }
  const uint64_t now = MonotonicNs();
  StartDebounce(&w->lines, lines, interval_us * kNsPerUs, debounce_us * kNsPerUs,
                WatchedLevels(board, lines), now);
  w->next_poll_ns = now + w->lines.interval_ns;
  *watch = w;
  return 0;
}

extern "C" int vdio_watch_next(vdio_watch *watch, int timeout_ms, struct vdio_event *event) {
  if (watch == nullptr || event == nullptr) return -EINVAL;
  if (watch->remote != nullptr) return NextServiceEvent(watch->remote, timeout_ms, event);
  if (TakePending(watch, event)) return 1;
  uint64_t now = MonotonicNs();
  if (timeout_ms == 0) {
    PollAndReschedule(watch, now);
    return TakePending(watch, event) ? 1 : 0;
  }
  const bool forever = timeout_ms < 0;
  const uint64_t deadline = forever ? 0 : now + static_cast<uint64_t>(timeout_ms) * kNsPerMs;
  for (;;) {
    if (now >= watch->next_poll_ns) {
      PollAndReschedule(watch, now);
      if (TakePending(watch, event)) return 1;
    }
    if (!forever && now >= deadline) return 0;
    const uint64_t wake =
        !forever && deadline < watch->next_poll_ns ? deadline : watch->next_poll_ns;
    const int slept = SleepUntil(wake);
    if (slept != 0) return -slept;
    now = MonotonicNs();
  }
}

extern "C" void vdio_watch_free(vdio_watch *watch) {
  if (watch == nullptr) return;
  if (watch->remote != nullptr) FreeServiceWatch(watch->remote);
  free(watch);
}

extern "C" int vdio_watch_fd(const vdio_watch *watch) {
  if (watch == nullptr) return -EINVAL;
  return watch->remote != nullptr ? ServiceWatchFd(watch->remote) : -EOPNOTSUPP;
}
