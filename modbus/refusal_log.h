// Refused connections in the log: the first of a burst by address and
// reason, then one line per interval counting the rest, so that a scanner
// or a misconfigured client cannot push the lines that matter (a watchdog
// trip) out of a rate-limited journal.
#ifndef DIO_MODBUSD_REFUSAL_LOG_H
#define DIO_MODBUSD_REFUSAL_LOG_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shared_names.h"

namespace dio_modbusd {

class RefusalLog {
 public:
  explicit RefusalLog(Microseconds interval) : interval_(interval) {}

  // A connection from peer was refused for reason: the line to log now
  // ("refused 10.0.0.1:4000: not in --allow") for the first of a burst,
  // nothing for the ones counted.
  std::optional<std::string> Refused(const std::string &peer, const std::string &reason,
                                     TimePoint now);

  // Once an interval of the burst is over, the count of the refusals it did
  // not name ("refused 57 more connections in the last 10s (...)"); a burst
  // ends with the first interval without any.
  std::optional<std::string> Tick(TimePoint now);

  // At a stop: the count so far, if any.
  std::optional<std::string> Flush(TimePoint now);

 private:
  std::optional<std::string> CountLine(TimePoint now) const;

  Microseconds interval_;
  std::optional<TimePoint> interval_start_;  // none: no burst under way
  std::vector<std::pair<std::string, unsigned>> counted_;  // per reason, in order of arrival
};

}  // namespace dio_modbusd

#endif
