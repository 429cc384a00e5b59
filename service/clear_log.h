// Clears of the input figures in the log: a client's first at once, its
// repeats counted and summed up in one line per interval at most, so that a
// controller that clears cyclically does not flood the journal.
#ifndef DIO_BOARDD_CLEAR_LOG_H
#define DIO_BOARDD_CLEAR_LOG_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dio_boardd {

class ClearLog {
 public:
  static constexpr uint64_t kIntervalNs = 10'000'000'000u;  // 10 s

  // A clear by client (who names it), described by line ("latches of DI4
  // cleared by pid 7 (plc)"): the line to log now, or nothing when counted.
  std::optional<std::string> Cleared(uint64_t client, const std::string &who,
                                     const std::string &line, uint64_t now);

  // The counts of the clients whose interval is over; a client that did
  // not clear for a whole interval is named at once again.
  std::vector<std::string> Tick(uint64_t now);

  // The client is gone: its count so far, if any.
  std::optional<std::string> Gone(uint64_t client, uint64_t now);

 private:
  struct Burst {
    std::string who;
    uint64_t since_ns = 0;
    uint64_t counted = 0;
  };
  static std::string CountLine(const Burst &burst, uint64_t now);

  std::map<uint64_t, Burst> bursts_;
};

}  // namespace dio_boardd

#endif
