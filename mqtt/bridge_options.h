// dio-mqttd's command line: the options as read, checked and converted,
// and the warnings a configuration deserves.
#ifndef DIO_MQTTD_BRIDGE_OPTIONS_H
#define DIO_MQTTD_BRIDGE_OPTIONS_H

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "broker_url.h"
#include "clock.h"

namespace dio_mqttd {

using varnik::tools::Microseconds;

// Everything the bridge needs, checked.
struct BridgeOptions {
  std::string device;  // as given, else vdio_open(NULL)'s choice (the service's socket, ...)
  BrokerUrl broker;    // mqtt://127.0.0.1:1883
  std::string board_id;                // letters, digits, '-' and '_'
  std::string prefix = "varnik-dio";   // no '+', '#', leading '$'
  std::string username;                // empty: none
  std::optional<std::string> password; // read from --password-file
  std::string password_file;           // where it was read; empty: none
  std::string cafile, cert, key;       // TLS files; empty: not given
  std::chrono::seconds keepalive{30};
  std::string discovery_prefix = "homeassistant";
  std::string ha_status_topic = "homeassistant/status";
  bool discovery = true;  // false: --no-discovery, which also removes an earlier run's
  bool read_only = false;
  bool check = false;     // --check: options and files checked, then exit
  Microseconds stats_interval = std::chrono::seconds(1);
  bool claim = false;
  uint8_t safe_outputs = 0;               // bit n: DOn's safe value
  std::optional<Microseconds> lease;      // with --claim, always given
};

// The words CLI11 fills in, converted by Convert once the parse succeeded.
struct OptionWords {
  std::string device;
  std::string broker = "mqtt://127.0.0.1:1883";
  std::string id;  // empty: the host name up to its first dot
  std::string prefix = "varnik-dio";
  std::string username;
  std::string password_file;
  std::string cafile, cert, key;
  std::string keepalive = "30s";
  std::string discovery_prefix = "homeassistant";
  std::string ha_status_topic = "homeassistant/status";
  bool no_discovery = false;
  bool read_only = false;
  bool check = false;
  std::string stats_interval = "1s";
  bool claim = false;
  std::string safe_outputs;
  std::string lease;
};

void AddBridgeOptions(CLI::App &app, OptionWords &words);

// Throws varnik::tools::UsageError naming the option for a bad value (and
// for a password over plain mqtt:// to a broker not on loopback).
BridgeOptions Convert(const OptionWords &words);

// One line each, without the program's name.
std::vector<std::string> Warnings(const BridgeOptions &options);

}  // namespace dio_mqttd

#endif
