#include "socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "tool_messages.h"

namespace dio_modbusd {

namespace {

using varnik::tools::UsageError;

[[noreturn]] void ThrowBadAddress(const std::string &option, const std::string &text,
                                  const std::string &problem) {
  throw UsageError(option + ": '" + text + "' " + problem);
}

int ParsePort(const std::string &option, const std::string &text, const std::string &port) {
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) > 65535)
    ThrowBadAddress(option, text, "has no port 0 to 65535 after the last ':'");
  return std::stoi(port);
}

bool IsMappedIpv4(const in6_addr &address) { return IN6_IS_ADDR_V4MAPPED(&address); }

in_addr MappedIpv4(const in6_addr &address) {
  in_addr v4{};
  std::memcpy(&v4, address.s6_addr + 12, 4);
  return v4;
}

bool IsIpv4Loopback(const in_addr &address) { return (ntohl(address.s_addr) >> 24) == 127; }

}  // namespace

SocketAddress ParseListenAddress(const std::string &option, const std::string &text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos)
    ThrowBadAddress(option, text, "is not ADDRESS:PORT, such as 127.0.0.1:502 or [::1]:502");
  std::string host = text.substr(0, colon);
  const int port = ParsePort(option, text, text.substr(colon + 1));
  SocketAddress address;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address.storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6->sin6_addr) != 1)
      ThrowBadAddress(option, text, "has no numeric IPv6 address between the brackets");
    address.length = sizeof *v6;
    return address;
  }
  auto *v4 = reinterpret_cast<sockaddr_in *>(&address.storage);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1)
    ThrowBadAddress(option, text,
                    "has no numeric IPv4 address (such as 127.0.0.1) or IPv6 address in "
                    "brackets (such as [::1])");
  address.length = sizeof *v4;
  return address;
}

std::string FormatAddress(const sockaddr *address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
  const std::string port = std::to_string(ntohs(v6->sin6_port));
  if (IsMappedIpv4(v6->sin6_addr)) {
    const in_addr v4 = MappedIpv4(v6->sin6_addr);
    inet_ntop(AF_INET, &v4, text, sizeof text);
    return std::string(text) + ":" + port;
  }
  inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
  return "[" + std::string(text) + "]:" + port;
}

bool IsLoopback(const SocketAddress &address) {
  if (address.family() == AF_INET)
    return IsIpv4Loopback(reinterpret_cast<const sockaddr_in *>(&address.storage)->sin_addr);
  const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 *>(&address.storage)->sin6_addr;
  if (IsMappedIpv4(v6)) return IsIpv4Loopback(MappedIpv4(v6));
  return IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace dio_modbusd
