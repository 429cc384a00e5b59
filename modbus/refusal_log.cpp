#include "refusal_log.h"

#include <cstdio>

namespace dio_modbusd {

namespace {

// "10s", "2.4s": to a tenth of a second, enough for a log line.
std::string Seconds(Microseconds duration) {
  const long long tenths = (duration.count() + 50'000) / 100'000;
  char text[32];
  if (tenths % 10 == 0)
    std::snprintf(text, sizeof text, "%llds", tenths / 10);
  else
    std::snprintf(text, sizeof text, "%lld.%llds", tenths / 10, tenths % 10);
  return text;
}

}  // namespace

std::optional<std::string> RefusalLog::Refused(const std::string &peer, const std::string &reason,
                                               TimePoint now) {
  if (!interval_start_) {
    interval_start_ = now;
    return "refused " + peer + ": " + reason;
  }
  for (auto &[counted_reason, count] : counted_)
    if (counted_reason == reason) {
      ++count;
      return std::nullopt;
    }
  counted_.emplace_back(reason, 1);
  return std::nullopt;
}

std::optional<std::string> RefusalLog::Tick(TimePoint now) {
  if (!interval_start_ || now - *interval_start_ < interval_) return std::nullopt;
  if (counted_.empty()) {
    interval_start_.reset();  // a quiet interval: the burst is over
    return std::nullopt;
  }
  std::optional<std::string> line = CountLine(now);
  counted_.clear();
  interval_start_ = now;
  return line;
}

std::optional<std::string> RefusalLog::Flush(TimePoint now) {
  std::optional<std::string> line = counted_.empty() ? std::nullopt : CountLine(now);
  counted_.clear();
  interval_start_.reset();
  return line;
}

std::optional<std::string> RefusalLog::CountLine(TimePoint now) const {
  unsigned total = 0;
  std::string reasons;
  for (const auto &[reason, count] : counted_) {
    total += count;
    reasons += (reasons.empty() ? "" : ", ") + std::to_string(count) + " " + reason;
  }
  const auto elapsed = std::chrono::duration_cast<Microseconds>(now - *interval_start_);
  return "refused " + std::to_string(total) + " more connection" + (total == 1 ? "" : "s") +
         " in the last " + Seconds(elapsed) + " (" + reasons + ")";
}

}  // namespace dio_modbusd
