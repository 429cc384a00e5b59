// dio-modbusd's command line: the options as read, checked and converted,
// and the warnings a configuration deserves.
#ifndef DIO_MODBUSD_GATEWAY_OPTIONS_H
#define DIO_MODBUSD_GATEWAY_OPTIONS_H

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server.h"
#include "socket_address.h"

namespace dio_modbusd {

struct GatewayOptions {
  std::string device = "/dev/mem";
  SocketAddress listen;
  bool check = false;
  std::optional<uint8_t> power_on_outputs;
  bool memory_lines = false;  // the benchmark's baseline: no board at all
  ServerSettings server;
};

// The words CLI11 fills in, converted by Convert once the parse succeeded.
struct OptionWords {
  std::string device;  // empty: not given, the board library's default device
  std::string listen = "127.0.0.1:502";
  unsigned unit_id = 1;
  bool check = false;
  std::vector<std::string> allow;
  bool read_only = false;
  unsigned max_clients = 16;
  std::string idle_timeout = "60s";
  std::string watchdog;
  std::string safe_outputs;
  std::string power_on_outputs;
  std::string poll_interval;  // empty: not given, 10ms
  std::string debounce;       // empty: not given, 0s
  bool log_requests = false;
  bool claim = false;
  bool claim_with_watchdog = false;
  bool memory_lines = false;
};

void AddGatewayOptions(CLI::App &app, OptionWords &words);

// Throws varnik::tools::UsageError naming the option for a bad value.
GatewayOptions Convert(const OptionWords &words);

// One line each, without the program's name.
std::vector<std::string> Warnings(const GatewayOptions &options, const OptionWords &words);

}  // namespace dio_modbusd

#endif
