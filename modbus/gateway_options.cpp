#include "gateway_options.h"

#include "argument_parsing.h"
#include "command_line.h"
#include "default_device.h"
#include "tool_messages.h"
#include "varnik_dio_board.h"

namespace dio_modbusd {

namespace {

using varnik::tools::DurationRange;
using varnik::tools::NotEmpty;
using varnik::tools::ParseDuration;
using varnik::tools::ParseMask;
using varnik::tools::UsageError;

constexpr DurationRange kIdleTimeoutRange{Microseconds(0), std::chrono::hours(24)};
constexpr DurationRange kWatchdogRange{std::chrono::milliseconds(1), std::chrono::hours(1)};
// The board's watcher limits, for the same kind of polling.
constexpr DurationRange kPollIntervalRange{std::chrono::milliseconds(1), std::chrono::seconds(10)};
constexpr DurationRange kDebounceRange{Microseconds(0), std::chrono::seconds(60)};
// The service's lease on a claim is the watchdog: shorter than this, it
// would run out whenever the machine holds the gateway up for a moment.
constexpr Microseconds kShortestLease = std::chrono::milliseconds(100);

}  // namespace

void AddGatewayOptions(CLI::App &app, OptionWords &words) {
  app.add_option("--device", words.device,
                 "The memory device, a simulated board's board file, or the board service's "
                 "socket (default: $VARNIK_DIO_DEVICE, else the service's socket "
                 "/run/varnik-dio/board.sock when it serves, else /dev/mem)")
      ->type_name("PATH")
      ->check(NotEmpty("device"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // as dioctl: the last one wins
  app.add_option("--listen", words.listen,
                 "Address and port to listen on; port 0 lets the kernel choose")
      ->type_name("ADDRESS:PORT")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.add_option("--unit-id", words.unit_id, "Unit id answered besides 255")
      ->type_name("N")
      ->check(CLI::Range(0u, 255u))
      ->capture_default_str();
  app.add_flag("--check", words.check,
               "Read the options, print the warnings and exit, touching neither network nor board");
  app.add_option("--allow", words.allow,
                 "Accept connections only from this address or network (repeatable)")
      ->type_name("CIDR")
      ->allow_extra_args(false);
  app.add_flag("--read-only", words.read_only, "Answer every write with exception 0x01");
  app.add_option("--max-clients", words.max_clients,
                 "Connections served at once; further ones are closed at once")
      ->type_name("N")
      ->check(CLI::Range(1u, 1000u))
      ->capture_default_str();
  app.add_option("--idle-timeout", words.idle_timeout,
                 "Close a connection that sends no complete request for this long (0s: never)")
      ->type_name("DURATION")
      ->capture_default_str();
  app.add_option("--watchdog", words.watchdog,
                 "Put the outputs into their safe state when no valid request came for this long")
      ->type_name("DURATION");
  app.add_option("--safe-outputs", words.safe_outputs,
                 "The outputs' safe state, under --watchdog or --claim, bit n = DOn (default "
                 "0x00: all inactive)")
      ->type_name("MASK");
  app.add_flag("--claim", words.claim,
               "Through the board service only: claim the outputs and LEDs, so that no other "
               "client writes them, and have the service put the outputs to --safe-outputs (the "
               "LEDs dark) whenever the gateway ends, even killed or crashed, and, with "
               "--watchdog, when it hangs that long; so --safe-outputs needs no --watchdog here");
  app.add_flag("--claim-with-watchdog", words.claim_with_watchdog,
               "--claim when --watchdog is given, nothing otherwise: for an options file that "
               "may set a watchdog or not");
  app.add_option("--power-on-outputs", words.power_on_outputs,
                 "Set the outputs to this mask at start (default: leave them as they are)")
      ->type_name("MASK");
  app.add_option("--poll-interval", words.poll_interval,
                 "How often the inputs are polled for the counters (default 10ms); on a board "
                 "opened directly only: the board service counts with its own --interval")
      ->type_name("DURATION")
      ->check(NotEmpty("duration"));
  app.add_option("--debounce", words.debounce,
                 "How long an input's new level must hold to count (default 0s); on a board "
                 "opened directly only: the board service counts with its own --debounce")
      ->type_name("DURATION")
      ->check(NotEmpty("duration"));
  app.add_flag("--log-requests", words.log_requests, "One line on standard error per request");
  // For bench/run-modbus-bench only: the same server, answering from memory.
  app.add_flag("--benchmark-without-board", words.memory_lines)->group("");
}

namespace {

// Through the service the inputs are counted by its sampler, for every
// client alike: the gateway's own polling settings would change nothing.
void CheckCounting(const OptionWords &words, const std::string &device) {
  if (words.memory_lines || !varnik::tools::IsServiceSocket(device)) return;
  for (const auto &[option, value] :
       {std::pair{"--poll-interval", &words.poll_interval}, {"--debounce", &words.debounce}})
    if (!value->empty())
      throw UsageError(std::string(option) + " with the board service's socket as --device: the "
                       "service counts the inputs for every client, at its own --interval and "
                       "--debounce (see dio-boardd(8)); leave " + option + " out");
}

void CheckClaim(ServerSettings &server) {
  if (server.read_only)
    throw UsageError("--claim with --read-only: the gateway would hold the outputs and LEDs "
                     "from every other client and never write them; give one of them");
  if (server.watchdog && *server.watchdog < kShortestLease)
    throw UsageError("--claim with --watchdog below 100ms: the board service's lease, the "
                     "watchdog's length, would run out whenever the gateway waits a moment; "
                     "give a longer --watchdog");
  server.lease = server.watchdog;
}

}  // namespace

GatewayOptions Convert(const OptionWords &words) {
  GatewayOptions options;
  options.device = words.device.empty() ? varnik::tools::DefaultDevice() : words.device;
  options.listen = ParseListenAddress("--listen", words.listen);
  options.check = words.check;
  options.memory_lines = words.memory_lines;
  ServerSettings &server = options.server;
  server.unit_id = static_cast<uint8_t>(words.unit_id);
  server.read_only = words.read_only;
  for (const std::string &range : words.allow)
    server.allow.push_back(AddressRange::Parse("--allow", range));
  server.max_clients = words.max_clients;
  const Microseconds idle = ParseDuration("--idle-timeout", words.idle_timeout, kIdleTimeoutRange);
  if (idle.count() > 0) server.idle_timeout = idle;
  if (!words.watchdog.empty())
    server.watchdog = ParseDuration("--watchdog", words.watchdog, kWatchdogRange);
  if (!words.safe_outputs.empty())
    server.safe_outputs = static_cast<uint8_t>(ParseMask(words.safe_outputs, 0xFF, "--safe-outputs"));
  if (!words.power_on_outputs.empty())
    options.power_on_outputs =
        static_cast<uint8_t>(ParseMask(words.power_on_outputs, 0xFF, "--power-on-outputs"));
  if (!words.poll_interval.empty())
    server.poll_interval = ParseDuration("--poll-interval", words.poll_interval, kPollIntervalRange);
  if (!words.debounce.empty())
    server.debounce = ParseDuration("--debounce", words.debounce, kDebounceRange);
  CheckCounting(words, options.device);
  server.log_requests = words.log_requests;
  if (server.read_only && server.watchdog)
    throw UsageError("--read-only with --watchdog: once tripped, the watchdog is cleared only by "
                     "a write to the outputs, which --read-only refuses; give one of them");
  server.claimed = words.claim || (words.claim_with_watchdog && server.watchdog);
  if (server.claimed) CheckClaim(server);
  return options;
}

std::vector<std::string> Warnings(const GatewayOptions &options, const OptionWords &words) {
  std::vector<std::string> warnings;
  if (!IsLoopback(options.listen) && options.server.allow.empty())
    warnings.push_back("warning: listening on " + words.listen +
                       " beyond loopback with no --allow: any host that reaches it may drive the "
                       "outputs; name the controllers with --allow CIDR");
  if (!words.safe_outputs.empty() && !options.server.watchdog && !options.server.claimed)
    warnings.push_back("warning: --safe-outputs has no effect without --watchdog");
  if (options.server.read_only && options.power_on_outputs)
    warnings.push_back("warning: --read-only with --power-on-outputs: the outputs are set at "
                       "start, and no client can change them");
  return warnings;
}

}  // namespace dio_modbusd
