// Home Assistant's MQTT discovery: one retained config message per entity,
// at DISCOVERY_PREFIX/COMPONENT/ID/OBJECT/config, so that the board
// appears with its entities without any configuration:
//
//   DI0..DI7        binary_sensor   OBJECT di0 .. di7
//   DO0..DO7        switch          OBJECT do0 .. do7     (binary_sensor with --read-only)
//   LED1..LED3      light           OBJECT led1 .. led3   (binary_sensor with --read-only)
//   DIn's count     sensor          OBJECT di0_count ..   (state_class total_increasing)
//
// Each payload: name, unique_id (varnik-dio_ID_OBJECT), state_topic,
// command_topic (switch, light), payload_on "1", payload_off "0",
// availability_topic (the status topic), a device block (identifiers from
// the board id, name, sw_version) and an origin block; full key names.
#ifndef DIO_MQTTD_DISCOVERY_H
#define DIO_MQTTD_DISCOVERY_H

#include <string>
#include <vector>

#include "topics.h"

namespace dio_mqttd {

struct Message {
  std::string topic;
  std::string payload;  // empty: removes a retained message
};

struct DiscoverySettings {
  std::string discovery_prefix = "homeassistant";
  bool read_only = false;
  bool counts = true;   // false: nobody keeps the inputs' counts (a board opened
                        // directly): no count sensors (and their configs removed)
  std::string version;  // the product's, for sw_version and the origin block
};

// The config messages of every entity, all to be published retained. With
// read_only, outputs and LEDs are binary_sensors, and the messages also
// remove their switch and light configs (and the other way round), so that
// a change of --read-only between runs leaves no stale entity.
std::vector<Message> DiscoveryMessages(const Topics &topics, const DiscoverySettings &settings);

// Empty retained payloads on every config topic DiscoveryMessages may have
// used: what --no-discovery publishes, removing an earlier run's entities.
std::vector<Message> DiscoveryRemovals(const Topics &topics, const DiscoverySettings &settings);

}  // namespace dio_mqttd

#endif
