#include "systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tool_messages.h"

namespace varnik::tools {

namespace {

// $WATCHDOG_USEC for this process: systemd also sets $WATCHDOG_PID, and a
// variable inherited from a parent that was the watched one is not ours.
uint64_t WatchdogUsec() {
  const char *usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr || *usec == '\0') return 0;
  const char *pid = std::getenv("WATCHDOG_PID");
  if (pid != nullptr && *pid != '\0' && std::strtoll(pid, nullptr, 10) != getpid()) return 0;
  return std::strtoull(usec, nullptr, 10);
}

}  // namespace

SystemdNotify::SystemdNotify() {
  const char *socket_name = std::getenv("NOTIFY_SOCKET");
  if (socket_name == nullptr || *socket_name == '\0') return;
  address_ = socket_name;
  if (address_[0] == '@') address_[0] = '\0';
  if (address_.size() >= sizeof(sockaddr_un::sun_path) ||
      (address_[0] != '/' && address_[0] != '\0')) {
    varnik::tools::PrintLine("ignoring NOTIFY_SOCKET " + std::string(socket_name) +
                             ": neither a path nor an abstract name that fits");
    return;
  }
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ping_every_ns_ = WatchdogUsec() * 1000 / 2;
}

SystemdNotify::~SystemdNotify() {
  if (fd_ >= 0) close(fd_);
}

void SystemdNotify::Ready(uint64_t now_ns) {
  ready_ = true;
  Send("READY=1");
  next_ping_ns_ = now_ns + ping_every_ns_;
}

void SystemdNotify::Tick(uint64_t now_ns) {
  if (!NextPingNs() || now_ns < next_ping_ns_) return;
  Send("WATCHDOG=1");
  next_ping_ns_ = now_ns + ping_every_ns_;
}

void SystemdNotify::Stopping() { Send("STOPPING=1"); }

std::optional<uint64_t> SystemdNotify::NextPingNs() const {
  if (fd_ < 0 || !ready_ || ping_every_ns_ == 0) return std::nullopt;
  return next_ping_ns_;
}

void SystemdNotify::Send(const std::string &message) {
  if (fd_ < 0) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, address_.data(), address_.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
  if (sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
             reinterpret_cast<const sockaddr *>(&address), length) < 0)
    varnik::tools::PrintLine("cannot tell systemd " + message + ": " + std::strerror(errno));
}

}  // namespace varnik::tools
