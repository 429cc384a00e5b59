// civetweb started and stopped, and the glue from its request threads to
// dio-webd's routes: one handler for every path, routed here, so that no
// request reaches civetweb's own file serving.
#ifndef DIO_WEBD_WEB_SERVER_H
#define DIO_WEBD_WEB_SERVER_H

#include <cstdint>
#include <memory>
#include <string>

#include "api_routes.h"
#include "board_access.h"
#include "event_hub.h"
#include "metrics.h"
#include "server_options.h"

struct mg_context;
struct mg_connection;

namespace dio_webd {

class RequestGate;

class WebServer {
 public:
  WebServer(const ServerOptions &options, BoardAccess &board, EventHub &hub,
            LineCounters &counters);
  ~WebServer();
  WebServer(const WebServer &) = delete;
  WebServer &operator=(const WebServer &) = delete;

  // Listens and serves; throws std::runtime_error saying why it cannot
  // (the address in use, not one of this machine's).
  void Start();
  // The port it listens on (the system's pick for port 0).
  uint16_t port() const { return port_; }

  // Turns new requests away and stops civetweb, which ends the requests
  // under way, writes blocked on a client that reads nothing among them
  // (event streams end when the hub closes: close it first). Where its
  // threads cannot be joined (pthread_join failing, as under qemu-user
  // after a signal), civetweb is left to end with the process instead of
  // freeing what its threads may still touch, after up to 3 s for the
  // requests under way.
  void Stop();

  // Answers one request: the API's routes, else the page's files.
  void Serve(mg_connection *connection);

 private:
  void ServePage(class Exchange &exchange);

  const ServerOptions &options_;
  LineCounters &counters_;
  ApiRoutes routes_;
  std::unique_ptr<RequestGate> gate_;
  mg_context *context_ = nullptr;
  uint16_t port_ = 0;
};

}  // namespace dio_webd

#endif
