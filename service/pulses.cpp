#include "pulses.h"

namespace dio_boardd {

uint32_t PulseTrains::Pulsing() const {
  uint32_t lines = 0;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (trains_[static_cast<size_t>(line)].active) lines |= 1u << line;
  return lines;
}

Edge PulseTrains::Start(int line, int starting_level, uint64_t width_ns, uint32_t count,
                        uint64_t period_ns, uint64_t now) {
  Train &train = trains_[static_cast<size_t>(line)];
  train = Train{true, starting_level, true, now, width_ns, period_ns, count, 1};
  return {line, !starting_level};
}

uint64_t PulseTrains::NextEdge(const Train &train) {
  const uint64_t pulse_start = train.start_ns + (train.begun - 1) * train.period_ns;
  return train.inverted ? pulse_start + train.width_ns : pulse_start + train.period_ns;
}

std::vector<Edge> PulseTrains::Due(uint64_t now) {
  std::vector<Edge> edges;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    Train &train = trains_[static_cast<size_t>(line)];
    // A late wake-up writes every edge it missed, in order: the count
    // stays right even when the widths could not be.
    while (train.active && NextEdge(train) <= now) {
      if (train.inverted) {
        train.inverted = false;
        edges.push_back({line, train.starting_level});
        if (train.begun == train.count) train.active = false;
      } else {
        train.inverted = true;
        ++train.begun;
        edges.push_back({line, !train.starting_level});
      }
    }
  }
  return edges;
}

std::optional<uint64_t> PulseTrains::NextEdgeNs() const {
  std::optional<uint64_t> next;
  for (const Train &train : trains_)
    if (train.active && (!next || NextEdge(train) < *next)) next = NextEdge(train);
  return next;
}

void PulseTrains::Cut(uint32_t lines) {
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if ((lines >> line) & 1u) trains_[static_cast<size_t>(line)].active = false;
}

std::vector<Edge> PulseTrains::Finish() {
  std::vector<Edge> edges;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    Train &train = trains_[static_cast<size_t>(line)];
    if (train.active && train.inverted) edges.push_back({line, train.starting_level});
    train.active = false;
  }
  return edges;
}

}  // namespace dio_boardd
