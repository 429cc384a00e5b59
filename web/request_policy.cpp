#include "request_policy.h"

#include <algorithm>
#include <cctype>

#include "token_file.h"

namespace dio_webd {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// "Bearer TOKEN": the scheme's name in any case, as HTTP has it.
std::optional<std::string> BearerToken(const std::optional<std::string> &authorization) {
  if (!authorization) return std::nullopt;
  const std::string scheme = "bearer ";
  if (authorization->size() <= scheme.size() ||
      Lower(authorization->substr(0, scheme.size())) != scheme)
    return std::nullopt;
  return authorization->substr(scheme.size());
}

bool Authorized(const std::string &token, const std::optional<std::string> &authorization) {
  const std::optional<std::string> given = BearerToken(authorization);
  return given && TokensEqual(*given, token);
}

bool Answered(const WritePolicy &policy, const std::optional<std::string> &host) {
  if (!host) return false;
  const std::string name = HostName(*host);
  return std::find(policy.hosts.begin(), policy.hosts.end(), name) != policy.hosts.end();
}

// An Origin is "scheme://host[:port]"; it must name the very host[:port]
// the request was sent to, so that a page of another site (or a sandboxed
// one, "null") cannot write through a visitor's browser.
bool SameOrigin(const std::string &origin, const std::optional<std::string> &host) {
  if (!host) return false;
  const size_t separator = origin.find("://");
  if (separator == std::string::npos) return false;
  const std::string authority = origin.substr(separator + 3);
  if (authority.empty() || authority.find('/') != std::string::npos) return false;
  return Lower(authority) == Lower(*host);
}

}  // namespace

std::vector<std::string> AnsweredHosts(const ListenAddress &listen,
                                       const std::vector<std::string> &extra_hosts) {
  std::vector<std::string> hosts{Lower(listen.address)};
  if (listen.Loopback()) {
    hosts.push_back("localhost");
    hosts.push_back("127.0.0.1");
  }
  for (const std::string &host : extra_hosts) hosts.push_back(HostName(host));
  return hosts;
}

std::string HostName(const std::string &host_header) {
  std::string name = host_header;
  if (!name.empty() && name.front() == '[') {
    const size_t end = name.find(']');
    if (end != std::string::npos) name.erase(end + 1);
  } else {
    const size_t colon = name.find(':');
    if (colon != std::string::npos) name.erase(colon);
  }
  return Lower(name);
}

std::optional<Refusal> CheckWrite(const WritePolicy &policy, const WriteHeaders &headers) {
  if (policy.token && !Authorized(*policy.token, headers.authorization))
    return Refusal{401, headers.authorization
                            ? "the token is wrong; send the one in dio-webd's --token-file "
                              "as Authorization: Bearer TOKEN"
                            : "writes need the token; send Authorization: Bearer TOKEN"};
  if (policy.read_only)
    return Refusal{403, "dio-webd serves the board read-only (--read-only); writes are refused"};
  if (!policy.token)
    return Refusal{403, "dio-webd has no --token-file, so it takes no writes; give it one to "
                        "switch outputs and LEDs"};
  if (!Answered(policy, headers.host))
    return Refusal{403, "the Host " + (headers.host ? "'" + *headers.host + "'" : std::string("(none)")) +
                            " is not a name dio-webd answers to; use its address or add "
                            "--host NAME"};
  if (headers.origin && !SameOrigin(*headers.origin, headers.host))
    return Refusal{403, "a write from the page of another site (Origin '" + *headers.origin +
                            "') is refused; write from dio-webd's own page or without an Origin"};
  return std::nullopt;
}

}  // namespace dio_webd
