#include "ignored_message_log.h"

#include <cstdio>

namespace dio_mqttd {

namespace {

using varnik::tools::Microseconds;
using varnik::tools::TimePoint;

constexpr size_t kShownPayloadBytes = 64;
constexpr size_t kShownTopicBytes = 128;

// Printable ASCII as it is, anything else as \xNN, so that a binary payload
// or a control character cannot garble the journal.
std::string Escaped(std::string_view text) {
  std::string shown;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      shown += '\\';
      shown += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02x", c);
      shown += code;
    }
  }
  return shown;
}

// At most limit bytes of text, and how long it was when cut.
std::string Cut(std::string_view text, size_t limit, std::string before, std::string after) {
  if (text.size() <= limit) return before + Escaped(text) + after;
  return before + Escaped(text.substr(0, limit)) + after + "... (" + std::to_string(text.size()) +
         " bytes)";
}

// "10s", "2.5s": to a tenth of a second, enough for a log line.
std::string Seconds(Microseconds duration) {
  const long long tenths = (duration.count() + 50'000) / 100'000;
  const std::string whole = std::to_string(tenths / 10);
  return tenths % 10 == 0 ? whole + "s" : whole + "." + std::to_string(tenths % 10) + "s";
}

std::string Messages(unsigned count) {
  return std::to_string(count) + (count == 1 ? " more message" : " more messages");
}

}  // namespace

std::optional<std::string> IgnoredMessageLog::Ignored(std::string_view topic,
                                                      std::string_view payload,
                                                      std::string_view reason, TimePoint now) {
  if (last_named_ && now - *last_named_ < interval_) {
    ++unnamed_;
    return std::nullopt;
  }
  std::string line = "ignored " + Cut(topic, kShownTopicBytes, "", "") + " " +
                     Cut(payload, kShownPayloadBytes, "\"", "\"") + ": " + std::string(reason);
  if (unnamed_ > 0) line += " (and " + Messages(unnamed_) + " before it)";
  unnamed_ = 0;
  last_named_ = now;
  return line;
}

std::optional<std::string> IgnoredMessageLog::Tick(TimePoint now) {
  if (!last_named_ || unnamed_ == 0 || now - *last_named_ < interval_) return std::nullopt;
  const auto elapsed = std::chrono::duration_cast<Microseconds>(now - *last_named_);
  std::string line = "ignored " + Messages(unnamed_) + " in the last " + Seconds(elapsed);
  unnamed_ = 0;
  last_named_ = now;  // the count was this interval's line
  return line;
}

}  // namespace dio_mqttd
