// IPv4 and IPv6 socket addresses as the gateway reads and prints them:
// "127.0.0.1:502", "[::1]:502".
#ifndef DIO_MODBUSD_SOCKET_ADDRESS_H
#define DIO_MODBUSD_SOCKET_ADDRESS_H

#include <sys/socket.h>

#include <string>

namespace dio_modbusd {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&storage); }
  int family() const { return storage.ss_family; }
};

// "ADDRESS:PORT" with a numeric address (IPv6 in brackets) and a port
// 0..65535; throws varnik::tools::UsageError naming option and text.
SocketAddress ParseListenAddress(const std::string &option, const std::string &text);

// "ADDRESS:PORT", IPv6 in brackets; an IPv4 address mapped into IPv6 is
// printed as IPv4.
std::string FormatAddress(const sockaddr *address);

// 127.0.0.0/8 or ::1 (or IPv4 loopback mapped into IPv6).
bool IsLoopback(const SocketAddress &address);

}  // namespace dio_modbusd

#endif
