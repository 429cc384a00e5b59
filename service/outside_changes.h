// Outputs and LEDs changed without the service: a program driving the
// registers directly (the other library, another mapping) changed a level
// that no request of the service wrote. Named in the log once per line and
// minute, so that a program toggling a line cannot flood the journal.
#ifndef DIO_BOARDD_OUTSIDE_CHANGES_H
#define DIO_BOARDD_OUTSIDE_CHANGES_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "varnik_dio_board.h"

namespace dio_boardd {

class OutsideChanges {
 public:
  static constexpr uint64_t kQuietNs = 60'000'000'000u;  // a minute

  // levels: bit n the level of line n, as the service first saw them.
  explicit OutsideChanges(uint32_t levels) : known_(levels) {}

  // The service wrote the lines of mask, which now show levels.
  void Written(uint32_t mask, uint32_t levels) { known_ = (known_ & ~mask) | (levels & mask); }

  // A sample at now: a log line for each output or LED that changed since
  // the last one and was not named within the last minute.
  std::vector<std::string> Observe(uint32_t levels, uint64_t now);

 private:
  uint32_t known_;
  std::array<uint64_t, VDIO_LINE_COUNT> named_at_{};
  std::array<bool, VDIO_LINE_COUNT> named_{};
};

}  // namespace dio_boardd

#endif
