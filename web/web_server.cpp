#include "web_server.h"

#include <civetweb.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "http_exchange.h"
#include "static_files.h"
#include "tool_messages.h"

namespace dio_webd {

// What civetweb's threads reach the server through: closed at a stop, so
// that a request after it is answered without touching the server, even
// once the server is gone (when civetweb outlives it).
class RequestGate {
 public:
  explicit RequestGate(WebServer *server) : server_(server) {}

  // The server, counted as in use until Leave; nothing once closed.
  WebServer *Enter() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (server_) ++active_;
    return server_;
  }
  void Leave() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--active_ == 0) idle_.notify_all();
  }
  // Requests from now on are turned away; those under way go on.
  void Close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    server_ = nullptr;
  }
  // Whether no request is in the server, waiting for it up to most.
  bool WaitIdle(std::chrono::milliseconds most) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, most, [this] { return active_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  WebServer *server_;
  int active_ = 0;
};

namespace {

// How long a stop waits for requests under way where civetweb cannot be
// stopped (its threads not joinable).
constexpr std::chrono::milliseconds kLongestStopWait{3000};

// Threads for requests other than event streams.
constexpr size_t kRequestThreads = 64;

// A request during the stop: no counting, nothing of the server touched.
void RespondStopping(mg_connection *connection) {
  static const std::string body = "{\"error\":\"dio-webd is stopping; try again shortly\"}\n";
  mg_response_header_start(connection, 503);
  for (const auto &[name, value] : SecurityHeaders())
    mg_response_header_add(connection, name.c_str(), value.c_str(), -1);
  mg_response_header_add(connection, "Content-Type", "application/json", -1);
  mg_response_header_add(connection, "Content-Length", std::to_string(body.size()).c_str(), -1);
  mg_response_header_send(connection);
  mg_write(connection, body.data(), body.size());
}

int HandleRequest(mg_connection *connection, void *gate_pointer) {
  auto *gate = static_cast<RequestGate *>(gate_pointer);
  WebServer *server = gate->Enter();
  if (!server) {
    RespondStopping(connection);
    return 503;
  }
  try {
    server->Serve(connection);
  } catch (const std::exception &error) {
    varnik::tools::PrintLine(std::string("a request failed: ") + error.what());
  }
  gate->Leave();
  return 1;
}

// civetweb's own messages, one log line each.
int LogMessage(const mg_connection *, const char *message) {
  std::string line = message ? message : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  for (char &c : line)
    if (c == '\n' || c == '\r') c = ' ';
  varnik::tools::PrintLine("civetweb: " + line);
  return 1;
}

// The errors civetweb answers itself (a malformed request, headers too
// large): JSON with the same headers as every other response. The status
// line is written here, always HTTP/1.1: civetweb's own would repeat the
// version the request gave, and a malformed request's "version" may hold
// anything, even the request's own header lines (its token among them).
int HttpError(mg_connection *connection, int status, const char *message) {
  (void)message;
  const std::string body =
      "{\"error\":\"the request was not understood (HTTP " + std::to_string(status) +
      "); send a well-formed HTTP/1.1 request\"}\n";
  const char *reason = mg_get_response_code_text(nullptr, status);
  std::string response = "HTTP/1.1 " + std::to_string(status) + " " + (reason ? reason : "") + "\r\n";
  for (const auto &[name, value] : SecurityHeaders()) response += name + ": " + value + "\r\n";
  response += "Content-Type: application/json\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  mg_write(connection, response.data(), response.size());
  return 0;
}

// Whether this process can join a thread: under qemu-user, once a signal
// was handled, pthread_join fails with EDEADLK. mg_stop joins civetweb's
// threads and frees what they use right after, whatever the join said.
bool ThreadsJoinable() {
  pthread_t probe;
  if (pthread_create(&probe, nullptr, [](void *) -> void * { return nullptr; }, nullptr) != 0)
    return false;
  const int joined = pthread_join(probe, nullptr);
  if (joined != 0) pthread_detach(probe);
  return joined == 0;
}

std::string FormatMs(std::chrono::milliseconds duration) { return std::to_string(duration.count()); }

WritePolicy PolicyOf(const ServerOptions &options) {
  WritePolicy policy;
  policy.token = options.token;
  policy.read_only = options.read_only;
  policy.hosts = AnsweredHosts(options.listen, options.hosts);
  return policy;
}

}  // namespace

