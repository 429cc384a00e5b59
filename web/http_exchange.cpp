#include "http_exchange.h"

#include <civetweb.h>
#include <strings.h>

#include <cstdio>

#include "line_json.h"
#include "tool_messages.h"

namespace dio_webd {

namespace {

// What a log line shows of a path a client made up: no control characters,
// not more than a line's worth.
std::string Printable(const std::string &text) {
  constexpr size_t kLongest = 200;
  std::string shown;
  for (const char c : text.substr(0, kLongest))
    shown += (c < ' ' || c == '\x7f') ? '?' : c;
  if (text.size() > kLongest) shown += "...";
  return shown;
}

bool HasHeader(const HeaderList &headers, const char *name) {
  for (const auto &header : headers)
    if (strcasecmp(header.first.c_str(), name) == 0) return true;
  return false;
}

}  // namespace

const HeaderList &SecurityHeaders() {
  static const HeaderList headers{
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"X-Frame-Options", "DENY"},
  };
  return headers;
}

std::string RequestLogLine(const std::string &method, const std::string &path, int status,
                           std::chrono::microseconds taken, const std::string &client) {
  char milliseconds[32];
  std::snprintf(milliseconds, sizeof milliseconds, "%.1fms",
                static_cast<double>(taken.count()) / 1000.0);
  return Printable(method) + " " + Printable(path) + " " + std::to_string(status) + " " +
         milliseconds + " " + client;
}

Exchange::Exchange(mg_connection *connection, LineCounters &counters, bool log_requests)
    : connection_(connection),
      counters_(counters),
      log_requests_(log_requests),
      started_(std::chrono::steady_clock::now()) {
  const mg_request_info *info = mg_get_request_info(connection);
  method_ = info->request_method ? info->request_method : "";
  // civetweb is told not to decode (decode_url no): the raw path is the one
  // routed, so that an escape never becomes a separator or a dot.
  path_ = info->local_uri_raw ? info->local_uri_raw : "";
  client_ = info->remote_addr;
}

Exchange::~Exchange() {
  if (!responded()) RespondError(500, "dio-webd could not answer this request; see its log");
  counters_.CountRequest(endpoint_, status_);
  if (!log_requests_) return;
  const auto taken = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started_);
  varnik::tools::PrintLine(RequestLogLine(method_, path_, status_, taken, client_));
}

std::optional<std::string> Exchange::Header(const char *name) const {
  const char *value = mg_get_header(connection_, name);
  if (!value) return std::nullopt;
  return std::string(value);
}

Exchange::Body Exchange::ReadBody(size_t limit, std::string *body) {
  const mg_request_info *info = mg_get_request_info(connection_);
  if (info->content_length > static_cast<long long>(limit)) return Body::kTooLarge;
  body->clear();
  char buffer[1024];
  for (;;) {
    const int got = mg_read(connection_, buffer, sizeof buffer);
    if (got < 0) return Body::kFailed;
    if (got == 0) return Body::kRead;
    body->append(buffer, static_cast<size_t>(got));
    if (body->size() > limit) return Body::kTooLarge;  // chunked, with no length given
  }
}

bool Exchange::SendHeaders(int status, const std::string &content_type,
                           const std::optional<size_t> &length, const HeaderList &extra) {
  status_ = status;
  if (mg_response_header_start(connection_, status) != 0) return false;
  for (const auto &[name, value] : SecurityHeaders())
    mg_response_header_add(connection_, name.c_str(), value.c_str(), -1);
  if (!HasHeader(extra, "Cache-Control"))
    mg_response_header_add(connection_, "Cache-Control", "no-store", -1);
  if (!content_type.empty())
    mg_response_header_add(connection_, "Content-Type", content_type.c_str(), -1);
  if (length) mg_response_header_add(connection_, "Content-Length", std::to_string(*length).c_str(), -1);
  for (const auto &[name, value] : extra)
    mg_response_header_add(connection_, name.c_str(), value.c_str(), -1);
  return mg_response_header_send(connection_) == 0;
}

void Exchange::Respond(int status, const std::string &content_type, const std::string &body,
                       const HeaderList &extra) {
  if (!SendHeaders(status, content_type, body.size(), extra)) return;
  if (method_ != "HEAD" && !body.empty()) mg_write(connection_, body.data(), body.size());
}

void Exchange::RespondJson(int status, const nlohmann::json &json, const HeaderList &extra) {
  // OneLine: a header echoed in a message (a Host, an Origin) may hold
  // bytes that are no UTF-8.
  Respond(status, "application/json", OneLine(json) + "\n", extra);
}

void Exchange::RespondError(int status, const std::string &message, const HeaderList &extra) {
  RespondJson(status, ErrorJson(message), extra);
}

void Exchange::RespondEmpty(int status, const HeaderList &extra) {
  status_ = status;
  // 204 has neither a body nor a length.
  SendHeaders(status, "", status == 204 ? std::nullopt : std::optional<size_t>(0), extra);
}

bool Exchange::StartStream(const std::string &content_type, const HeaderList &extra) {
  return SendHeaders(200, content_type, std::nullopt, extra);
}

bool Exchange::Write(const std::string &text) {
  return mg_write(connection_, text.data(), text.size()) == static_cast<int>(text.size());
}

}  // namespace dio_webd
