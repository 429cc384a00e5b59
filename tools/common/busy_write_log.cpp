#include "busy_write_log.h"

namespace varnik::tools {

namespace {

// Holders come and go (a new pid each run): past this many the oldest
// names are forgotten, and a line is named again.
constexpr size_t kMaxNamed = 256;

}  // namespace

std::optional<std::string> BusyWriteLog::Refused(const std::string &write,
                                                 const std::optional<LineHolder> &holder,
                                                 TimePoint now) {
  const LineHolder who = holder.value_or(LineHolder{-1, false, 0, ""});
  if (named_.size() >= kMaxNamed) named_.clear();
  if (named_.insert(Key{who.line, who.pulsing, who.pid, who.consumer}).second)
    return "refused " + write + ": " +
           (holder ? Describe(*holder) : std::string("its line was held by another client"));
  if (counted_++ == 0) counting_since_ = now;
  return std::nullopt;
}

std::optional<std::string> BusyWriteLog::Tick(TimePoint now) {
  if (counted_ == 0 || now - *counting_since_ < interval_) return std::nullopt;
  return CountLine(now);
}

std::optional<std::string> BusyWriteLog::Flush(TimePoint now) {
  if (counted_ == 0) return std::nullopt;
  return CountLine(now);
}

std::optional<std::string> BusyWriteLog::CountLine(TimePoint now) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - *counting_since_);
  std::string line = "refused " + std::to_string(counted_) + " more write" +
                     (counted_ == 1 ? "" : "s") + " to lines held by other clients in the last " +
                     std::to_string(seconds.count()) + "s";
  counted_ = 0;
  counting_since_.reset();
  return line;
}

}  // namespace varnik::tools
