// The levels the service itself writes: once at the start (--power-on-outputs,
// --power-on-leds) and at the stop, to the outputs nobody claimed
// (--stop-outputs); claimed lines get their claims' safe values instead.
#ifndef DIO_BOARDD_STOP_POLICY_H
#define DIO_BOARDD_STOP_POLICY_H

#include <cstdint>
#include <optional>
#include <string>

#include "varnik_dio_board.h"

namespace dio_boardd {

struct PowerOnLevels {
  std::optional<uint8_t> outputs;  // bit n = DOn; nothing: not written
  std::optional<uint8_t> leds;     // bit n = LED(n+1)
};

// Writes the levels given; the log line, or nothing when none were given.
std::optional<std::string> ApplyPowerOn(vdio_board *board, const PowerOnLevels &levels);

// Writes stop_outputs (nothing: keep) to the outputs outside claimed (a
// line set); the log's words for what became of them.
std::string ApplyStopOutputs(vdio_board *board, std::optional<uint8_t> stop_outputs,
                             uint32_t claimed);

}  // namespace dio_boardd

#endif
