// dio-boardd's command line: the options as read, checked and converted.
#ifndef DIO_BOARDD_SERVICE_OPTIONS_H
#define DIO_BOARDD_SERVICE_OPTIONS_H

#include <sys/types.h>

#include <CLI/CLI.hpp>
#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
  // The inputs' functions: each input's debounce (DI0..DI7), the
  // frequencies' window, the state file and how often it is saved.
  std::array<std::chrono::microseconds, 8> debounce{};
  std::chrono::microseconds frequency_window{1000000};
  std::string state_file;
  std::chrono::microseconds state_interval{60000000};
  bool realtime = false;
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
  std::vector<std::string> debounce;  // "20ms" for all, "DI3=20ms" for one
  std::string frequency_window = "1s";
  std::string state_file = "/var/lib/varnik-dio/inputs.state";
  std::string state_interval = "60s";
  bool realtime = false;
  bool check = false;
};

void AddServiceOptions(CLI::App &app, OptionWords &words);

// Throws varnik::tools::UsageError naming the option for a bad value. The
// group is looked up separately (ResolveGroup): a missing group is a
// problem of the machine, not of the command line.
ServiceOptions Convert(const OptionWords &words);

}  // namespace dio_boardd

#endif
