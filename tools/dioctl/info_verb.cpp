// dioctl info: the pin map, from the board library, and what the device
// turned out to be: the memory device, a board file or the board service;
// through the service, who holds which line, each input's debounce and how
// the service's sampler is doing.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "argument_parsing.h"
#include "board_handle.h"
#include "device_errors.h"
#include "line_names.h"
#include "sampler_report.h"
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
      "those taken late, with the worst lateness) and each input's debounce");
  verbs.push_back(Verb{info, [&globals] { return RunInfo(globals); }});
}

}  // namespace dioctl
