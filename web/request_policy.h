// Who may write: the checks a PUT or a pulse passes before its line or its
// body is looked at (401 before 403), as pure functions of the request's
// headers and the server's configuration.
#ifndef DIO_WEBD_REQUEST_POLICY_H
#define DIO_WEBD_REQUEST_POLICY_H

#include <optional>
#include <string>
#include <vector>

#include "listen_address.h"

namespace dio_webd {

struct WritePolicy {
  std::optional<std::string> token;  // none: every write is refused
  bool read_only = false;
  std::vector<std::string> hosts;    // names the server answers to, lower case, no port
};

// The names a request's Host may carry: the listen address, localhost and
// 127.0.0.1 when listening on loopback, and the --host names.
std::vector<std::string> AnsweredHosts(const ListenAddress &listen,
                                       const std::vector<std::string> &extra_hosts);

// The headers the checks read; a header not sent is nothing.
struct WriteHeaders {
  std::optional<std::string> authorization;
  std::optional<std::string> host;
  std::optional<std::string> origin;
};

struct Refusal {
  int status = 0;  // 401 or 403
  std::string message;
};

// Nothing when the write may go on to its line and body.
std::optional<Refusal> CheckWrite(const WritePolicy &policy, const WriteHeaders &headers);

// A Host header's name without its port, lower case: "Example.org:8080"
// gives "example.org", "[::1]:80" gives "[::1]".
std::string HostName(const std::string &host_header);

}  // namespace dio_webd

#endif
