// dioctl info: the pin map, from the board library, and what the device
// turned out to be: the memory device, a board file or the board service.
#include <cstdio>
#include <cstring>
#include <string>

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
      "device opened");
  verbs.push_back(Verb{info, [&globals] { return RunInfo(globals); }});
}

}  // namespace dioctl
