#include "write_body.h"

#include <strings.h>

#include <nlohmann/json.hpp>

namespace dio_webd {

namespace {

using nlohmann::json;

// The body's object, or what is wrong with it; key is the one key it must
// have and the only one it may.
std::variant<json, BodyProblem> OneKeyObject(const std::string &body, const std::string &key,
                                             const std::string &example) {
  const json parsed = json::parse(body, nullptr, false);
  if (parsed.is_discarded())
    return BodyProblem{400, "the body is not JSON; send " + example};
  if (!parsed.is_object())
    return BodyProblem{400, "the body is not a JSON object; send " + example};
  for (const auto &item : parsed.items())
    if (item.key() != key)
      return BodyProblem{400, "unknown key \"" + item.key() + "\" in the body; send " + example};
  if (!parsed.contains(key))
    return BodyProblem{400, "the body has no \"" + key + "\"; send " + example};
  return parsed.at(key);
}

}  // namespace

std::optional<BodyProblem> CheckJsonType(const std::optional<std::string> &content_type) {
  const std::string wanted = "application/json";
  if (content_type) {
    const std::string type = content_type->substr(0, content_type->find(';'));
    const size_t end = type.find_last_not_of(" \t");
    if (end != std::string::npos && end + 1 == wanted.size() &&
        strncasecmp(type.c_str(), wanted.c_str(), wanted.size()) == 0)
      return std::nullopt;
  }
  return BodyProblem{415, "the body must be JSON: send Content-Type: application/json"};
}

std::variant<int, BodyProblem> ParseLevelBody(const std::string &body) {
  const std::string example = "{\"value\": 1} or {\"value\": 0}";
  auto value = OneKeyObject(body, "value", example);
  if (auto *problem = std::get_if<BodyProblem>(&value)) return *problem;
  const json &level = std::get<json>(value);
  if (level.is_boolean()) return level.get<bool>() ? 1 : 0;
  if (level.is_number_integer() && (level == 0 || level == 1)) return level.get<int>();
  return BodyProblem{400, "\"value\" must be 0, 1, true or false; send " + example};
}

std::variant<uint32_t, BodyProblem> ParsePulseBody(const std::string &body) {
  const std::string example = "{\"width_ms\": 500} (1 to 3600000)";
  auto value = OneKeyObject(body, "width_ms", example);
  if (auto *problem = std::get_if<BodyProblem>(&value)) return *problem;
  const json &width = std::get<json>(value);
  if (width.is_number_unsigned() && width.get<uint64_t>() >= 1 &&
      width.get<uint64_t>() <= kLongestPulseMs)
    return static_cast<uint32_t>(width.get<uint64_t>());
  return BodyProblem{400, "\"width_ms\" must be a whole number of milliseconds from 1 to "
                          "3600000; send " + example};
}

}  // namespace dio_webd
