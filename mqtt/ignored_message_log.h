// Messages the bridge ignores (a retained set, a payload that is no level,
// a set on an input), in the log: one line naming topic and payload, at most
// one a line per interval; the ones not named are counted into the next.
#ifndef DIO_MQTTD_IGNORED_MESSAGE_LOG_H
#define DIO_MQTTD_IGNORED_MESSAGE_LOG_H

#include <optional>
#include <string>
#include <string_view>

#include "clock.h"

namespace dio_mqttd {

class IgnoredMessageLog {
 public:
  explicit IgnoredMessageLog(varnik::tools::Microseconds interval) : interval_(interval) {}

  // A message was ignored for reason ("not a level: use 0, 1, ON or OFF").
  // The line to log, or nothing when one was logged within the interval
  // (then it is counted). The payload is shown quoted, cut to 64 bytes,
  // bytes that are not printable ASCII escaped.
  std::optional<std::string> Ignored(std::string_view topic, std::string_view payload,
                                     std::string_view reason, varnik::tools::TimePoint now);

  // Once the interval is over, how many went unnamed, if any.
  std::optional<std::string> Tick(varnik::tools::TimePoint now);

 private:
  varnik::tools::Microseconds interval_;
  std::optional<varnik::tools::TimePoint> last_named_;
  unsigned unnamed_ = 0;
};

}  // namespace dio_mqttd

#endif
