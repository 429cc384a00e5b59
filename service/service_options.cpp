#include "service_options.h"

#include <sys/un.h>

#include "argument_parsing.h"
#include "command_line.h"
#include "tool_messages.h"

namespace dio_boardd {

namespace {

using varnik::tools::DurationRange;
using varnik::tools::NotEmpty;
using varnik::tools::ParseDuration;
using varnik::tools::ParseMask;
using varnik::tools::UsageError;

// The board's watcher limits, for the same kind of polling.
constexpr DurationRange kIntervalRange{std::chrono::milliseconds(1), std::chrono::seconds(10)};
constexpr unsigned kAllOutputs = 0xFF;
constexpr unsigned kAllLeds = 0x7;  // LED1..LED3: a bit above names no LED
// sun_path holds the path and its terminating NUL.
constexpr size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

}  // namespace

void AddServiceOptions(CLI::App &app, OptionWords &words) {
  app.add_option("--device", words.device, "The memory device, or a simulated board's board file")
      ->type_name("PATH")
      ->check(NotEmpty("device"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.add_option("--socket", words.socket_path, "The Unix socket the board is served on")
      ->type_name("PATH")
      ->check(NotEmpty("socket"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.add_option("--group", words.group, "The group whose members may use the socket")
      ->type_name("NAME")
      ->check(NotEmpty("group"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.add_option("--interval", words.interval,
                 "How often every line is sampled for the watchers and for outside changes")
      ->type_name("DURATION")
      ->capture_default_str();
  app.add_option("--max-clients", words.max_clients,
                 "Connections served at once; a further hello is refused")
      ->type_name("N")
      ->check(CLI::Range(1u, 1000u))
      ->capture_default_str();
  app.add_option("--power-on-outputs", words.power_on_outputs,
                 "Set DO0..DO7 to this mask (bit n = DOn) once, before the service says it is "
                 "ready (default: leave them as they are)")
      ->type_name("MASK")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--power-on-leds", words.power_on_leds,
                 "Set LED1..LED3 to this mask (bit n = LED n+1) once, before the service says it "
                 "is ready (default: leave them as they are)")
      ->type_name("MASK")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--stop-outputs", words.stop_outputs,
                 "On stop, after every claim's safe values: keep the outputs nobody claimed as "
                 "they are, or set them to this mask")
      ->type_name("keep|MASK")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.add_flag("--check", words.check,
               "Read the options, look up the group and exit, touching neither socket nor board");
}

ServiceOptions Convert(const OptionWords &words) {
  ServiceOptions options;
  options.device = words.device;
  if (words.socket_path.size() > kMaxSocketPath)
    throw UsageError("--socket: " + words.socket_path + " is " +
                     std::to_string(words.socket_path.size()) + " bytes long, a Unix socket's "
                     "path at most " + std::to_string(kMaxSocketPath) +
                     "; choose a shorter path");
  options.socket_path = words.socket_path;
  options.group_name = words.group;
  options.interval = ParseDuration("--interval", words.interval, kIntervalRange);
  options.max_clients = words.max_clients;
  if (!words.power_on_outputs.empty())
    options.power_on_outputs =
        static_cast<uint8_t>(ParseMask(words.power_on_outputs, kAllOutputs, "--power-on-outputs"));
  if (!words.power_on_leds.empty())
    options.power_on_leds =
        static_cast<uint8_t>(ParseMask(words.power_on_leds, kAllLeds, "--power-on-leds"));
  if (words.stop_outputs != "keep")
    options.stop_outputs =
        static_cast<uint8_t>(ParseMask(words.stop_outputs, kAllOutputs, "--stop-outputs"));
  options.check = words.check;
  return options;
}

}  // namespace dio_boardd
