// dioctl info: the pin map, from the board library, without opening the
// device.
#include <cstdio>

#include "line_names.h"
#include "varnik_dio_board.h"
#include "verbs.h"

namespace dioctl {

namespace {

int RunInfo() {
  std::printf("%-5s %-9s %-10s %-3s %s\n", "LINE", "DIRECTION", "ADDRESS", "BIT", "ACTIVE-LOW");
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    vdio_line_info info{};
    vdio_get_line_info(line, &info);
    std::printf("%-5s %-9s 0x%08x %-3u %s\n", info.name, DirectionName(static_cast<vdio_direction>(info.direction)),
                static_cast<unsigned>(info.address), static_cast<unsigned>(info.bit),
                info.active_low ? "yes" : "no");
  }
  return 0;
}

}  // namespace

void AddInfoVerb(CLI::App &app, VerbList &verbs) {
  CLI::App *info = app.add_subcommand(
      "info", "Print the pin map: name, direction, register address, bit, active-low");
  verbs.push_back(Verb{info, RunInfo});
}

}  // namespace dioctl
