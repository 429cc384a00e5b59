#include "input_functions.h"

#include <algorithm>
#include <limits>

namespace dio_boardd {

namespace {

namespace wire = varnik::wire;

// Each input has a LineDebounce of its own, watching its one line as line 0.
constexpr uint32_t kOwnLine = 1u;
// A ring never holds more rising times than this, whatever the window.
constexpr size_t kMostRises = 65'536;
constexpr uint64_t kNsPerMs = 1'000'000;
constexpr uint64_t kNsPerUs = 1'000;
constexpr uint64_t kMhzNs = 1'000'000'000'000;  // 1 edge per ns, in mHz

uint32_t LevelOf(uint8_t inputs, int input) { return (inputs >> input) & 1u; }

// The most rising edges a window can hold: one per two samples, and the
// two at its ends.
size_t RiseCapacity(const InputSettings &settings) {
  const uint64_t interval = std::max<uint64_t>(settings.interval_ns, 1);
  const uint64_t capacity = settings.frequency_window_ns / (2 * interval) + 2;
  return static_cast<size_t>(std::min<uint64_t>(capacity, kMostRises));
}

// The current period at 1 ends at the last sample, or where a fall not yet
// through its debounce was first seen, so that the on-time never runs back.
uint64_t CurrentPeriodNs(const varnik::board::LineDebounce &debounce, uint64_t on_since_ns,
                         uint64_t last_sample_ns) {
  if ((debounce.reported & kOwnLine) == 0) return 0;
  uint64_t end = last_sample_ns;
  if ((debounce.candidates & kOwnLine) != 0) end = std::min(end, debounce.seen_ns[0]);
  return end > on_since_ns ? end - on_since_ns : 0;
}

}  // namespace

InputFunctions::InputFunctions(const InputSettings &settings, uint8_t inputs, uint64_t now)
    : settings_(settings), last_sample_ns_(now) {
  const size_t capacity = RiseCapacity(settings);
  for (int n = 0; n < kInputs; ++n) {
    Input &input = inputs_[n];
    varnik::board::StartDebounce(&input.debounce, kOwnLine, settings.interval_ns,
                                 settings.debounce_ns[n], LevelOf(inputs, n), now);
    input.on_since_ns = now;
    input.rises.assign(capacity, 0);
  }
}

void InputFunctions::Restore(const KeptInputs &kept) {
  for (int n = 0; n < kInputs; ++n) inputs_[n].kept = kept[n];
}

void InputFunctions::Observe(uint8_t inputs, uint64_t now) {
  last_sample_ns_ = now;
  for (int n = 0; n < kInputs; ++n) {
    Input &input = inputs_[n];
    varnik::board::Observe(&input.debounce, LevelOf(inputs, n), now);
    vdio_event event{};
    while (varnik::board::TakeEvent(&input.debounce, &event))
      Edge(input, event.value, event.timestamp_ns);
  }
}

// at: when the new level was first seen, so that a debounce delays the
// count but does not shift its time.
void InputFunctions::Edge(Input &input, int level, uint64_t at) {
  if (level != 0) {
    ++input.kept.rising;
    input.kept.latches |= VDIO_INPUT_ROSE;
    input.on_since_ns = std::max(at, input.on_time_cleared_ns);
    const size_t capacity = input.rises.size();
    if (input.rise_count < capacity) {
      input.rises[(input.first_rise + input.rise_count) % capacity] = at;
      ++input.rise_count;
    } else {  // full: the oldest goes
      input.rises[input.first_rise] = at;
      input.first_rise = (input.first_rise + 1) % capacity;
    }
    return;
  }
  ++input.kept.falling;
  input.kept.latches |= VDIO_INPUT_FELL;
  // A clear of the on-time while the fall was being debounced starts the
  // period after it.
  if (at > input.on_since_ns) input.kept.on_time_ns += at - input.on_since_ns;
}

uint32_t InputFunctions::FrequencyMhz(const Input &input) const {
  const size_t capacity = input.rises.size();
  const uint64_t window_start = last_sample_ns_ > settings_.frequency_window_ns
                                    ? last_sample_ns_ - settings_.frequency_window_ns
                                    : 0;
  size_t skipped = 0;  // the rises older than the window, oldest first
  while (skipped < input.rise_count &&
         input.rises[(input.first_rise + skipped) % capacity] < window_start)
    ++skipped;
  const uint64_t in_window = input.rise_count - skipped;
  if (in_window < 2) return 0;
  const uint64_t first = input.rises[(input.first_rise + skipped) % capacity];
  const uint64_t last = input.rises[(input.first_rise + input.rise_count - 1) % capacity];
  const uint64_t span = last - first;
  constexpr uint64_t kMost = std::numeric_limits<uint32_t>::max();
  if (span == 0) return static_cast<uint32_t>(kMost);
  // At most 65,535 x 1e12: well inside 64 bits.
  const uint64_t mhz = ((in_window - 1) * kMhzNs + span / 2) / span;
  return static_cast<uint32_t>(std::min(mhz, kMost));
}

std::array<wire::InputFigures, kInputs> InputFunctions::Figures() const {
  const KeptInputs kept = Kept();
  std::array<wire::InputFigures, kInputs> figures{};
  for (int n = 0; n < kInputs; ++n) {
    figures[n].rising = kept[n].rising;
    figures[n].falling = kept[n].falling;
    figures[n].on_time_ms = kept[n].on_time_ns / kNsPerMs;
    figures[n].latches = kept[n].latches;
    figures[n].frequency_mhz = FrequencyMhz(inputs_[n]);
    const uint64_t debounce_us = settings_.debounce_ns[n] / kNsPerUs;
    figures[n].debounce_us = static_cast<uint32_t>(
        std::min<uint64_t>(debounce_us, std::numeric_limits<uint32_t>::max()));
  }
  return figures;
}

KeptInputs InputFunctions::Kept() const {
  KeptInputs kept{};
  for (int n = 0; n < kInputs; ++n) {
    const Input &input = inputs_[n];
    kept[n] = input.kept;
    kept[n].on_time_ns += CurrentPeriodNs(input.debounce, input.on_since_ns, last_sample_ns_);
  }
  return kept;
}

void InputFunctions::Clear(int input, uint32_t what) {
  Input &cleared = inputs_[input];
  if ((what & VDIO_CLEAR_COUNTS) != 0) {
    cleared.kept.rising = 0;
    cleared.kept.falling = 0;
  }
  if ((what & VDIO_CLEAR_LATCHES) != 0) cleared.kept.latches = 0;
  if ((what & VDIO_CLEAR_ON_TIME) != 0) {
    cleared.kept.on_time_ns = 0;
    cleared.on_since_ns = last_sample_ns_;
    cleared.on_time_cleared_ns = last_sample_ns_;
  }
}

}  // namespace dio_boardd
