// dioctl info: the pin map, from the board library, and what the device
// turned out to be: the memory device, a board file or the board service;
// through the service, who holds which line, each input's debounce and how
// the service's sampler is doing.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "argument_parsing.h"
#include "board_handle.h"
#include "device_errors.h"
#include "line_names.h"
#include "varnik_dio_board.h"
#include "verbs.h"

namespace dioctl {

namespace {

const char *DeviceKindName(int kind) {
  switch (kind) {
    case VDIO_DEVICE_MEMORY:
      return "memory device";
    case VDIO_DEVICE_BOARD_FILE:
      return "board file";
    case VDIO_DEVICE_SERVICE:
      return "board service";
    default:
      return "unknown";
  }
}

void PrintPinMap() {
  std::printf("%-5s %-9s %-10s %-3s %s\n", "LINE", "DIRECTION", "ADDRESS", "BIT", "ACTIVE-LOW");
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    vdio_line_info info{};
    vdio_get_line_info(line, &info);
    std::printf("%-5s %-9s 0x%08x %-3u %s\n", info.name, DirectionName(static_cast<vdio_direction>(info.direction)),
                static_cast<unsigned>(info.address), static_cast<unsigned>(info.bit),
                info.active_low ? "yes" : "no");
  }
}

// ", lease 2s", ", no lease", and what the line is going through.
std::string DescribeClaim(const vdio_claim_info &info) {
  std::string text =
      info.lease_ms == 0
          ? ", no lease"
          : ", lease " + varnik::tools::FormatDuration(std::chrono::milliseconds(info.lease_ms));
  if (info.flags & VDIO_CLAIM_INFO_KEEP)
    text += ", kept as it is when released";
  else
    text += std::string(", safe value ") + (info.flags & VDIO_CLAIM_INFO_SAFE_VALUE ? "1" : "0");
  if (info.flags & VDIO_CLAIM_INFO_LEASE_OUT) text += ", lease out";
  if (info.flags & VDIO_CLAIM_INFO_PULSING) text += ", pulsing";
  return text;
}

// One row per output or LED that is claimed or pulsing:
//   CLAIM DO3: held by mixer (pid 1234), lease 2s, safe value 0
//   CLAIM DO5: pulsing
void PrintClaims(vdio_board *board) {
  for (int line = VDIO_DO0; line < VDIO_LINE_COUNT; ++line) {
    vdio_claim_info info{};
    info.size = sizeof info;
    const int held = vdio_get_claim(board, line, &info);
    if (held < 0) {
      std::printf("CLAIMS not known: %s\n", std::strerror(-held));
      return;
    }
    if (held == 1)
      std::printf("CLAIM %s: held by %s (pid %d)%s\n", vdio_line_name(line), info.consumer,
                  static_cast<int>(info.pid), DescribeClaim(info).c_str());
    else if (info.flags & VDIO_CLAIM_INFO_PULSING)
      std::printf("CLAIM %s: pulsing\n", vdio_line_name(line));
  }
}

std::string NanosecondsText(uint64_t ns) {
  if (ns % 1000 == 0) return varnik::tools::FormatDuration(std::chrono::microseconds(ns / 1000));
  char text[32];
  if (ns < 1'000'000)
    std::snprintf(text, sizeof text, "%.3fus", static_cast<double>(ns) / 1e3);
  else if (ns < 1'000'000'000)
    std::snprintf(text, sizeof text, "%.3fms", static_cast<double>(ns) / 1e6);
  else
    std::snprintf(text, sizeof text, "%.3fs", static_cast<double>(ns) / 1e9);
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
// with ", the latest 2.345ms after its time" once some were late.
void PrintSamplerLine(const vdio_sampler_info &info) {
  std::string late = std::to_string(info.late_samples) + " late";
  if (info.late_samples > 0) late += ", the latest " + NanosecondsText(info.worst_late_ns) + " after its time";
  std::printf("SAMPLER: every %s, realtime %s, frequency window %s; %" PRIu64 " samples, %s\n",
              NanosecondsText(info.interval_ns).c_str(),
              info.flags & VDIO_SAMPLER_REALTIME ? "yes" : "no",
              varnik::tools::FormatDuration(std::chrono::milliseconds(info.frequency_window_ms)).c_str(),
              info.samples, late.c_str());
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

// The sampler's figures and the inputs' debounces, as the service has them.
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

// The pin map needs no device: one that cannot be opened is named with the
// reason, and the verb still succeeds.
void PrintDevice(const std::string &device) {
  vdio_board *board = nullptr;
  const int opened = vdio_open(device.c_str(), &board);
  if (opened < 0) {
    const std::string hint = varnik::tools::DeviceErrorHint(device, -opened);
    std::printf("DEVICE %s: not opened: %s%s\n", device.c_str(), std::strerror(-opened),
                hint.empty() ? "" : (" (" + hint + ")").c_str());
    return;
  }
  std::printf("DEVICE %s: %s\n", device.c_str(), DeviceKindName(vdio_device_kind(board)));
  if (vdio_device_kind(board) == VDIO_DEVICE_SERVICE) {
    PrintClaims(board);
    PrintSampler(board);
  }
  vdio_close(board);
}

int RunInfo(const GlobalOptions &globals) {
  PrintPinMap();
  PrintDevice(globals.device);
  return 0;
}

}  // namespace

void AddInfoVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  CLI::App *info = app.add_subcommand(
      "info",
      "Print the pin map (name, direction, register address, bit, active-low) and the kind of "
      "device opened; through the board service, a row for each claimed or pulsing line: who "
      "holds it (consumer and pid), its lease and safe value, lease out, pulsing; then how the "
      "service samples the inputs (interval, realtime, frequency window, samples taken and "
      "those taken late, with the latest one's lateness) and each input's debounce");
  verbs.push_back(Verb{info, [&globals] { return RunInfo(globals); }});
}

}  // namespace dioctl
