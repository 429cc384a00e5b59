#include "discovery.h"

#include <nlohmann/json.hpp>

#include "varnik_dio_board.h"

namespace dio_mqttd {

namespace {

using nlohmann::json;

constexpr const char *kBinarySensor = "binary_sensor";
constexpr const char *kSwitch = "switch";
constexpr const char *kLight = "light";
constexpr const char *kSensor = "sensor";
constexpr const char *kUniquePrefix = "varnik-dio_";

bool IsInput(int line) { return line >= VDIO_DI0 && line <= VDIO_DI7; }
bool IsOutput(int line) { return line >= VDIO_DO0 && line <= VDIO_DO7; }

// "DO3" -> "do3": the names are ASCII.
std::string Lower(std::string text) {
  for (char &c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string ObjectOfLine(int line) { return Lower(vdio_line_name(line)); }
std::string ObjectOfCount(int input) { return ObjectOfLine(input) + "_count"; }

// What Home Assistant makes of a line when it can be written.
const char *WritableComponent(int line) { return IsOutput(line) ? kSwitch : kLight; }

std::string ConfigTopic(const Topics &topics, const DiscoverySettings &settings,
                        const std::string &component, const std::string &object) {
  return settings.discovery_prefix + "/" + component + "/" + topics.board_id() + "/" + object +
         "/config";
}

json DeviceBlock(const Topics &topics, const DiscoverySettings &settings) {
  return {{"identifiers", json::array({kUniquePrefix + topics.board_id()})},
          {"name", topics.board_id()},
          {"manufacturer", "varnik_dio"},
          {"model", "digital I/O board"},
          {"sw_version", settings.version}};
}

// What every entity of the board shares: its name, identity, availability.
json EntityBase(const Topics &topics, const DiscoverySettings &settings, const std::string &name,
                const std::string &object, const std::string &state_topic) {
  return {{"name", name},
          {"unique_id", kUniquePrefix + topics.board_id() + "_" + object},
          {"state_topic", state_topic},
          {"availability_topic", topics.Status()},
          {"payload_available", "online"},
          {"payload_not_available", "offline"},
          {"device", DeviceBlock(topics, settings)},
          {"origin", {{"name", "dio-mqttd"}, {"sw_version", settings.version}}}};
}

Message LineConfig(const Topics &topics, const DiscoverySettings &settings, int line) {
  const bool writable = !IsInput(line) && !settings.read_only;
  const std::string component = writable ? WritableComponent(line) : kBinarySensor;
  const std::string object = ObjectOfLine(line);
  json config = EntityBase(topics, settings, vdio_line_name(line), object, topics.Level(line));
  config["payload_on"] = "1";
  config["payload_off"] = "0";
  if (writable) config["command_topic"] = topics.Set(line);
  return {ConfigTopic(topics, settings, component, object), config.dump()};
}

Message CountConfig(const Topics &topics, const DiscoverySettings &settings, int input) {
  const std::string object = ObjectOfCount(input);
  json config = EntityBase(topics, settings, std::string(vdio_line_name(input)) + " count", object,
                           topics.Count(input));
  config["state_class"] = "total_increasing";
  return {ConfigTopic(topics, settings, kSensor, object), config.dump()};
}

Message Removal(const Topics &topics, const DiscoverySettings &settings,
                const std::string &component, const std::string &object) {
  return {ConfigTopic(topics, settings, component, object), ""};
}

}  // namespace

std::vector<Message> DiscoveryMessages(const Topics &topics, const DiscoverySettings &settings) {
  std::vector<Message> messages;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    messages.push_back(LineConfig(topics, settings, line));
    if (IsInput(line)) continue;
    // The entity the other mode would make of this line goes away.
    const std::string stale = settings.read_only ? WritableComponent(line) : kBinarySensor;
    messages.push_back(Removal(topics, settings, stale, ObjectOfLine(line)));
  }
  for (int input = VDIO_DI0; input <= VDIO_DI7; ++input)
    messages.push_back(settings.counts
                           ? CountConfig(topics, settings, input)
                           : Removal(topics, settings, kSensor, ObjectOfCount(input)));
  return messages;
}

std::vector<Message> DiscoveryRemovals(const Topics &topics, const DiscoverySettings &settings) {
  std::vector<Message> messages;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    messages.push_back(Removal(topics, settings, kBinarySensor, ObjectOfLine(line)));
    if (!IsInput(line))
      messages.push_back(Removal(topics, settings, WritableComponent(line), ObjectOfLine(line)));
  }
  for (int input = VDIO_DI0; input <= VDIO_DI7; ++input)
    messages.push_back(Removal(topics, settings, kSensor, ObjectOfCount(input)));
  return messages;
}

}  // namespace dio_mqttd
