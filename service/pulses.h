// Pulses the service carries out for its clients: per line a train of
// pulses, each inverting the line from its starting level for a width and
// returning it, the k-th starting at start + k * period. Edges fall at
// absolute CLOCK_MONOTONIC times, so that a late wake-up does not shift the
// ones after it. A train belongs to no client: it finishes when its client
// is gone.
#ifndef DIO_BOARDD_PULSES_H
#define DIO_BOARDD_PULSES_H

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "varnik_dio_board.h"

namespace dio_boardd {

// A level to write on a line.
struct Edge {
  int line = 0;
  int level = 0;
};

class PulseTrains {
 public:
  // The lines with a train under way.
  uint32_t Pulsing() const;

  // Starts a train on line, now at starting_level, at now: the first edge
  // to write (the line inverted).
  Edge Start(int line, int starting_level, uint64_t width_ns, uint32_t count, uint64_t period_ns,
             uint64_t now);

  // The edges due by now, in order; trains that are done end.
  std::vector<Edge> Due(uint64_t now);
  // When the next edge is due, if any.
  std::optional<uint64_t> NextEdgeNs() const;

  // Ends the trains on lines where they are (a safe value takes over).
  void Cut(uint32_t lines);
  // Ends every train: the edges that return the lines inverted now to their
  // starting level.
  std::vector<Edge> Finish();

 private:
  struct Train {
    bool active = false;
    int starting_level = 0;
    bool inverted = false;
    uint64_t start_ns = 0;
    uint64_t width_ns = 0;
    uint64_t period_ns = 0;
    uint32_t count = 0;
    uint32_t begun = 0;  // pulses begun so far
  };
  static uint64_t NextEdge(const Train &train);

  std::array<Train, VDIO_LINE_COUNT> trains_{};
};

}  // namespace dio_boardd

#endif
