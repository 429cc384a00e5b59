// The JSON of the API and of the event streams, one place for both so that
// the page reads the same shapes from each.
//
// A line:  {"name":"DO3","direction":"output","level":0,"pulsing":false,
//           "claim":null | {"consumer":"mixer","pid":1234,"lease_ms":0,
//                           "safe_value":0,"keep":false,"lease_out":false}}
// An input has no "claim" nor "pulsing" but
//           "functions":null | {"count":12,"falling":11,"frequency_hz":2.5,
//                               "on_time_ms":1234,"rose":true,"fell":true,
//                               "debounce_us":0}
// (null: nobody keeps them, a board opened directly; count is the rising
// edges counted by the service since they were last cleared).
// The board out of reach is {"connected":false,"error":"..."} wherever the
// board is asked for (BoardJson of a lost snapshot too); figures of a board
// whose inputs' figures nobody keeps are {"inputs":[]}.
//
// The board (GET /api/v1/lines, and the "snapshot" event):
//   {"connected":true,"through_service":true,"lines":[19 lines, DI0..LED3],
//    "sampler":null | {"interval_ns":..,"samples":..,"late_samples":..,
//                      "worst_late_ns":..}}
//
// Events (GET /api/v1/events), the JSON of each event's data:
//   snapshot  the board as above: first on every stream, and again after the
//             board came back
//   line      {"name":"DI3","direction":"input","level":1,"edge":"rising",
//              "timestamp_ns":123}  (a change the service reported)
//   board     {"connected":false,"error":"..."} or {"connected":true}
//   figures   {"inputs":[{"name":"DI0", ...functions...}, ...8]}
//   claims    {"lines":[{"name":"DO0","pulsing":false,"claim":...}, ...11]}
#ifndef DIO_WEBD_LINE_JSON_H
#define DIO_WEBD_LINE_JSON_H

#include <nlohmann/json.hpp>
#include <string>

#include "board_snapshot.h"
#include "varnik_dio_board.h"

namespace dio_webd {

nlohmann::json LineJson(const BoardSnapshot &snapshot, int line);
nlohmann::json BoardJson(const BoardSnapshot &snapshot);
nlohmann::json LineEventJson(const vdio_event &event);
nlohmann::json BoardStatusJson(bool connected, const std::string &error);
nlohmann::json FiguresJson(const BoardSnapshot &snapshot);
nlohmann::json ClaimsJson(const BoardSnapshot &snapshot);
// {"error":"message"}
nlohmann::json ErrorJson(const std::string &message);

// The text of value on one line, as every response and event sends it:
// bytes that are no UTF-8 (a device's path, say) replaced rather than thrown
// at.
std::string OneLine(const nlohmann::json &value);

// "input", "output", "led".
const char *DirectionWord(int line);

}  // namespace dio_webd

#endif
