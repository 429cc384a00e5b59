// Rising-edge counters of DI0..DI7, fed by the gateway's polls of the
// inputs. A new level counts once it has held for the debounce time; the
// counters are 16 bits wide and wrap, as Modbus registers do.
#ifndef DIO_MODBUSD_INPUT_COUNTERS_H
#define DIO_MODBUSD_INPUT_COUNTERS_H

#include <array>
#include <cstdint>

#include "shared_names.h"

namespace dio_modbusd {

class InputCounters {
 public:
  static constexpr int kInputs = 8;

  // inputs: the levels at start, which are not edges.
  InputCounters(Microseconds debounce, uint8_t inputs, TimePoint now);

  // One poll: the inputs' levels now.
  void Update(uint8_t inputs, TimePoint now);

  uint16_t Count(int input) const { return counts_[input]; }

  // Sets the counters of the inputs in mask (bit n = DIn) to 0.
  void Reset(uint8_t mask);

 private:
  void UpdateLine(int input, bool level, TimePoint now);

  Microseconds debounce_;
  uint8_t stable_;   // the debounced levels
  uint8_t pending_;  // lines whose level differs from stable_ since changed_at_
  std::array<TimePoint, kInputs> changed_at_{};
  std::array<uint16_t, kInputs> counts_{};
};

}  // namespace dio_modbusd

#endif
