// Writes refused because another client of the board service holds the
// line, in the log: named once per line and holder, so that a controller
// that keeps writing a line held elsewhere does not fill a rate-limited
// journal; the repeats are counted, one line per interval.
#ifndef VARNIK_TOOLS_BUSY_WRITE_LOG_H
#define VARNIK_TOOLS_BUSY_WRITE_LOG_H

#include <optional>
#include <set>
#include <string>
#include <tuple>

#include "clock.h"
#include "line_holder.h"

namespace varnik::tools {

class BusyWriteLog {
 public:
  explicit BusyWriteLog(Microseconds interval) : interval_(interval) {}

  // A write was refused since holder holds its line (nothing: the holder
  // was gone when asked); write says whose, as each gateway puts it ("a
  // write of 10.0.0.5:40000 (exception 0x06)", "a set on PREFIX/ID/DO3/set").
  // The line to log for the first refusal of that line by that holder,
  // nothing for a repeat, which is counted.
  std::optional<std::string> Refused(const std::string &write,
                                     const std::optional<LineHolder> &holder, TimePoint now);

  // Once an interval is over, the count of the refusals it did not name.
  std::optional<std::string> Tick(TimePoint now);

  // At a stop: the count so far, if any.
  std::optional<std::string> Flush(TimePoint now);

 private:
  using Key = std::tuple<int, bool, int32_t, std::string>;
  std::optional<std::string> CountLine(TimePoint now);

  Microseconds interval_;
  std::set<Key> named_;
  unsigned counted_ = 0;
  std::optional<TimePoint> counting_since_;
};

}  // namespace varnik::tools

#endif
