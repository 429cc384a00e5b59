// The bodies of the two writes, PUT /api/v1/lines/NAME {"value": 1} and
// POST /api/v1/lines/NAME/pulse {"width_ms": 500}: their type, size and
// shape checked, with the status and message of what was wrong.
#ifndef DIO_WEBD_WRITE_BODY_H
#define DIO_WEBD_WRITE_BODY_H

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace dio_webd {

// The largest body a write takes (413 beyond).
constexpr size_t kLargestWriteBody = 4096;
constexpr uint32_t kLongestPulseMs = 3600000;

struct BodyProblem {
  int status = 400;  // 400, or 415 for a body that is not JSON by its type
  std::string message;
};

// Nothing when the Content-Type is application/json, parameters allowed.
std::optional<BodyProblem> CheckJsonType(const std::optional<std::string> &content_type);

// The level of {"value": 0 | 1 | true | false}.
std::variant<int, BodyProblem> ParseLevelBody(const std::string &body);
// The width of {"width_ms": 1..3600000}.
std::variant<uint32_t, BodyProblem> ParsePulseBody(const std::string &body);

}  // namespace dio_webd

#endif
