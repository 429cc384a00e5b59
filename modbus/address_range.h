// An --allow range: an IPv4 or IPv6 network in CIDR form ("10.0.0.0/8",
// "fd00::/8"), or one address. IPv4 clients of an IPv6 socket (mapped
// addresses) match IPv4 ranges.
#ifndef DIO_MODBUSD_ADDRESS_RANGE_H
#define DIO_MODBUSD_ADDRESS_RANGE_H

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace dio_modbusd {

class AddressRange {
 public:
  // Throws varnik::tools::UsageError naming option and text.
  static AddressRange Parse(const std::string &option, const std::string &text);

  bool Contains(const sockaddr *address) const;

 private:
  int family_ = AF_INET;
  std::array<uint8_t, 16> network_{};
  unsigned prefix_ = 0;
};

// True when ranges is empty (no --allow) or one of them contains address.
bool Allowed(const std::vector<AddressRange> &ranges, const sockaddr *address);

}  // namespace dio_modbusd

#endif
