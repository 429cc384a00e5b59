// What the service does when it cannot accept for want of descriptors or
// memory: the pending connection stays, so the listening socket stays
// readable. It stops watching that socket for a while rather than spin,
// and says so in the log at most once in a while, with a count.
#ifndef DIO_BOARDD_ACCEPT_PAUSE_H
#define DIO_BOARDD_ACCEPT_PAUSE_H

#include <cstdint>
#include <optional>
#include <string>

namespace dio_boardd {

class AcceptPause {
 public:
  static constexpr uint64_t kPauseNs = 100'000'000;
  static constexpr uint64_t kLogEveryNs = 10'000'000'000u;

  // Whether an accept4 error is a shortage that a pause may see through.
  static bool IsShortage(int error);

  // A failed accept at now: pauses; the log line to write, if one is due.
  std::optional<std::string> Failed(int error, uint64_t now);
  bool Paused(uint64_t now) const { return now < resume_ns_; }
  uint64_t resume_ns() const { return resume_ns_; }

 private:
  uint64_t resume_ns_ = 0;
  std::optional<uint64_t> logged_ns_;
  unsigned unlogged_ = 0;
};

}  // namespace dio_boardd

#endif
