#include "input_counters.h"

namespace dio_modbusd {

InputCounters::InputCounters(Microseconds debounce, uint8_t inputs, TimePoint now)
    : debounce_(debounce), stable_(inputs), pending_(0) {
  changed_at_.fill(now);
}

void InputCounters::Update(uint8_t inputs, TimePoint now) {
  for (int input = 0; input < kInputs; ++input) UpdateLine(input, (inputs >> input) & 1, now);
}

void InputCounters::UpdateLine(int input, bool level, TimePoint now) {
  const uint8_t bit = static_cast<uint8_t>(1u << input);
  if (level == ((stable_ & bit) != 0)) {
    pending_ &= static_cast<uint8_t>(~bit);  // a bounce shorter than the debounce time
    return;
  }
  if ((pending_ & bit) == 0) {
    pending_ |= bit;
    changed_at_[input] = now;
  }
  if (now - changed_at_[input] < debounce_) return;
  pending_ &= static_cast<uint8_t>(~bit);
  stable_ ^= bit;
  if (level) ++counts_[input];  // uint16_t: wraps at 65536
}

void InputCounters::Reset(uint8_t mask) {
  for (int input = 0; input < kInputs; ++input)
    if (mask & (1u << input)) counts_[input] = 0;
}

}  // namespace dio_modbusd
