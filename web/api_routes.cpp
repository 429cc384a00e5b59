#include "api_routes.h"

#include <strings.h>

#include <utility>
#include <variant>

#include "default_device.h"
#include "event_stream.h"
#include "line_json.h"
#include "static_files.h"
#include "varnik_dio_board.h"
#include "write_body.h"

namespace dio_webd {

namespace {

const std::string kLinesPath = "/api/v1/lines";
const std::string kPulseEnd = "/pulse";

bool Reading(const Exchange &exchange) {
  return exchange.method() == "GET" || exchange.method() == "HEAD";
}

void RefuseMethod(Exchange &exchange, const std::string &allowed) {
  exchange.RespondError(405, exchange.method() + " is not served here; use " + allowed,
                        {{"Allow", allowed}});
}

// The board's reason is a whole message already ("the board service at
// PATH is out of reach: ...; dio-webd connects again every second").
std::string OutOfReach(const std::string &reason) {
  return reason.empty() ? "the board service is out of reach; dio-webd connects again every second"
                        : reason;
}

// The line called name (exact, in any case), or -1.
int LineNamed(const std::string &name) {
  if (name.empty() || name.size() > 4) return -1;
  const int line = vdio_line_from_name(name.c_str());
  if (line < 0 || line >= VDIO_LINE_COUNT) return -1;
  return strcasecmp(vdio_line_name(line), name.c_str()) == 0 ? line : -1;
}

void UnknownLine(Exchange &exchange, const std::string &name) {
  exchange.RespondError(404, "no line called \"" + name +
                                 "\"; the lines are DI0..DI7, DO0..DO7 and LED1..LED3");
}

void RespondBoardRefusal(Exchange &exchange, int line, const WriteOutcome &outcome) {
  switch (outcome.status) {
    case WriteStatus::kDone:
      break;
    case WriteStatus::kHeld:
      exchange.RespondError(409, outcome.holder ? varnik::tools::Describe(*outcome.holder)
                                                : std::string(vdio_line_name(line)) +
                                                      " is held by another client");
      break;
    case WriteStatus::kLost:
      exchange.RespondError(503, OutOfReach(outcome.message));
      break;
    case WriteStatus::kRefused:
      exchange.RespondError(400, outcome.message);
      break;
  }
}

}  // namespace

ApiRoutes::ApiRoutes(BoardAccess &board, EventHub &hub, const LineCounters &counters,
                     WritePolicy policy, std::string www)
    : board_(board), hub_(hub), counters_(counters), policy_(std::move(policy)), www_(std::move(www)) {}

bool ApiRoutes::Serves(const std::string &path) {
  return path == "/metrics" || path.rfind("/api/", 0) == 0;
}

void ApiRoutes::Handle(Exchange &exchange) {
  const std::string &path = exchange.path();
  const std::string line_prefix = kLinesPath + "/";
  if (path == kLinesPath) return Lines(exchange);
  if (path.rfind(line_prefix, 0) == 0) {
    const std::string rest = path.substr(line_prefix.size());
    if (rest.find('/') == std::string::npos) return Line(exchange, rest);
    if (rest.size() > kPulseEnd.size() &&
        rest.compare(rest.size() - kPulseEnd.size(), kPulseEnd.size(), kPulseEnd) == 0) {
      const std::string name = rest.substr(0, rest.size() - kPulseEnd.size());
      if (name.find('/') == std::string::npos) return Pulse(exchange, name);
    }
  } else if (path == "/api/v1/events") {
    exchange.SetEndpoint(Endpoint::kEvents);
    if (exchange.method() != "GET") return RefuseMethod(exchange, "GET");
    return ServeEvents(exchange, hub_, board_);
  } else if (path == "/api/v1/openapi.json") {
    return OpenApi(exchange);
  } else if (path == "/metrics") {
    return Metrics(exchange);
  }
  // A write to no known path is still a write: who may write is answered
  // first (401, 403), only then that nothing is there (404).
  const bool writing = exchange.method() == "PUT" || exchange.method() == "POST";
  if (writing && path.rfind("/api/v1/", 0) == 0 && !Permitted(exchange)) return;
  exchange.RespondError(404, "nothing is served at this path; the API is described at "
                             "/api/v1/openapi.json");
}

void ApiRoutes::Lines(Exchange &exchange) {
  exchange.SetEndpoint(Endpoint::kLines);
  if (!Reading(exchange)) return RefuseMethod(exchange, "GET, HEAD");
  const BoardSnapshot snapshot = board_.Snapshot();
  if (!snapshot.connected) return exchange.RespondError(503, OutOfReach(snapshot.lost_reason));
  exchange.RespondJson(200, BoardJson(snapshot));
}

void ApiRoutes::Line(Exchange &exchange, const std::string &name) {
  exchange.SetEndpoint(Endpoint::kLine);
  if (exchange.method() == "PUT") return Write(exchange, name);
  if (!Reading(exchange)) return RefuseMethod(exchange, "GET, HEAD, PUT");
  const int line = LineNamed(name);
  if (line < 0) return UnknownLine(exchange, name);
  const BoardSnapshot snapshot = board_.Snapshot();
  if (!snapshot.connected) return exchange.RespondError(503, OutOfReach(snapshot.lost_reason));
  exchange.RespondJson(200, LineJson(snapshot, line));
}

bool ApiRoutes::Permitted(Exchange &exchange) {
  const std::optional<Refusal> refusal = CheckWrite(
      policy_, {exchange.Header("Authorization"), exchange.Header("Host"), exchange.Header("Origin")});
  if (!refusal) return true;
  HeaderList extra;
  if (refusal->status == 401) extra.emplace_back("WWW-Authenticate", "Bearer realm=\"dio-webd\"");
  exchange.RespondError(refusal->status, refusal->message, extra);
  return false;
}

bool ApiRoutes::ReadWriteBody(Exchange &exchange, std::string *body) {
  switch (exchange.ReadBody(kLargestWriteBody, body)) {
    case Exchange::Body::kRead:
      break;
    case Exchange::Body::kTooLarge:
      exchange.RespondError(413, "the body is larger than 4096 bytes; send {\"value\": 1} or "
                                 "{\"width_ms\": 500}",
                            {{"Connection", "close"}});
      return false;
    case Exchange::Body::kFailed:
      exchange.RespondError(400, "the body could not be read whole; send it again");
      return false;
  }
  if (const auto problem = CheckJsonType(exchange.Header("Content-Type"))) {
    exchange.RespondError(problem->status, problem->message);
    return false;
  }
  return true;
}

namespace {

bool RefuseInput(Exchange &exchange, int line) {
  if (line >= VDIO_DO0) return false;
  exchange.RespondError(400, std::string(vdio_line_name(line)) +
                                 " is an input: only outputs and LEDs can be written");
  return true;
}

}  // namespace

void ApiRoutes::Write(Exchange &exchange, const std::string &name) {
  if (!Permitted(exchange)) return;
  const int line = LineNamed(name);
  if (line < 0) return UnknownLine(exchange, name);
  std::string body;
  if (!ReadWriteBody(exchange, &body)) return;
  const auto level = ParseLevelBody(body);
  if (const auto *problem = std::get_if<BodyProblem>(&level))
    return exchange.RespondError(problem->status, problem->message);
  if (RefuseInput(exchange, line)) return;
  const WriteOutcome outcome = board_.Write(line, std::get<int>(level));
  if (outcome.status != WriteStatus::kDone) return RespondBoardRefusal(exchange, line, outcome);
  exchange.RespondEmpty(204);
}

void ApiRoutes::Pulse(Exchange &exchange, const std::string &name) {
  exchange.SetEndpoint(Endpoint::kPulse);
  if (exchange.method() != "POST") return RefuseMethod(exchange, "POST");
  if (!Permitted(exchange)) return;
  const int line = LineNamed(name);
  if (line < 0) return UnknownLine(exchange, name);
  std::string body;
  if (!ReadWriteBody(exchange, &body)) return;
  const auto width = ParsePulseBody(body);
  if (const auto *problem = std::get_if<BodyProblem>(&width))
    return exchange.RespondError(problem->status, problem->message);
  if (RefuseInput(exchange, line)) return;
  if (!varnik::tools::IsServiceSocket(board_.device()))
    return exchange.RespondError(
        501, "pulses need the board service: " + board_.device() +
                 " is opened directly, where nobody would end the pulse; run dio-webd with "
                 "--device on the service's socket");
  const uint32_t width_ms = std::get<uint32_t>(width);
  const WriteOutcome outcome = board_.Pulse(line, uint64_t{width_ms} * 1000);
  if (outcome.status != WriteStatus::kDone) return RespondBoardRefusal(exchange, line, outcome);
  exchange.RespondJson(202, {{"name", vdio_line_name(line)}, {"width_ms", width_ms}});
}

void ApiRoutes::OpenApi(Exchange &exchange) {
  exchange.SetEndpoint(Endpoint::kOpenApi);
  if (!Reading(exchange)) return RefuseMethod(exchange, "GET, HEAD");
  const std::optional<StaticFile> file = ReadStaticFile(www_, "openapi.json");
  if (!file)
    return exchange.RespondError(404, "openapi.json is missing from the page's folder " + www_ +
                                          "; reinstall dio-webd");
  exchange.Respond(200, file->content_type, file->content);
}

void ApiRoutes::Metrics(Exchange &exchange) {
  exchange.SetEndpoint(Endpoint::kMetrics);
  if (!Reading(exchange)) return RefuseMethod(exchange, "GET, HEAD");
  const HubFigures hub{hub_.clients(), hub_.dropped()};
  exchange.Respond(200, kMetricsContentType, MetricsText(board_.Snapshot(), counters_, hub));
}

}  // namespace dio_webd
