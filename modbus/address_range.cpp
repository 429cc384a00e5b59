#include "address_range.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "tool_messages.h"

namespace dio_modbusd {

namespace {

using varnik::tools::UsageError;

// Compares the first prefix bits of a and b.
bool SamePrefix(const uint8_t *a, const uint8_t *b, unsigned prefix) {
  const unsigned whole = prefix / 8, rest = prefix % 8;
  if (std::memcmp(a, b, whole) != 0) return false;
  if (rest == 0) return true;
  const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

AddressRange AddressRange::Parse(const std::string &option, const std::string &text) {
  const size_t slash = text.find('/');
  const std::string host = text.substr(0, slash);
  AddressRange range;
  if (inet_pton(AF_INET, host.c_str(), range.network_.data()) == 1) {
    range.family_ = AF_INET;
  } else if (inet_pton(AF_INET6, host.c_str(), range.network_.data()) == 1) {
    range.family_ = AF_INET6;
    // Clients of IPv4 are matched by their IPv4 address, so a range written
    // as ::ffff:a.b.c.d would never match one.
    const uint8_t *bytes = range.network_.data();
    if (std::all_of(bytes, bytes + 10, [](uint8_t byte) { return byte == 0; }) &&
        bytes[10] == 0xFF && bytes[11] == 0xFF)
      throw UsageError(option + ": '" + text +
                       "' is an IPv4 address written as IPv6; write it as IPv4, such as "
                       "127.0.0.1 or 192.168.1.0/24");
  } else {
    throw UsageError(option + ": '" + text +
                     "' is not an address or network such as 192.168.1.0/24 or fd00::/8");
  }
  const unsigned bits = range.family_ == AF_INET ? 32 : 128;
  range.prefix_ = bits;
  if (slash != std::string::npos) {
    const std::string prefix = text.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 3 ||
        prefix.find_first_not_of("0123456789") != std::string::npos ||
        static_cast<unsigned>(std::stoi(prefix)) > bits)
      throw UsageError(option + ": '" + text + "' has no prefix length 0 to " +
                       std::to_string(bits) + " after the '/'");
    range.prefix_ = static_cast<unsigned>(std::stoi(prefix));
  }
  return range;
}

bool AddressRange::Contains(const sockaddr *address) const {
  if (address->sa_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
    return family_ == AF_INET &&
           SamePrefix(reinterpret_cast<const uint8_t *>(&v4->sin_addr), network_.data(), prefix_);
  }
  if (address->sa_family != AF_INET6) return false;
  const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&v6))
    return family_ == AF_INET && SamePrefix(v6.s6_addr + 12, network_.data(), prefix_);
  return family_ == AF_INET6 && SamePrefix(v6.s6_addr, network_.data(), prefix_);
}

bool Allowed(const std::vector<AddressRange> &ranges, const sockaddr *address) {
  if (ranges.empty()) return true;
  for (const AddressRange &range : ranges)
    if (range.Contains(address)) return true;
  return false;
}

}  // namespace dio_modbusd
