// --listen ADDRESS:PORT: an IPv4 address (the server has no IPv6) or
// "localhost", and a port (0: one the system picks, for tests).
#ifndef DIO_WEBD_LISTEN_ADDRESS_H
#define DIO_WEBD_LISTEN_ADDRESS_H

#include <cstdint>
#include <string>

namespace dio_webd {

struct ListenAddress {
  std::string address = "127.0.0.1";  // dotted IPv4
  uint16_t port = 8080;

  bool Loopback() const;   // 127.0.0.0/8
  std::string Text() const;  // "127.0.0.1:8080"
};

// Throws varnik::tools::UsageError naming --listen and saying what is
// wanted.
ListenAddress ParseListenAddress(const std::string &text);

}  // namespace dio_webd

#endif