WebServer::WebServer(const ServerOptions &options, BoardAccess &board, EventHub &hub,
                     LineCounters &counters)
    : options_(options),
      counters_(counters),
      routes_(board, hub, counters, PolicyOf(options), options.www),
      gate_(std::make_unique<RequestGate>(this)) {}

WebServer::~WebServer() { Stop(); }

void WebServer::Start() {
  const std::string listening = options_.listen.Text();
  // Streams hold their threads for as long as they are open; the rest are
  // for requests, enough that a few clients stalling mid-request (each
  // holds one for up to --request-timeout) leave the API answering.
  const std::string threads = std::to_string(options_.max_event_clients + kRequestThreads);
  const std::string timeout = FormatMs(options_.request_timeout);
  // No document_root: civetweb serves no file itself. decode_url no: the
  // routes see the path as sent.
  const char *settings[] = {
      "listening_ports", listening.c_str(),
      "num_threads", threads.c_str(),
      "request_timeout_ms", timeout.c_str(),
      "enable_directory_listing", "no",
      "cgi_pattern", "",
      "decode_url", "no",
      "enable_keep_alive", "yes",
      // Each answer goes out in several writes: without it, TCP holds the
      // last back for the peer's delayed ACK, 40 ms a request.
      "tcp_nodelay", "1",
      "keep_alive_timeout_ms", "1000",  // an idle connection holds a thread too
      "max_request_size", "16384",
      nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = LogMessage;
  callbacks.http_error = HttpError;
  char error_text[256] = "";
  unsigned error_code = 0;
  mg_error_data error{&error_code, error_text, sizeof error_text};
  mg_init_data init{&callbacks, nullptr, settings};
  context_ = mg_start2(&init, &error);
  if (!context_)
    throw std::runtime_error("cannot serve on " + listening + ": " +
                             (error_text[0] ? error_text : "civetweb did not start") +
                             "; choose another --listen address or port");
  mg_set_request_handler(context_, "/", HandleRequest, gate_.get());
  mg_server_port ports[4]{};
  if (mg_get_server_ports(context_, 4, ports) > 0) port_ = static_cast<uint16_t>(ports[0].port);
}

void WebServer::Stop() {
  if (!context_) return;
  gate_->Close();
  if (ThreadsJoinable()) {
    // Its stop flag also ends a write blocked on a client that reads
    // nothing; it returns once every request thread has ended.
    mg_stop(context_);
  } else {
    // Without mg_stop a blocked write lasts up to --request-timeout: the
    // requests under way get a while to end, not longer.
    if (!gate_->WaitIdle(kLongestStopWait))
      varnik::tools::PrintLine("requests still under way after " + FormatMs(kLongestStopWait) +
                               " ms (clients that read nothing); stopping without them");
    varnik::tools::PrintLine("the server's threads cannot be joined here (pthread_join fails); "
                             "they end with the process");
    (void)gate_.release();  // civetweb's threads may still reach it: it stays, closed
  }
  context_ = nullptr;
}

void WebServer::Serve(mg_connection *connection) {
  Exchange exchange(connection, counters_, options_.log_requests);
  // Writes check the Host after the token (401 comes first); everything
  // else here.
  const bool write = exchange.method() == "PUT" || exchange.method() == "POST";
  if (!write) {
    if (const auto refusal = CheckHost(routes_.policy(), exchange.Header("Host")))
      return exchange.RespondError(refusal->status, refusal->message);
  }
  if (ApiRoutes::Serves(exchange.path())) return routes_.Handle(exchange);
  ServePage(exchange);
}

void WebServer::ServePage(Exchange &exchange) {
  exchange.SetEndpoint(Endpoint::kPage);
  const std::optional<std::string> name = StaticFileName(exchange.path());
  const std::optional<StaticFile> file = name ? ReadStaticFile(options_.www, *name) : std::nullopt;
  if (!file) {
    exchange.SetEndpoint(Endpoint::kOther);
    return exchange.RespondError(404, "nothing is served at this path; the page is at /");
  }
  if (exchange.method() != "GET" && exchange.method() != "HEAD")
    return exchange.RespondError(405, exchange.method() + " is not served here; use GET",
                                 {{"Allow", "GET, HEAD"}});
  exchange.Respond(200, file->content_type, file->content, {{"Cache-Control", "no-cache"}});
}

}  // namespace dio_webd
