#include "listen_address.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "tool_messages.h"

namespace dio_webd {

using varnik::tools::UsageError;

namespace {

UsageError Refuse(const std::string &text, const std::string &why) {
  return UsageError("--listen '" + text + "': " + why);
}

uint16_t ParsePort(const std::string &text, const std::string &port) {
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5)
    throw Refuse(text, "the port must be a number from 0 to 65535 (0: one the system picks)");
  const unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
  if (value > 65535)
    throw Refuse(text, "the port must be a number from 0 to 65535 (0: one the system picks)");
  return static_cast<uint16_t>(value);
}

// Dotted IPv4 in its plain form only: inet_pton refuses "010.1", "1.2.3",
// hexadecimal and the like, which mean other addresses to other parsers.
std::string ParseAddress(const std::string &text, const std::string &address) {
  if (address == "localhost") return "127.0.0.1";
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
    throw Refuse(text, "give an IPv4 address such as 127.0.0.1 or 0.0.0.0, or localhost, "
                       "and a port: 127.0.0.1:8080");
  return address;
}

}  // namespace

bool ListenAddress::Loopback() const {
  in_addr parsed{};
  if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
  return (ntohl(parsed.s_addr) >> 24) == 127;
}

std::string ListenAddress::Text() const { return address + ":" + std::to_string(port); }

ListenAddress ParseListenAddress(const std::string &text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos)
    throw Refuse(text, "no port; give ADDRESS:PORT, as 127.0.0.1:8080");
  ListenAddress listen;
  listen.address = ParseAddress(text, text.substr(0, colon));
  listen.port = ParsePort(text, text.substr(colon + 1));
  return listen;
}

}  // namespace dio_webd
