// Debouncing a set of lines from samples of their levels: shared by a
// watcher on the held mapping (board_watch.cpp) and the board service's
// watchers, so that both report the same changes at the same samples.
//
// The state keeps the last level reported for each line; a line whose level
// differs is a candidate from the sample that first saw it, and is reported
// once the new level has held for the debounce time.
//
// Internal to the project; header-only and free of the C++ runtime.
#ifndef VARNIK_BOARD_LINE_DEBOUNCE_H
#define VARNIK_BOARD_LINE_DEBOUNCE_H

#include <stdint.h>

#include "varnik_dio_board.h"

namespace varnik::board {

struct LineDebounce {
  uint32_t lines;  // bit n: line n is watched
  uint64_t interval_ns;
  uint64_t debounce_ns;
  uint64_t last_sample_ns;
  uint32_t reported;                  // bit n: the level last reported for line n
  uint32_t candidates;                // bit n: line n now differs from its reported level
  uint64_t seen_ns[VDIO_LINE_COUNT];  // when each candidate's level was first seen
  // Events found by the last sample and not yet taken, oldest first.
  vdio_event pending[VDIO_LINE_COUNT];
  int pending_first;
  int pending_count;
};

inline bool HasLine(uint32_t set, int line) { return (set >> line) & 1u; }

// levels: bit n the level of line n at the start, time now.
inline void StartDebounce(LineDebounce *d, uint32_t lines, uint64_t interval_ns,
                          uint64_t debounce_ns, uint32_t levels, uint64_t now) {
  *d = LineDebounce{};
  d->lines = lines;
  d->interval_ns = interval_ns;
  d->debounce_ns = debounce_ns;
  d->reported = levels & lines;
  d->last_sample_ns = now;
}

// Adds an event to the queue, keeping it ordered by the time each change
// was first seen (lines seen at the same sample in line order).
inline void EnqueueEvent(LineDebounce *d, const vdio_event &event) {
  int at = d->pending_first + d->pending_count;
  while (at > d->pending_first && d->pending[at - 1].timestamp_ns > event.timestamp_ns) {
    d->pending[at] = d->pending[at - 1];
    --at;
  }
  d->pending[at] = event;
  ++d->pending_count;
}

// A state left alone for longer than the debounce time (and two intervals)
// knows nothing of what its lines did meanwhile: two glitches on either
// side of the gap could pass for one held level. A level it saw before the
// gap has not been seen to hold, so its debounce time starts again at this
// sample. Shorter gaps, a busy machine's late samples, are not counted
// against the lines.
inline bool SamplesWereMissed(const LineDebounce *d, uint64_t now) {
  const uint64_t gap = now - d->last_sample_ns;
  return gap > 2 * d->interval_ns && gap > d->debounce_ns;
}

// One sample: levels (bit n the level of line n) seen at now. Call it only
// once every pending event was taken.
inline void Observe(LineDebounce *d, uint32_t levels, uint64_t now) {
  d->pending_first = 0;
  if (SamplesWereMissed(d, now)) d->candidates = 0;
  d->last_sample_ns = now;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    if (!HasLine(d->lines, line)) continue;
    const int level = HasLine(levels, line) ? 1 : 0;
    const uint32_t bit = 1u << line;
    if (level == static_cast<int>(HasLine(d->reported, line))) {
      d->candidates &= ~bit;  // back where it was: a glitch, if anything
      continue;
    }
    if (!HasLine(d->candidates, line)) {
      d->candidates |= bit;
      d->seen_ns[line] = now;
    }
    if (now - d->seen_ns[line] < d->debounce_ns) continue;
    d->candidates &= ~bit;
    d->reported ^= bit;
    EnqueueEvent(d, vdio_event{line, level, level ? VDIO_RISING : VDIO_FALLING, d->seen_ns[line]});
  }
}

inline bool TakeEvent(LineDebounce *d, vdio_event *event) {
  if (d->pending_count == 0) return false;
  *event = d->pending[d->pending_first++];
  --d->pending_count;
  return true;
}

}  // namespace varnik::board

#endif
