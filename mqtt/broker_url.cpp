#include "broker_url.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string_view>

#include "tool_messages.h"

namespace dio_mqttd {

namespace {

using varnik::tools::UsageError;

constexpr std::string_view kPlainScheme = "mqtt://";
constexpr std::string_view kTlsScheme = "mqtts://";
constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;

[[noreturn]] void ThrowBadUrl(const std::string &text, const std::string &problem) {
  throw UsageError("--broker: '" + text + "' " + problem);
}

bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

bool IsHostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

int ParsePort(const std::string &text, std::string_view port) {
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    ThrowBadUrl(text, "has no port number after the ':' (1 to 65535, such as 1883)");
  const int number = std::stoi(std::string(port));
  if (number < 1 || number > 65535)
    ThrowBadUrl(text, "has port " + std::to_string(number) + ": use 1 to 65535");
  return number;
}

// "[::1]:1883" -> host "::1", rest ":1883".
std::string_view TakeBracketedHost(const std::string &text, std::string_view &authority) {
  const size_t close = authority.find(']');
  if (close == std::string_view::npos) ThrowBadUrl(text, "has a '[' without its ']'");
  const std::string_view host = authority.substr(1, close - 1);
  in6_addr address{};
  if (inet_pton(AF_INET6, std::string(host).c_str(), &address) != 1)
    ThrowBadUrl(text, "has no numeric IPv6 address between the brackets (such as [::1])");
  authority.remove_prefix(close + 1);
  return host;
}

std::string_view TakeHostName(const std::string &text, std::string_view &authority) {
  const size_t end = authority.find(':');
  if (end != std::string_view::npos && authority.find(':', end + 1) != std::string_view::npos)
    ThrowBadUrl(text, "has more than one ':': an IPv6 address goes in brackets, such as "
                      "mqtt://[::1]:1883");
  const std::string_view host = authority.substr(0, end);
  if (host.find('@') != std::string_view::npos)
    ThrowBadUrl(text, "has a user name in it: give it with --username (and --password-file)");
  for (char c : host)
    if (!IsHostNameCharacter(c))
      ThrowBadUrl(text, "has a host that is not a name or address (an IPv6 address goes in "
                        "brackets: mqtt://[::1]:1883)");
  authority.remove_prefix(host.size());
  return host;
}

}  // namespace

BrokerUrl ParseBrokerUrl(const std::string &text) {
  BrokerUrl url;
  std::string_view rest = text;
  if (StartsWith(rest, kPlainScheme)) {
    rest.remove_prefix(kPlainScheme.size());
  } else if (StartsWith(rest, kTlsScheme)) {
    url.tls = true;
    rest.remove_prefix(kTlsScheme.size());
  } else {
    ThrowBadUrl(text, "is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS)");
  }
  if (rest.find('/') != std::string_view::npos)
    ThrowBadUrl(text, "has a path after the host or port: give only mqtt://HOST[:PORT]");
  const std::string_view host =
      StartsWith(rest, "[") ? TakeBracketedHost(text, rest) : TakeHostName(text, rest);
  if (host.empty()) ThrowBadUrl(text, "has no host, such as mqtt://127.0.0.1:1883");
  url.host = std::string(host);
  if (rest.empty())
    url.port = url.tls ? kTlsPort : kPlainPort;
  else if (rest.front() == ':')
    url.port = ParsePort(text, rest.substr(1));
  else
    ThrowBadUrl(text, "has something other than ':PORT' after the host");
  return url;
}

std::string FormatBrokerUrl(const BrokerUrl &url) {
  const bool ipv6 = url.host.find(':') != std::string::npos;
  const std::string host = ipv6 ? "[" + url.host + "]" : url.host;
  return std::string(url.tls ? kTlsScheme : kPlainScheme) + host + ":" + std::to_string(url.port);
}

bool IsLoopbackHost(const std::string &host) {
  std::string name = host;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  std::string lower;
  for (char c : name) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  if (lower == "localhost" || lower == "localhost.") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, name.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

}  // namespace dio_mqttd
