#include "bridge_options.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "argument_parsing.h"
#include "board_id.h"
#include "command_line.h"
#include "default_device.h"
#include "password_file.h"
#include "tool_messages.h"

namespace dio_mqttd {

namespace {

using varnik::tools::DurationRange;
using varnik::tools::NotEmpty;
using varnik::tools::ParseDuration;
using varnik::tools::ParseMask;
using varnik::tools::UsageError;

// libmosquitto refuses a keepalive under 5 s; MQTT's field ends at 65535 s.
constexpr DurationRange kKeepaliveRange{std::chrono::seconds(5), std::chrono::hours(18)};
constexpr DurationRange kStatsIntervalRange{std::chrono::milliseconds(100), std::chrono::hours(1)};
// Shorter than a second, the service's lease would run out whenever the
// machine holds the bridge up for a moment, and a broker that drops for a
// moment would put the outputs to their safe values.
constexpr DurationRange kLeaseRange{std::chrono::seconds(1), std::chrono::hours(1)};

}  // namespace

void AddBridgeOptions(CLI::App &app, OptionWords &words) {
  app.add_option("--device", words.device,
                 "The board service's socket, a simulated board's board file, or the memory "
                 "device (default: $VARNIK_DIO_DEVICE, else the service's socket "
                 "/run/varnik-dio/board.sock when it serves, else /dev/mem)")
      ->type_name("PATH")
      ->check(NotEmpty("device"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--broker", words.broker,
                 "The broker: mqtt://HOST[:PORT] (port 1883) or, with TLS, mqtts://HOST[:PORT] "
                 "(port 8883); an IPv6 address in brackets")
      ->type_name("URL")
      ->capture_default_str();
  app.add_option("--id", words.id,
                 "The board's id in the topics and the client id dio-mqttd-ID: letters, digits, "
                 "'-' and '_' (default: the host name up to its first dot)")
      ->type_name("BOARD_ID");
  app.add_option("--prefix", words.prefix,
                 "The first level(s) of every topic: PREFIX/ID/DO3")
      ->type_name("TOPIC")
      ->capture_default_str();
  app.add_option("--username", words.username, "The user name given to the broker")
      ->type_name("NAME")
      ->check(NotEmpty("user"));
  app.add_option("--password-file", words.password_file,
                 "A file whose first line is the broker password (needs --username; over "
                 "mqtt:// only to a broker on loopback)")
      ->type_name("FILE")
      ->check(NotEmpty("file"));
  app.add_option("--cafile", words.cafile,
                 "With mqtts://: the CA certificates (PEM) the broker's certificate must chain "
                 "to (default: the system's, /etc/ssl/certs)")
      ->type_name("FILE")
      ->check(NotEmpty("file"));
  app.add_option("--cert", words.cert,
                 "With mqtts://: this client's certificate (PEM), for a broker that asks for one")
      ->type_name("FILE")
      ->check(NotEmpty("file"));
  app.add_option("--key", words.key, "With --cert: its private key (PEM, unencrypted)")
      ->type_name("FILE")
      ->check(NotEmpty("file"));
  app.add_option("--keepalive", words.keepalive,
                 "How often the broker hears from the bridge at least; it declares the bridge "
                 "gone (and sends its last will) after 1.5 times this without a word (5s to 18h)")
      ->type_name("DURATION")
      ->capture_default_str();
  app.add_option("--discovery-prefix", words.discovery_prefix,
                 "Home Assistant's discovery prefix")
      ->type_name("TOPIC")
      ->capture_default_str();
  app.add_option("--ha-status-topic", words.ha_status_topic,
                 "Where Home Assistant says online when it starts: the discovery configs are "
                 "sent again then")
      ->type_name("TOPIC")
      ->capture_default_str();
  app.add_flag("--no-discovery", words.no_discovery,
               "Publish no discovery configs, and remove those an earlier run published");
  app.add_flag("--read-only", words.read_only,
               "Subscribe to no set topic: publish the board's levels, never write a line");
  app.add_option("--stats-interval", words.stats_interval,
                 "The inputs' counts and frequencies are published on change, at most this "
                 "often (100ms to 1h)")
      ->type_name("DURATION")
      ->capture_default_str();
  app.add_flag("--claim", words.claim,
               "Through the board service only: claim the outputs and LEDs, with --lease, so "
               "that the service puts the outputs to --safe-outputs (the LEDs dark) when the "
               "bridge ends, crashes or hangs; and put them there itself when the broker has "
               "been out of reach for longer than --lease");
  app.add_option("--safe-outputs", words.safe_outputs,
                 "With --claim: the outputs' safe values, bit n = DOn (default 0x00: all "
                 "inactive)")
      ->type_name("MASK");
  app.add_option("--lease", words.lease,
                 "With --claim, required: how long the bridge may hang, or the broker be out "
                 "of reach, before the outputs go to --safe-outputs (1s to 1h)")
      ->type_name("DURATION");
  app.add_flag("--check", words.check,
               "Check the options, the files they name and the board (opened and closed), "
               "print the warnings and exit, publishing nothing");
}

namespace {

// What the broker would refuse in a topic: bytes that are no UTF-8, control
// characters, more than 65535 bytes, wildcards.
void CheckTopicText(const std::string &option, const std::string &text) {
  const int length = static_cast<int>(std::min<size_t>(text.size(), INT_MAX));
  if (mosquitto_validate_utf8(text.c_str(), length) != MOSQ_ERR_SUCCESS)
    throw UsageError(option + ": not valid in an MQTT topic (no UTF-8, or a control character, "
                     "or longer than 65535 bytes); give plain text");
  if (mosquitto_pub_topic_check2(text.c_str(), text.size()) != MOSQ_ERR_SUCCESS)
    throw UsageError(option + " '" + text + "': not valid in an MQTT topic; leave out '+' and '#'");
}

// A topic the bridge publishes under: one or more whole levels, no
// wildcard, not one of the broker's own ($SYS/...).
std::string CheckTopicPrefix(const std::string &option, const std::string &text) {
  const auto refuse = [&](const std::string &why) {
    return UsageError(option + " '" + text + "': " + why);
  };
  if (text.empty()) throw refuse("empty; give a topic level such as varnik-dio");
  if (text.find_first_of("+#") != std::string::npos)
    throw refuse("'+' and '#' are wildcards, not part of a topic; leave them out");
  if (text.front() == '$')
    throw refuse("topics starting with '$' are the broker's own; choose another prefix");
  if (text.front() == '/' || text.back() == '/')
    throw refuse("a leading or trailing '/' makes an empty topic level; leave it out");
  if (text.find("//") != std::string::npos)
    throw refuse("'//' makes an empty topic level; leave one '/'");
  CheckTopicText(option, text);
  return text;
}

std::string CheckSubscribedTopic(const std::string &option, const std::string &text) {
  if (text.empty()) throw UsageError(option + ": an empty value names no topic");
  if (text.find_first_of("+#") != std::string::npos)
    throw UsageError(option + " '" + text + "': one topic is subscribed, not a pattern; leave "
                     "out '+' and '#'");
  CheckTopicText(option, text);
  return text;
}

std::chrono::seconds ParseKeepalive(const std::string &text) {
  const Microseconds keepalive = ParseDuration("--keepalive", text, kKeepaliveRange);
  if (keepalive % std::chrono::seconds(1) != Microseconds(0))
    throw UsageError("--keepalive " + text + ": whole seconds only, as 30s or 2m");
  return std::chrono::duration_cast<std::chrono::seconds>(keepalive);
}

// Checked now, so that --check finds a missing or unreadable file rather
// than the first connection.
void RequireReadable(const std::string &option, const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw UsageError(option + " " + path + ": " + std::strerror(errno) +
                     "; name a file the program's user can read");
  close(fd);
}

void ConvertTls(const OptionWords &words, BridgeOptions &options) {
  for (const auto &[option, path] : {std::pair{"--cafile", &words.cafile},
                                     {"--cert", &words.cert}, {"--key", &words.key}}) {
    if (path->empty()) continue;
    if (!options.broker.tls)
      throw UsageError(std::string(option) + " with " + words.broker +
                       ": TLS files are for an mqtts:// broker; give --broker mqtts://HOST");
    RequireReadable(option, *path);
  }
  if (words.cert.empty() != words.key.empty())
    throw UsageError(words.cert.empty() ? "--key without --cert: give the certificate too"
                                        : "--cert without --key: give its private key too");
  options.cafile = words.cafile;
  options.cert = words.cert;
  options.key = words.key;
}

void ConvertCredentials(const OptionWords &words, BridgeOptions &options) {
  options.username = words.username;
  if (words.password_file.empty()) return;
  if (words.username.empty())
    throw UsageError("--password-file without --username: give the user name the password is for");
  if (!options.broker.tls && !IsLoopbackHost(options.broker.host))
    throw UsageError("--password-file with " + words.broker + ": the password would cross the "
                     "network unencrypted; use --broker mqtts://" + options.broker.host);
  options.password = ReadPasswordFile(words.password_file);
  options.password_file = words.password_file;
}

void ConvertClaim(const OptionWords &words, BridgeOptions &options) {
  if (!words.claim) {
    if (!words.safe_outputs.empty())
      throw UsageError("--safe-outputs without --claim: only a claim puts the outputs to safe "
                       "values; add --claim --lease DURATION");
    if (!words.lease.empty())
      throw UsageError("--lease without --claim: the lease is the claim's; add --claim");
    return;
  }
  if (words.read_only)
    throw UsageError("--claim with --read-only: the bridge would hold the outputs and LEDs from "
                     "every other client and never write them; give one of them");
  if (words.lease.empty())
    throw UsageError("--claim without --lease: the lease is how long the broker may be out of "
                     "reach before the outputs go safe; add --lease DURATION, as --lease 10s");
  options.claim = true;
  options.lease = ParseDuration("--lease", words.lease, kLeaseRange);
  if (!words.safe_outputs.empty())
    options.safe_outputs = static_cast<uint8_t>(ParseMask(words.safe_outputs, 0xFF, "--safe-outputs"));
}

std::string ConvertBoardId(const std::string &id) {
  if (id.empty()) return DefaultBoardId();
  const std::string problem = BoardIdProblem(id);
  if (!problem.empty()) throw UsageError("--id '" + id + "': " + problem);
  CheckTopicText("--id", id);
  return id;
}

}  // namespace

BridgeOptions Convert(const OptionWords &words) {
  BridgeOptions options;
  options.device = words.device.empty() ? varnik::tools::DefaultDevice() : words.device;
  options.broker = ParseBrokerUrl(words.broker);
  options.board_id = ConvertBoardId(words.id);
  options.prefix = CheckTopicPrefix("--prefix", words.prefix);
  options.discovery_prefix = CheckTopicPrefix("--discovery-prefix", words.discovery_prefix);
  options.ha_status_topic = CheckSubscribedTopic("--ha-status-topic", words.ha_status_topic);
  options.keepalive = ParseKeepalive(words.keepalive);
  options.stats_interval = ParseDuration("--stats-interval", words.stats_interval, kStatsIntervalRange);
  options.discovery = !words.no_discovery;
  options.read_only = words.read_only;
  options.check = words.check;
  ConvertClaim(words, options);
  ConvertTls(words, options);
  ConvertCredentials(words, options);
  return options;
}

std::vector<std::string> Warnings(const BridgeOptions &options) {
  std::vector<std::string> warnings;
  if (!options.password_file.empty() && ReadableByOthers(options.password_file))
    warnings.push_back("warning: --password-file " + options.password_file +
                       " is readable by every user; chmod o-r it");
  if (!options.key.empty() && ReadableByOthers(options.key))
    warnings.push_back("warning: --key " + options.key +
                       " (a private key) is readable by every user; chmod o-r it");
  return warnings;
}

}  // namespace dio_mqttd
