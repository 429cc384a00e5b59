#include "counter_report.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace dioctl {

namespace {

constexpr size_t kColumns = 6;
using Row = std::array<std::string, kColumns>;

const Row kHeader = {"LINE", "RISING", "FALLING", "FREQUENCY", "ON-TIME", "LATCHES"};

// The line's name is left-aligned, the figures right-aligned, the latches
// (the last column) left as they are.
bool RightAligned(size_t column) { return column > 0 && column + 1 < kColumns; }

Row RowOf(const InputFigures &figures) {
  const vdio_input_stats &stats = figures.stats;
  return Row{vdio_line_name(figures.line), std::to_string(stats.rising),
             std::to_string(stats.falling), HertzText(stats.frequency_mhz) + " Hz",
             OnTimeText(stats.on_time_ms), LatchesText(stats.latches)};
}

std::string Padded(const std::string &text, size_t width, bool right) {
  const std::string padding(width - text.size(), ' ');
  return right ? padding + text : text + padding;
}

std::string Joined(const Row &row, const std::array<size_t, kColumns> &widths) {
  std::string text;
  for (size_t column = 0; column < kColumns; ++column) {
    if (column > 0) text += "  ";
    text += column + 1 < kColumns ? Padded(row[column], widths[column], RightAligned(column))
                                  : row[column];
  }
  return text + '\n';
}

}  // namespace

std::string HertzText(uint32_t millihertz) {
  char text[16];
  std::snprintf(text, sizeof text, "%" PRIu32 ".%03" PRIu32, millihertz / 1000, millihertz % 1000);
  return text;
}

std::string OnTimeText(uint64_t milliseconds) {
  const uint64_t seconds = milliseconds / 1000;
  char text[40];
  std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%03" PRIu64,
                seconds / 3600, seconds / 60 % 60, seconds % 60, milliseconds % 1000);
  return text;
}

std::string LatchesText(uint32_t latches) {
  const bool rose = (latches & VDIO_INPUT_ROSE) != 0;
  const bool fell = (latches & VDIO_INPUT_FELL) != 0;
  if (rose && fell) return "rose fell";
  if (rose) return "rose";
  return fell ? "fell" : "-";
}

std::string FormatCounterTable(const std::vector<InputFigures> &figures) {
  std::vector<Row> rows{kHeader};
  for (const InputFigures &one : figures) rows.push_back(RowOf(one));
  std::array<size_t, kColumns> widths{};
  for (const Row &row : rows)
    for (size_t column = 0; column < kColumns; ++column)
      widths[column] = std::max(widths[column], row[column].size());
  std::string text;
  for (const Row &row : rows) text += Joined(row, widths);
  return text;
}

std::string FormatCounterJson(const std::vector<InputFigures> &figures) {
  std::string text;
  for (const InputFigures &one : figures) {
    const vdio_input_stats &stats = one.stats;
    nlohmann::ordered_json object;
    object["line"] = vdio_line_name(one.line);
    object["rising"] = stats.rising;
    object["falling"] = stats.falling;
    object["frequency_mhz"] = stats.frequency_mhz;
    object["on_time_ms"] = stats.on_time_ms;
    object["rose"] = (stats.latches & VDIO_INPUT_ROSE) != 0;
    object["fell"] = (stats.latches & VDIO_INPUT_FELL) != 0;
    text += object.dump() + '\n';
  }
  return text;
}

}  // namespace dioctl
