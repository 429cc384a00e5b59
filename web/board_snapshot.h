// What dio-webd knows of the board at one moment: every line's level, who
// holds each output and LED, the inputs' figures and the service's
// sampler, or that the board is out of reach.
#ifndef DIO_WEBD_BOARD_SNAPSHOT_H
#define DIO_WEBD_BOARD_SNAPSHOT_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "varnik_dio_board.h"

namespace dio_webd {

// Another client's hold on a line (a claim through the service), or a
// pulse under way on it.
struct LineClaim {
  bool held = false;      // a client's claim (pid, consumer and the rest below)
  bool pulsing = false;   // a pulse under way, claimed or not
  int32_t pid = 0;
  std::string consumer;
  uint32_t lease_ms = 0;  // 0: no lease
  int safe_value = 0;
  bool keep = false;      // left as it is when the claim ends
  bool lease_out = false; // the holder's lease ran out: the line is at its safe value
};

struct BoardSnapshot {
  bool connected = false;
  std::string lost_reason;  // why not, when not: "the board service went away"
  bool through_service = false;
  vdio_state state{};
  // Whether the board keeps claims (through a service that has them): no
  // claims of a board opened directly are none known, not none held.
  bool claims_known = false;
  // By line number (VDIO_DO0..VDIO_LED3 only; inputs are never held).
  std::array<std::optional<LineClaim>, VDIO_LINE_COUNT> claims{};
  bool figures_kept = false;  // the service keeps the inputs' figures
  std::array<vdio_input_stats, VDIO_INPUT_COUNT> figures{};
  bool sampler_known = false;
  vdio_sampler_info sampler{};
};

// A line's level in a snapshot: 0 or 1.
int LevelOf(const BoardSnapshot &snapshot, int line);

}  // namespace dio_webd

#endif
