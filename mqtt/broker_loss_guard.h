// With --claim and a lease: the board service puts the outputs to their
// safe values when the bridge itself falls silent, but it cannot see a
// broker that went away while the bridge runs on. So the guard keeps the
// broker's last sign of life (a CONNACK, an acknowledgement, a message), and
// once the broker has been out of reach for longer than the lease, closed or
// merely silent, the bridge writes the safe values itself (LEDs dark), once,
// and logs it; and logs again when the broker is back. A set after that
// drives the lines again. While connected, a quiet link gets a probe every
// quarter of the lease, so that a broker that answers is never taken for a
// silent one.
#ifndef DIO_MQTTD_BROKER_LOSS_GUARD_H
#define DIO_MQTTD_BROKER_LOSS_GUARD_H

#include <cstdint>
#include <optional>

#include "clock.h"
#include "line_io.h"

namespace dio_mqttd {

class BrokerLossGuard {
 public:
  // No lease: the guard never acts. The broker counts as out of reach from
  // now until Connected.
  BrokerLossGuard(std::optional<varnik::tools::Microseconds> lease, uint8_t safe_outputs,
                  varnik::tools::TimePoint now);

  void Connected(varnik::tools::TimePoint now);
  // The broker answered: an acknowledgement or a message.
  void Alive(varnik::tools::TimePoint now);
  // The connection ended: out of reach since the last sign of life.
  void Lost(varnik::tools::TimePoint now);

  // Writes the safe values when the broker has been out of reach for
  // longer than the lease and they were not written since it was lost.
  // True when it found the broker out of reach (the write may have been
  // refused by another's claim): the connection, if any, is a dead one.
  bool Check(varnik::tools::TimePoint now, varnik::tools::LineIo &lines);

  // When Check has something to do; nothing without a lease or once done.
  std::optional<varnik::tools::TimePoint> Deadline() const;

  // True when the link, connected, has been quiet for a quarter of the
  // lease and needs a probe for the broker to answer; counts it as sent.
  bool ProbeDue(varnik::tools::TimePoint now);
  // When the next probe is due; nothing when none is needed.
  std::optional<varnik::tools::TimePoint> NextProbe() const;

 private:
  std::optional<varnik::tools::Microseconds> lease_;
  uint8_t safe_outputs_;
  varnik::tools::TimePoint last_alive_;
  varnik::tools::TimePoint last_probe_{};
  bool connected_ = false;
  bool safe_written_ = false;
};

}  // namespace dio_mqttd

#endif
