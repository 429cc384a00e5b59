// Telling systemd how a daemon is: READY=1 once it serves, WATCHDOG=1
// every half of $WATCHDOG_USEC from the serving loop, STOPPING=1 at a stop, each one datagram to
// $NOTIFY_SOCKET (a path, or an abstract name written "@name"). Written
// here rather than taken from libsystemd, which the board's i386 build
// would need as well. Without $NOTIFY_SOCKET it does nothing.
#ifndef VARNIK_TOOLS_SYSTEMD_NOTIFY_H
#define VARNIK_TOOLS_SYSTEMD_NOTIFY_H

#include <cstdint>
#include <optional>
#include <string>

namespace varnik::tools {

class SystemdNotify {
 public:
  // Reads the environment once.
  SystemdNotify();
  ~SystemdNotify();
  SystemdNotify(const SystemdNotify &) = delete;
  SystemdNotify &operator=(const SystemdNotify &) = delete;

  void Ready(uint64_t now_ns);
  // Sends WATCHDOG=1 when it is due.
  void Tick(uint64_t now_ns);
  // STOPPING=1: the daemon has begun its stop.
  void Stopping();
  // When the next WATCHDOG=1 is due, if there is a watchdog.
  std::optional<uint64_t> NextPingNs() const;

 private:
  void Send(const std::string &message);

  int fd_ = -1;
  std::string address_;  // sun_path's bytes, a leading NUL for an abstract name
  uint64_t ping_every_ns_ = 0;
  uint64_t next_ping_ns_ = 0;
  bool ready_ = false;
};

}  // namespace varnik::tools

#endif
