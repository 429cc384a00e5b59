// A client of dio-boardd speaking the wire format directly (service_wire.h),
// for the tests and the benchmark: one SOCK_SEQPACKET connection, blocking,
// every wait bounded.
#ifndef VARNIK_TESTS_WIRE_CLIENT_H
#define VARNIK_TESTS_WIRE_CLIENT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service_wire.h"

class WireClient {
 public:
  // Connects to the socket at path; connected() says whether it could.
  explicit WireClient(const std::string &path);
  ~WireClient();
  WireClient(const WireClient &) = delete;
  WireClient &operator=(const WireClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends a hello of name (with version) and returns the reply.
  std::optional<varnik::wire::Message> Hello(const std::string &name,
                                             uint32_t version = varnik::wire::kProtocolVersion);
  // Sends request and returns its reply.
  std::optional<varnik::wire::Message> Call(const varnik::wire::Message &request);
  // kWatch with these arguments; the reply's status.
  std::optional<int32_t> Watch(uint32_t lines, uint32_t interval_us, uint32_t debounce_us);

  bool Send(const varnik::wire::Message &message);
  bool SendBytes(const std::vector<uint8_t> &bytes);
  // The next message, waiting at most seconds (stretched on a slow
  // machine); nothing when none came, or the service closed (closed() says so).
  std::optional<varnik::wire::Message> Receive(double seconds);
  bool closed() const { return closed_; }
  // Whether the service closes the connection within seconds, after any
  // messages still on the way.
  bool ClosedWithin(double seconds);

 private:
  int fd_ = -1;
  bool closed_ = false;
};

varnik::wire::Message Request(uint16_t operation, uint32_t first = 0, uint32_t second = 0,
                              uint64_t third = 0);

#endif
