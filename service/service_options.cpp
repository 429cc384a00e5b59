#include "service_options.h"

#include <sys/un.h>

#include <cctype>
#include <optional>

#include "argument_parsing.h"
#include "command_line.h"
#include "tool_messages.h"
#include "varnik_dio_board.h"

namespace dio_boardd {

namespace {

using varnik::tools::DurationRange;
using varnik::tools::NotEmpty;
using varnik::tools::ParseDuration;
using varnik::tools::ParseMask;
using varnik::tools::UsageError;

// The board's watcher limits, for the same kind of polling.
constexpr DurationRange kIntervalRange{std::chrono::milliseconds(1), std::chrono::seconds(10)};
// A watcher's bounds, for the same kind of debounce.
constexpr DurationRange kDebounceRange{std::chrono::microseconds(0),
                                       std::chrono::microseconds(VDIO_WATCH_MAX_DEBOUNCE_US)};
// Shorter holds too few edges to tell a frequency; longer makes it slow
// to follow a change.
constexpr DurationRange kFrequencyWindowRange{std::chrono::milliseconds(10),
                                              std::chrono::seconds(60)};
constexpr DurationRange kStateIntervalRange{std::chrono::seconds(1), std::chrono::hours(1)};
constexpr int kInputs = 8;
constexpr unsigned kAllOutputs = 0xFF;
constexpr unsigned kAllLeds = 0x7;  // LED1..LED3: a bit above names no LED
// sun_path holds the path and its terminating NUL.
constexpr size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

// "DI3" (in any case, as the board library takes it) as 3; nothing for
// any other name.
std::optional<int> InputNumber(const std::string &name) {
  const auto upper = [&](size_t at) { return std::toupper(static_cast<unsigned char>(name[at])); };
  if (name.size() != 3 || upper(0) != 'D' || upper(1) != 'I' || name[2] < '0' ||
      name[2] >= '0' + kInputs)
    return std::nullopt;
  return name[2] - '0';
}

// Every input's debounce from the words of --debounce: a duration for all of
// them (the last one given), a DIn=DURATION for one, which wins over it.
std::array<std::chrono::microseconds, kInputs> ParseDebounce(const std::vector<std::string> &words) {
  std::array<std::chrono::microseconds, kInputs> debounce{};
  std::array<std::optional<std::chrono::microseconds>, kInputs> own{};
  for (const std::string &word : words) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos) {
      debounce.fill(ParseDuration("--debounce", word, kDebounceRange));
      continue;
    }
    const auto input = InputNumber(word.substr(0, equals));
    if (!input)
      throw UsageError("--debounce: '" + word + "' names no input: give DURATION for every "
                       "input or DIn=DURATION for one (DI0..DI7), e.g. DI3=20ms");
    own[*input] = ParseDuration("--debounce " + word.substr(0, equals), word.substr(equals + 1),
                                kDebounceRange);
  }
  for (int n = 0; n < kInputs; ++n)
    if (own[n]) debounce[n] = *own[n];
  return debounce;
}

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
                 "How often every line is sampled for the watchers and for the inputs' counts, "
                 "frequencies, latches and on-times; outside changes are looked for at this "
                 "interval while anybody watches, every 100ms (or --interval if longer) while nobody "
                 "does")
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
  app.add_option("--debounce", words.debounce,
                 "The inputs' debounce for their counts, frequencies, latches and on-times: a "
                 "DURATION for all, DIn=DURATION for one (repeat it; one input's wins), from 0 "
                 "to 60s (default 0)")
      ->type_name("[DIn=]DURATION")
      ->allow_extra_args(false);
  app.add_option("--frequency-window", words.frequency_window,
                 "The sliding window of the inputs' frequencies, from 10ms to 60s")
      ->type_name("DURATION")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.add_option("--state-file", words.state_file,
                 "Where the inputs' figures are kept across restarts")
      ->type_name("PATH")
      ->check(NotEmpty("state file"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.add_option("--state-interval", words.state_interval,
                 "How often the state file is saved while serving (and at the stop), from 1s to "
                 "1h: a crash loses at most this much of the counts")
      ->type_name("DURATION")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->capture_default_str();
  app.add_flag("--realtime", words.realtime,
               "Run the inputs' sampler with SCHED_FIFO, when the system allows it");
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
  options.debounce = ParseDebounce(words.debounce);
  options.frequency_window =
      ParseDuration("--frequency-window", words.frequency_window, kFrequencyWindowRange);
  options.state_file = words.state_file;
  options.state_interval =
      ParseDuration("--state-interval", words.state_interval, kStateIntervalRange);
  options.realtime = words.realtime;
  options.check = words.check;
  return options;
}

}  // namespace dio_boardd
