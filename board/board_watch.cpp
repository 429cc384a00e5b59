// Change events by polling: the board has no interrupts. A watcher keeps the
// last level it reported for each watched line; a line whose level differs
// is a candidate from the poll that first saw it, and is reported once the
// new level has held for the debounce time.
#include <errno.h>
#include <stdlib.h>
#include <time.h>

#include "board_internal.h"

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

bool Has(uint32_t set, int line) { return (set >> line) & 1u; }

}  // namespace

struct vdio_watch {
  const vdio_board *board;
  uint32_t lines;
  uint64_t interval_ns;
  uint64_t debounce_ns;
  uint64_t next_poll_ns;
  uint64_t last_poll_ns;
  uint32_t reported;               // bit n: the level last reported for line n
  uint32_t candidates;             // bit n: line n now differs from its reported level
  uint64_t seen_ns[VDIO_LINE_COUNT];  // when each candidate's level was first seen
  // Events found by the last poll and not yet handed out, oldest first.
  vdio_event pending[VDIO_LINE_COUNT];
  int pending_first;
  int pending_count;
};

namespace {

// Adds an event to the queue, keeping it ordered by the time each change
// was first seen (lines seen at the same poll in line order).
void Enqueue(vdio_watch *w, const vdio_event &event) {
  int at = w->pending_first + w->pending_count;
  while (at > w->pending_first && w->pending[at - 1].timestamp_ns > event.timestamp_ns) {
    w->pending[at] = w->pending[at - 1];
    --at;
  }
  w->pending[at] = event;
  ++w->pending_count;
}

// A watcher left alone for longer than the debounce time (and two
// intervals) knows nothing of what its lines did meanwhile: two glitches on
// either side of the gap could pass for one held level. A level it saw
// before the gap has not been seen to hold, so its debounce time starts
// again at this poll. Shorter gaps, a busy machine's late polls, are not
// counted against the lines.
bool PollsWereMissed(const vdio_watch *w, uint64_t now) {
  const uint64_t gap = now - w->last_poll_ns;
  return gap > 2 * w->interval_ns && gap > w->debounce_ns;
}

void Poll(vdio_watch *w, uint64_t now) {
  w->pending_first = 0;  // the queue is empty whenever a poll runs
  if (PollsWereMissed(w, now)) w->candidates = 0;
  w->last_poll_ns = now;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    if (!Has(w->lines, line)) continue;
    const int level = LevelOf(w->board, line);
    const uint32_t bit = 1u << line;
    if (level == static_cast<int>(Has(w->reported, line))) {
      w->candidates &= ~bit;  // back where it was: a glitch, if anything
      continue;
    }
    if (!Has(w->candidates, line)) {
      w->candidates |= bit;
      w->seen_ns[line] = now;
    }
    if (now - w->seen_ns[line] < w->debounce_ns) continue;
    w->candidates &= ~bit;
    w->reported ^= bit;
    Enqueue(w, vdio_event{line, level, level ? VDIO_RISING : VDIO_FALLING, w->seen_ns[line]});
  }
}

bool TakePending(vdio_watch *w, vdio_event *event) {
  if (w->pending_count == 0) return false;
  *event = w->pending[w->pending_first++];
  --w->pending_count;
  return true;
}

// The next poll is one interval after the last one was due; a watcher left
// alone for longer polls at once and takes up the rhythm from there. An
// extra look (a timeout of 0) before a poll is due leaves the rhythm alone.
void PollAndReschedule(vdio_watch *w, uint64_t now) {
  Poll(w, now);
  if (now < w->next_poll_ns) return;
  w->next_poll_ns += w->interval_ns;
  if (w->next_poll_ns <= now) w->next_poll_ns = now + w->interval_ns;
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
  w->lines = lines;
  w->interval_ns = interval_us * kNsPerUs;
  w->debounce_ns = debounce_us * kNsPerUs;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (Has(lines, line) && LevelOf(board, line) == 1) w->reported |= 1u << line;
  w->last_poll_ns = MonotonicNs();
  w->next_poll_ns = w->last_poll_ns + w->interval_ns;
  *watch = w;
  return 0;
}

extern "C" int vdio_watch_next(vdio_watch *watch, int timeout_ms, struct vdio_event *event) {
  if (watch == nullptr || event == nullptr) return -EINVAL;
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

extern "C" void vdio_watch_free(vdio_watch *watch) { free(watch); }
