// The JSON API below /api/v1 and /metrics: which route a request names,
// the checks of a write in their order (401, 403, 404, 413/415/400, then
// the board's 409/503), and the answers.
#ifndef DIO_WEBD_API_ROUTES_H
#define DIO_WEBD_API_ROUTES_H

#include <string>

#include "board_access.h"
#include "event_hub.h"
#include "http_exchange.h"
#include "metrics.h"
#include "request_policy.h"

namespace dio_webd {

class ApiRoutes {
 public:
  // www is the page's folder, where openapi.json is.
  ApiRoutes(BoardAccess &board, EventHub &hub, const LineCounters &counters, WritePolicy policy,
            std::string www);

  // Whether path (raw) is the API's: below /api/, or /metrics.
  static bool Serves(const std::string &path);

  void Handle(Exchange &exchange);

 private:
  void Lines(Exchange &exchange);
  void Line(Exchange &exchange, const std::string &name);
  void Write(Exchange &exchange, const std::string &name);
  void Pulse(Exchange &exchange, const std::string &name);
  void OpenApi(Exchange &exchange);
  void Metrics(Exchange &exchange);
  // The write checks up to the line's name: false when exchange got its
  // refusal.
  bool Permitted(Exchange &exchange);
  // The body of a write, read and its type checked: false when refused.
  bool ReadWriteBody(Exchange &exchange, std::string *body);

  BoardAccess &board_;
  EventHub &hub_;
  const LineCounters &counters_;
  const WritePolicy policy_;
  const std::string www_;
};

}  // namespace dio_webd

#endif
