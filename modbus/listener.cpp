#include "listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dio_modbusd {

namespace {

// A burst of connections waits in the kernel until the poller gets to it;
// a short queue would drop their SYNs and stall each client a second.
constexpr int kBacklog = SOMAXCONN;

std::string ListenHint(int error) {
  switch (error) {
    case EACCES:
      return " (ports below 1024 need root or CAP_NET_BIND_SERVICE; or choose a port "
             "above 1023 with --listen)";
    case EADDRINUSE:
      return " (another program listens there; stop it or choose another port with --listen)";
    case EADDRNOTAVAIL:
      return " (no network interface of this machine has that address)";
    default:
      return "";
  }
}

[[noreturn]] void ThrowListenError(const SocketAddress &address, int error, int fd) {
  if (fd >= 0) close(fd);
  throw ListenError("cannot listen on " + FormatAddress(address.get()) + ": " +
                    std::strerror(error) + ListenHint(error));
}

}  // namespace

int OpenListener(const SocketAddress &address, SocketAddress *bound) {
  const int fd = socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowListenError(address, errno, -1);
  const int on = 1;
  // A restarted gateway binds its port again at once, despite connections
  // of the last run still in TIME_WAIT.
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, address.get(), address.length) != 0) ThrowListenError(address, errno, fd);
  if (listen(fd, kBacklog) != 0) ThrowListenError(address, errno, fd);
  bound->length = sizeof bound->storage;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&bound->storage), &bound->length) != 0)
    ThrowListenError(address, errno, fd);
  return fd;
}

}  // namespace dio_modbusd
