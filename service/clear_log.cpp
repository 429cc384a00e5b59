#include "clear_log.h"

namespace dio_boardd {

std::optional<std::string> ClearLog::Cleared(uint64_t client, const std::string &who,
                                             const std::string &line, uint64_t now) {
  const auto found = bursts_.find(client);
  if (found != bursts_.end()) {
    ++found->second.counted;
    return std::nullopt;
  }
  bursts_[client] = Burst{who, now, 0};
  return line;
}

std::vector<std::string> ClearLog::Tick(uint64_t now) {
  std::vector<std::string> lines;
  for (auto it = bursts_.begin(); it != bursts_.end();) {
    Burst &burst = it->second;
    if (now < burst.since_ns + kIntervalNs) {  // since may be after the loop's now
      ++it;
    } else if (burst.counted == 0) {
      it = bursts_.erase(it);  // a quiet interval: the burst is over
    } else {
      lines.push_back(CountLine(burst, now));
      burst.counted = 0;
      burst.since_ns = now;
      ++it;
    }
  }
  return lines;
}

std::optional<std::string> ClearLog::Gone(uint64_t client, uint64_t now) {
  const auto found = bursts_.find(client);
  if (found == bursts_.end()) return std::nullopt;
  std::optional<std::string> line;
  if (found->second.counted != 0) line = CountLine(found->second, now);
  bursts_.erase(found);
  return line;
}

std::string ClearLog::CountLine(const Burst &burst, uint64_t now) {
  const uint64_t tenths = (now - burst.since_ns + 50'000'000) / 100'000'000;
  return std::to_string(burst.counted) + " more clear" + (burst.counted == 1 ? "" : "s") +
         " of input figures by " + burst.who + " in the last " + std::to_string(tenths / 10) +
         "." + std::to_string(tenths % 10) + "s";
}

}  // namespace dio_boardd
