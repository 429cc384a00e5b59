#include "event_report.h"

#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "tool_messages.h"

namespace dioctl {

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kNsPerMicrosecond = 1'000;

int64_t ClockNs(clockid_t clock) {
  struct timespec now;
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// "1765253521.123456", from whole numbers so no digit is lost to rounding.
std::string SecondsText(int64_t wall_ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64, wall_ns / kNsPerSecond,
                wall_ns % kNsPerSecond / kNsPerMicrosecond);
  return text;
}

const char *EdgeName(Edge edge) {
  switch (edge) {
    case Edge::kRising:
      return "rising";
    case Edge::kFalling:
      return "falling";
    case Edge::kInitial:
      return "initial";
  }
  return "?";
}

std::string TextLine(const PrintedEvent &event) {
  std::string text =
      SecondsText(event.wall_ns) + " " + EdgeName(event.edge) + " " + vdio_line_name(event.line);
  if (event.edge == Edge::kInitial) text += " " + std::to_string(event.value);
  return text;
}

std::string JsonLine(const PrintedEvent &event) {
  nlohmann::ordered_json object;
  object["time"] = std::stod(SecondsText(event.wall_ns));
  object["line"] = vdio_line_name(event.line);
  object["value"] = event.value;
  object["edge"] = EdgeName(event.edge);
  return object.dump();
}

}  // namespace

WallClock::WallClock() {
  // The monotonic reads on either side bracket the wall-clock read.
  const int64_t before = ClockNs(CLOCK_MONOTONIC);
  const int64_t wall = ClockNs(CLOCK_REALTIME);
  const int64_t after = ClockNs(CLOCK_MONOTONIC);
  offset_ns_ = wall - (before + (after - before) / 2);
}

int64_t WallClock::NowNs() { return ClockNs(CLOCK_REALTIME); }

PrintedEvent FromBoardEvent(const vdio_event &event, const WallClock &clock) {
  return PrintedEvent{clock.FromMonotonic(event.timestamp_ns), event.line, event.value,
                      event.edge == VDIO_RISING ? Edge::kRising : Edge::kFalling};
}

std::string FormatEvent(const PrintedEvent &event, EventForm form) {
  return form == EventForm::kText ? TextLine(event) : JsonLine(event);
}

void PrintEvent(const PrintedEvent &event, EventForm form) {
  std::printf("%s\n", FormatEvent(event, form).c_str());
  varnik::tools::FlushOutput();
}

}  // namespace dioctl
