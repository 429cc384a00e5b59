#include "level_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "board_handle.h"

namespace dioctl {

namespace {

// The mask of the group that holds line, and the line's bit in it.
unsigned GroupMaskHolding(const vdio_state &state, int line, int *bit) {
  const int first = line >= VDIO_LED1 ? VDIO_LED1 : line >= VDIO_DO0 ? VDIO_DO0 : VDIO_DI0;
  *bit = line - first;
  return first == VDIO_DI0 ? state.inputs : first == VDIO_DO0 ? state.outputs : state.leds;
}

unsigned ValueIn(const vdio_state &state, const LineSet &set) {
  int bit = 0;
  const unsigned mask = GroupMaskHolding(state, set.first, &bit);
  return set.group ? mask : (mask >> bit) & 1u;
}

// A line's level as a digit, a group's mask as 0x%02x.
std::string ValueText(const Reading &reading) {
  if (!reading.lines.group) return std::to_string(reading.value);
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", reading.value);
  return text;
}

std::string JoinedWithSpaces(const std::vector<Reading> &readings, bool with_names) {
  std::string text;
  for (const Reading &reading : readings) {
    if (!text.empty()) text += ' ';
    if (with_names) text += reading.lines.name + '=';
    text += ValueText(reading);
  }
  return text;
}

std::string JsonObject(const std::vector<Reading> &readings) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const Reading &reading : readings) object[reading.lines.name] = reading.value;
  return object.dump();
}

}  // namespace

std::vector<LineSet> EveryLine() {
  std::vector<LineSet> lines;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    lines.push_back(LineSet{vdio_line_name(line), line, 1, false});
  return lines;
}

std::vector<Reading> ReadLevels(const vdio_board *board, const std::vector<LineSet> &lines) {
  vdio_state state{};
  Checked(vdio_read(board, &state));  // one pass, so that groups and lines agree
  return ReadingsOf(state, lines);
}

std::vector<Reading> ReadingsOf(const vdio_state &state, const std::vector<LineSet> &lines) {
  std::vector<Reading> readings;
  for (const LineSet &set : lines) readings.push_back(Reading{set, ValueIn(state, set)});
  return readings;
}

std::string FormatReadings(const std::vector<Reading> &readings, ReportForm form) {
  switch (form) {
    case ReportForm::kNamed:
      return JoinedWithSpaces(readings, true);
    case ReportForm::kNumeric:
      return JoinedWithSpaces(readings, false);
    case ReportForm::kJson:
      return JsonObject(readings);
  }
  return "";
}

}  // namespace dioctl
