#include "sampler_report.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "argument_parsing.h"

namespace dioctl {

namespace {

// "1ms": the interval, a whole number of microseconds as the service
// takes it; else in nanoseconds.
std::string IntervalText(uint64_t ns) {
  if (ns % 1000 == 0) return varnik::tools::FormatDuration(std::chrono::microseconds(ns / 1000));
  return std::to_string(ns) + "ns";
}

// "3.148ms": a lateness in milliseconds, to the microsecond.
std::string LatenessText(uint64_t ns) {
  const uint64_t us = ns / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 ".%03" PRIu64 "ms", us / 1000, us % 1000);
  return text;
}

// Why the service cannot tell how its sampler is doing: one of a version
// before it could, or any other error.
std::string SamplerUnknownReason(int error) {
  if (error == -EOPNOTSUPP)
    return "the board service is of a version before input counters (it was not restarted "
           "since an upgrade): restart it";
  return std::strerror(-error);
}

//   SAMPLER: every 1ms, realtime no, frequency window 1s; 12345 samples, 0 late
// with ", the worst 2.345ms after its time" once some were late.
void PrintSamplerLine(const vdio_sampler_info &info) {
  std::string late = std::to_string(info.late_samples) + " late";
  if (info.late_samples > 0)
    late += ", the worst " + LatenessText(info.worst_late_ns) + " after its time";
  const std::string window =
      varnik::tools::FormatDuration(std::chrono::milliseconds(info.frequency_window_ms));
  std::printf("SAMPLER: every %s, realtime %s, frequency window %s; %" PRIu64 " samples, %s\n",
              IntervalText(info.interval_ns).c_str(),
              info.flags & VDIO_SAMPLER_REALTIME ? "yes" : "no", window.c_str(), info.samples,
              late.c_str());
}

//   DEBOUNCE: DI0 0s, DI1 20ms, ..., DI7 0s
void PrintDebounceLine(const vdio_input_stats (&stats)[VDIO_INPUT_COUNT]) {
  std::string text;
  for (int n = 0; n < VDIO_INPUT_COUNT; ++n) {
    if (n > 0) text += ", ";
    text += std::string(vdio_line_name(VDIO_DI0 + n)) + " " +
            varnik::tools::FormatDuration(std::chrono::microseconds(stats[n].debounce_us));
  }
  std::printf("DEBOUNCE: %s\n", text.c_str());
}

}  // namespace

void PrintSampler(vdio_board *board) {
  vdio_sampler_info info{};
  info.size = sizeof info;
  vdio_input_stats stats[VDIO_INPUT_COUNT];
  for (vdio_input_stats &one : stats) {
    one = vdio_input_stats{};
    one.size = sizeof one;
  }
  int result = vdio_get_sampler_info(board, &info);
  if (result == 0) result = vdio_read_all_input_stats(board, stats);
  if (result < 0) {
    std::printf("SAMPLER not known: %s\n", SamplerUnknownReason(result).c_str());
    return;
  }
  PrintSamplerLine(info);
  PrintDebounceLine(stats);
}

}  // namespace dioctl
