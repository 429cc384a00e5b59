#include "accept_pause.h"

#include <cerrno>
#include <cstring>

namespace dio_boardd {

bool AcceptPause::IsShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

std::optional<std::string> AcceptPause::Failed(int error, uint64_t now) {
  resume_ns_ = now + kPauseNs;
  ++unlogged_;
  if (logged_ns_ && now - *logged_ns_ < kLogEveryNs) return std::nullopt;
  std::string line = std::string("cannot accept connections: ") + std::strerror(error);
  if (logged_ns_)
    line += " (" + std::to_string(unlogged_) + " times in the last " +
            std::to_string((now - *logged_ns_) / 1'000'000'000u) + "s)";
  line += "; new clients wait (raise the limit of open files, LimitNOFILE= or ulimit -n, or "
          "lower --max-clients)";
  logged_ns_ = now;
  unlogged_ = 0;
  return line;
}

}  // namespace dio_boardd
