#include "topics.h"

#include <stdexcept>
#include <utility>

#include "varnik_dio_board.h"

namespace dio_mqttd {

namespace {

constexpr std::string_view kSetSuffix = "/set";

// ASCII only, whatever the locale: "oN" is on, a Turkish dotless i is not.
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (AsciiLower(text[i]) != lower[i]) return false;
  return true;
}

// A line outside the map is the caller's bug, not the broker's input.
std::string LineName(int line) {
  const char *name = vdio_line_name(line);
  if (!name) throw std::out_of_range("dio-mqttd: no line " + std::to_string(line) + " on the board");
  return name;
}

// The line published under name ("DO3"), exactly as vdio_line_name spells it.
std::optional<int> LineNamed(std::string_view name) {
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    if (name == vdio_line_name(line)) return line;
  return std::nullopt;
}

}  // namespace

Topics::Topics(std::string prefix, std::string board_id)
    : base_(prefix + "/" + board_id + "/"), board_id_(std::move(board_id)) {}

std::string Topics::Status() const { return base_ + "status"; }

std::string Topics::Level(int line) const { return base_ + LineName(line); }

std::string Topics::Set(int line) const { return Level(line) + std::string(kSetSuffix); }

std::string Topics::SetFilter() const { return base_ + "+" + std::string(kSetSuffix); }

std::string Topics::Count(int input) const { return Level(input) + "/count"; }

std::string Topics::Frequency(int input) const { return Level(input) + "/frequency"; }

std::optional<int> Topics::LineOfSet(std::string_view topic) const {
  if (topic.size() <= base_.size() + kSetSuffix.size()) return std::nullopt;
  if (topic.substr(0, base_.size()) != base_) return std::nullopt;
  if (topic.substr(topic.size() - kSetSuffix.size()) != kSetSuffix) return std::nullopt;
  const std::string_view name =
      topic.substr(base_.size(), topic.size() - base_.size() - kSetSuffix.size());
  return LineNamed(name);  // a name with a '/' in it names no line
}

std::optional<int> ParseLevelPayload(std::string_view payload) {
  if (payload == "0" || EqualsIgnoringCase(payload, "off")) return 0;
  if (payload == "1" || EqualsIgnoringCase(payload, "on")) return 1;
  return std::nullopt;
}

std::string FormatFrequency(uint32_t millihertz) {
  const std::string thousandths = std::to_string(millihertz % 1000);
  return std::to_string(millihertz / 1000) + "." + std::string(3 - thousandths.size(), '0') +
         thousandths;
}

}  // namespace dio_mqttd
