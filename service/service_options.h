// dio-boardd's command line: the options as read, checked and converted.
#ifndef DIO_BOARDD_SERVICE_OPTIONS_H
#define DIO_BOARDD_SERVICE_OPTIONS_H

#include <sys/types.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace dio_boardd {

struct ServiceOptions {
  std::string device = "/dev/mem";
  std::string socket_path;
  std::string group_name;
  gid_t group = 0;
  std::chrono::microseconds interval{10000};
  unsigned max_clients = 64;
  std::optional<uint8_t> power_on_outputs;  // nothing: not written at start
  std::optional<uint8_t> power_on_leds;
  std::optional<uint8_t> stop_outputs;  // nothing: keep
  bool check = false;
};

// The words CLI11 fills in, converted by Convert once the parse succeeded.
struct OptionWords {
  std::string device = "/dev/mem";
  std::string socket_path = "/run/varnik-dio/board.sock";
  std::string group = "dio";
  std::string interval = "10ms";
  unsigned max_clients = 64;
  std::string power_on_outputs;
  std::string power_on_leds;
  std::string stop_outputs = "keep";
  bool check = false;
};

void AddServiceOptions(CLI::App &app, OptionWords &words);

// Throws varnik::tools::UsageError naming the option for a bad value. The
// group is looked up separately (ResolveGroup): a missing group is a
// problem of the machine, not of the command line.
ServiceOptions Convert(const OptionWords &words);

}  // namespace dio_boardd

#endif
