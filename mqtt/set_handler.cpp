#include "set_handler.h"

#include <chrono>
#include <cstdint>

#include "tool_messages.h"
#include "varnik_dio_board.h"

namespace dio_mqttd {

using varnik::tools::PrintLine;
using varnik::tools::TimePoint;

namespace {

// At most one ignored message named in the log a second: a flood of
// garbage cannot flood the journal, and someone trying sets by hand still
// sees each mistake named.
constexpr std::chrono::seconds kIgnoredLogInterval{1};
// Refused writes are named once per line and holder; their repeats are
// counted in a line this often.
constexpr std::chrono::seconds kBusyCountInterval{10};

}  // namespace

SetHandler::SetHandler(const Topics &topics, varnik::tools::LineIo &lines)
    : topics_(topics), lines_(lines), ignored_(kIgnoredLogInterval), busy_(kBusyCountInterval) {}

bool SetHandler::Handle(const std::string &topic, const std::string &payload, bool retained,
                        TimePoint now) {
  const std::optional<int> line = topics_.LineOfSet(topic);
  if (!line) {
    Ignore(topic, payload, "no such line: set DO0..DO7 or LED1..LED3", now);
    return false;
  }
  if (retained) {
    Ignore(topic, payload, "retained: a set is taken only as it is sent, publish it unretained",
           now);
    return false;
  }
  if (*line < VDIO_DO0) {
    Ignore(topic, payload, "an input cannot be set", now);
    return false;
  }
  const std::optional<int> level = ParseLevelPayload(payload);
  if (!level) {
    Ignore(topic, payload, "not a level: use 0, 1, ON or OFF", now);
    return false;
  }
  if (Write(*line, *level)) return true;
  if (const auto logged = busy_.Refused("a set on " + topic, lines_.HolderOf(*line), now))
    PrintLine(*logged);
  return false;
}

void SetHandler::Tick(TimePoint now) {
  if (const auto logged = ignored_.Tick(now)) PrintLine(*logged);
  if (const auto logged = busy_.Tick(now)) PrintLine(*logged);
}

void SetHandler::Ignore(const std::string &topic, const std::string &payload, const char *reason,
                        TimePoint now) {
  if (const auto logged = ignored_.Ignored(topic, payload, reason, now)) PrintLine(*logged);
}

bool SetHandler::Write(int line, int level) {
  if (line >= VDIO_LED1) {
    const auto bit = static_cast<uint8_t>(1u << (line - VDIO_LED1));
    return lines_.WriteLeds(bit, level ? bit : 0);
  }
  const auto bit = static_cast<uint8_t>(1u << (line - VDIO_DO0));
  return lines_.WriteOutputs(bit, level ? bit : 0);
}

}  // namespace dio_mqttd
