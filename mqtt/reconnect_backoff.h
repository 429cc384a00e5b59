// How long the bridge waits before its next attempt to reach a lost broker:
// 1 s, doubling after each failed attempt, at most 60 s; back to 1 s once
// a connection lasted a keepalive.
#ifndef DIO_MQTTD_RECONNECT_BACKOFF_H
#define DIO_MQTTD_RECONNECT_BACKOFF_H

#include "clock.h"

namespace dio_mqttd {

class ReconnectBackoff {
 public:
  // The wait before the next attempt, doubling the one after.
  varnik::tools::Microseconds NextWait();
  // A connection lasted: the next wait is the first again.
  void Reset();

 private:
  varnik::tools::Microseconds next_ = std::chrono::seconds(1);
};

}  // namespace dio_mqttd

#endif
