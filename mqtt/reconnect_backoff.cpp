#include "reconnect_backoff.h"

#include <algorithm>

namespace dio_mqttd {

namespace {

constexpr varnik::tools::Microseconds kFirstWait = std::chrono::seconds(1);
constexpr varnik::tools::Microseconds kLongestWait = std::chrono::seconds(60);

}  // namespace

varnik::tools::Microseconds ReconnectBackoff::NextWait() {
  const varnik::tools::Microseconds wait = next_;
  next_ = std::min(next_ * 2, kLongestWait);
  return wait;
}

void ReconnectBackoff::Reset() { next_ = kFirstWait; }

}  // namespace dio_mqttd
