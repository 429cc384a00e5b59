// One request as dio-webd's handlers see it (method, raw path, headers, a
// body read with a limit) and its response, which always carries the
// security headers every response of dio-webd has. When it ends, the
// request is counted by endpoint and status and, with --log-requests,
// logged on one line (never with its Authorization header).
#ifndef DIO_WEBD_HTTP_EXCHANGE_H
#define DIO_WEBD_HTTP_EXCHANGE_H

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "metrics.h"

struct mg_connection;

namespace dio_webd {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The headers of every response: what the page may load and run, and no
// sniffing, referrers or framing.
const HeaderList &SecurityHeaders();

// "GET /api/v1/lines 200 1.2ms 127.0.0.1"
std::string RequestLogLine(const std::string &method, const std::string &path, int status,
                           std::chrono::microseconds taken, const std::string &client);

class Exchange {
 public:
  Exchange(mg_connection *connection, LineCounters &counters, bool log_requests);
  // Counts the request (a request that got no response is counted as 500
  // after one is sent) and logs it.
  ~Exchange();
  Exchange(const Exchange &) = delete;
  Exchange &operator=(const Exchange &) = delete;

  const std::string &method() const { return method_; }
  // The path as sent, undecoded, without its query.
  const std::string &path() const { return path_; }
  std::optional<std::string> Header(const char *name) const;
  void SetEndpoint(Endpoint endpoint) { endpoint_ = endpoint; }

  enum class Body { kRead, kTooLarge, kFailed };
  // The request's whole body, when it has at most limit bytes.
  Body ReadBody(size_t limit, std::string *body);

  // One whole response. Cache-Control is no-store unless extra gives one.
  // A HEAD request gets the headers only.
  void Respond(int status, const std::string &content_type, const std::string &body,
               const HeaderList &extra = {});
  void RespondJson(int status, const nlohmann::json &json, const HeaderList &extra = {});
  // {"error": message}
  void RespondError(int status, const std::string &message, const HeaderList &extra = {});
  void RespondEmpty(int status, const HeaderList &extra = {});

  // A response of unknown length whose body follows in Write calls (the
  // connection closes at its end): an event stream.
  bool StartStream(const std::string &content_type, const HeaderList &extra = {});
  // False once the client is gone.
  bool Write(const std::string &text);

  bool responded() const { return status_ != 0; }
  int status() const { return status_; }

 private:
  bool SendHeaders(int status, const std::string &content_type,
                   const std::optional<size_t> &length, const HeaderList &extra);

  mg_connection *connection_;
  LineCounters &counters_;
  bool log_requests_;
  std::string method_;
  std::string path_;
  std::string client_;
  Endpoint endpoint_ = Endpoint::kOther;
  int status_ = 0;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace dio_webd

#endif
