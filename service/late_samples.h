// The log of the sampler's late samples: a line as soon as they start, so
// that the user knows when input counts could be wrong, then at most one a
// minute while they go on, with how many came since, unless a sample is
// ten times later than the last line said: then the pulses that may have
// been missed are far longer, which the user learns at once. Written by the
// server's loop: the sampler itself never waits for the log.
#ifndef DIO_BOARDD_LATE_SAMPLES_H
#define DIO_BOARDD_LATE_SAMPLES_H

#include <cstdint>
#include <optional>
#include <string>

namespace dio_boardd {

class LateSampleLog {
 public:
  static constexpr uint64_t kQuietNs = 60'000'000'000u;  // a minute
  static constexpr uint64_t kMuchLater = 10;  // times the lateness last logged

  explicit LateSampleLog(uint64_t interval_ns) : interval_ns_(interval_ns) {}

  // late_samples: the sampler's count so far; recent_worst_ns: the worst
  // lateness since the last call. A line to log at now, or nothing.
  std::optional<std::string> Observe(uint64_t late_samples, uint64_t recent_worst_ns,
                                     uint64_t now);

 private:
  uint64_t interval_ns_;
  uint64_t logged_count_ = 0;  // late samples named in the log so far
  uint64_t worst_since_ns_ = 0;
  uint64_t logged_worst_ns_ = 0;
  std::optional<uint64_t> logged_at_;
};

}  // namespace dio_boardd

#endif
