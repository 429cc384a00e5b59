#include "late_samples.h"

#include <algorithm>

#include "argument_parsing.h"

namespace dio_boardd {

namespace {

constexpr uint64_t kNsPerUs = 1000;

std::string Duration(uint64_t ns) {
  return varnik::tools::FormatDuration(varnik::tools::Microseconds(ns / kNsPerUs));
}

// "1 sample", "3 samples".
std::string Count(uint64_t count, const std::string &noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

std::optional<std::string> LateSampleLog::Observe(uint64_t late_samples, uint64_t recent_worst_ns,
                                                  uint64_t now) {
  worst_since_ns_ = std::max(worst_since_ns_, recent_worst_ns);
  if (late_samples == logged_count_) return std::nullopt;
  const bool much_later = worst_since_ns_ >= kMuchLater * logged_worst_ns_;
  if (logged_at_ && now - *logged_at_ < kQuietNs && !much_later) return std::nullopt;
  const uint64_t count = late_samples - logged_count_;
  // A pulse shorter than the gap between two samples can fall between them.
  const std::string missed = ": input counts may have missed pulses shorter than " +
                             Duration(interval_ns_ + worst_since_ns_);
  const std::string samples = Count(count, "sample");
  std::string line;
  if (!logged_at_)
    line = "sampler late: " + samples + " up to " + Duration(worst_since_ns_) +
           " after due (--interval " + Duration(interval_ns_) + ")" + missed;
  else
    line = "sampler late: " + Count(count, "more late sample") + " since the last report, up to " +
           Duration(worst_since_ns_) + " late" + missed;
  logged_count_ = late_samples;
  logged_at_ = now;
  logged_worst_ns_ = worst_since_ns_;
  worst_since_ns_ = 0;
  return line;
}

}  // namespace dio_boardd
