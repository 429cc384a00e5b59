// The bridge's parts on their own: topics, levels, the broker's address,
// discovery, the reconnect backoff, the ignored-message log.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "broker_url.h"
#include "discovery.h"
#include "ignored_message_log.h"
#include "reconnect_backoff.h"
#include "tool_messages.h"
#include "topics.h"

namespace dio_mqttd {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using varnik::tools::TimePoint;
using varnik::tools::UsageError;

TEST(MqttTopics, NamesEveryTopicUnderPrefixAndBoard) {
  const Topics topics("varnik-dio", "plant-7");
  EXPECT_EQ(topics.Status(), "varnik-dio/plant-7/status");
  EXPECT_EQ(topics.Level(3), "varnik-dio/plant-7/DI3");
  EXPECT_EQ(topics.Level(11), "varnik-dio/plant-7/DO3");
  EXPECT_EQ(topics.Level(16), "varnik-dio/plant-7/LED1");
  EXPECT_EQ(topics.Set(18), "varnik-dio/plant-7/LED3/set");
  EXPECT_EQ(topics.SetFilter(), "varnik-dio/plant-7/+/set");
  EXPECT_EQ(topics.Count(3), "varnik-dio/plant-7/DI3/count");
  EXPECT_EQ(topics.Frequency(7), "varnik-dio/plant-7/DI7/frequency");
}

TEST(MqttTopics, LineOfSetMatchesOnlyThisBoardsSetTopics) {
  const Topics topics("site/hall", "b1");
  for (int line = 0; line < 19; ++line) EXPECT_EQ(topics.LineOfSet(topics.Set(line)), line);
  for (const char *other :
       {"site/hall/b2/DO3/set", "site/hall/b1/do3/set", "site/hall/b1/DO8/set",
        "site/hall/b1/DO3", "site/hall/b1/DO3/set/x", "site/hall/b1/x/DO3/set",
        "site/hall/b1//set", "site/hall/b1/set", "other/b1/DO3/set", "site/hall/b1/DO3/SET",
        "site/hall/b1/status", ""})
    EXPECT_EQ(topics.LineOfSet(other), std::nullopt) << other;
}

TEST(MqttLevelPayload, TakesZeroOneOnOffInAnyCaseOnly) {
  for (const char *on : {"1", "on", "ON", "On", "oN"}) EXPECT_EQ(ParseLevelPayload(on), 1) << on;
  for (const char *off : {"0", "off", "OFF", "oFf"}) EXPECT_EQ(ParseLevelPayload(off), 0) << off;
  for (const char *bad : {"", " 1", "1 ", "1\n", "2", "01", "true", "onn", "of", "-1"})
    EXPECT_EQ(ParseLevelPayload(bad), std::nullopt) << '"' << bad << '"';
  EXPECT_EQ(ParseLevelPayload(std::string_view("1\0", 2)), std::nullopt);
}

TEST(MqttFrequency, ShowsHertzWithThreeDecimals) {
  EXPECT_EQ(FormatFrequency(0), "0.000");
  EXPECT_EQ(FormatFrequency(7), "0.007");
  EXPECT_EQ(FormatFrequency(1050), "1.050");
  EXPECT_EQ(FormatFrequency(12345), "12.345");
  EXPECT_EQ(FormatFrequency(4294967295u), "4294967.295");
}

TEST(MqttBrokerUrl, ReadsSchemeHostAndPort) {
  struct Case {
    const char *text;
    bool tls;
    const char *host;
    int port;
    const char *formatted;
  };
  for (const Case &c : {
           Case{"mqtt://127.0.0.1:1883", false, "127.0.0.1", 1883, "mqtt://127.0.0.1:1883"},
           Case{"mqtt://broker.example", false, "broker.example", 1883, "mqtt://broker.example:1883"},
           Case{"mqtts://broker.example", true, "broker.example", 8883, "mqtts://broker.example:8883"},
           Case{"mqtts://hub_2:18884", true, "hub_2", 18884, "mqtts://hub_2:18884"},
           Case{"mqtt://[::1]:1884", false, "::1", 1884, "mqtt://[::1]:1884"},
           Case{"mqtts://[fe80::1]", true, "fe80::1", 8883, "mqtts://[fe80::1]:8883"},
           Case{"mqtt://h:65535", false, "h", 65535, "mqtt://h:65535"},
       }) {
    const BrokerUrl url = ParseBrokerUrl(c.text);
    EXPECT_EQ(url.tls, c.tls) << c.text;
    EXPECT_EQ(url.host, c.host) << c.text;
    EXPECT_EQ(url.port, c.port) << c.text;
    EXPECT_EQ(FormatBrokerUrl(url), c.formatted);
  }
}

TEST(MqttBrokerUrl, RefusesWhatIsNoBrokerAddressNamingTheOption) {
  struct Case {
    const char *text;
    const char *problem;
  };
  for (const Case &c : {
           Case{"tcp://h:1883", "is not mqtt://HOST"},
           Case{"h:1883", "is not mqtt://HOST"},
           Case{"MQTT://h", "is not mqtt://HOST"},
           Case{"mqtt://", "has no host"},
           Case{"mqtt://:1883", "has no host"},
           Case{"mqtt://h:0", "port 0"},
           Case{"mqtt://h:65536", "port 65536"},
           Case{"mqtt://h:abc", "no port number"},
           Case{"mqtt://h:", "no port number"},
           Case{"mqtt://h:-1", "no port number"},
           Case{"mqtt://h:1883/x", "a path"},
           Case{"mqtt://h/", "a path"},
           Case{"mqtt://::1", "brackets"},
           Case{"mqtt://[::1", "without its ']'"},
           Case{"mqtt://[nope]:1", "no numeric IPv6"},
           Case{"mqtt://[::1]x", "other than ':PORT'"},
           Case{"mqtt://user@h", "--username"},
       }) {
    try {
      ParseBrokerUrl(c.text);
      ADD_FAILURE() << c.text << " was taken";
    } catch (const UsageError &error) {
      const std::string message = error.what();
      EXPECT_EQ(message.rfind("--broker: '" + std::string(c.text) + "'", 0), 0u) << message;
      EXPECT_NE(message.find(c.problem), std::string::npos) << message;
    }
  }
}

TEST(MqttBrokerUrl, TellsLoopbackFromTheNameAlone) {
  for (const char *loopback :
       {"localhost", "LocalHost", "127.0.0.1", "127.1.2.3", "::1", "[::1]", "::ffff:127.0.0.1"})
    EXPECT_TRUE(IsLoopbackHost(loopback)) << loopback;
  for (const char *remote : {"192.168.1.2", "example.com", "128.0.0.1", "::2", "[fe80::1]",
                             "localhost.example.com", "127.0.0.1.example.com", ""})
    EXPECT_FALSE(IsLoopbackHost(remote)) << remote;
}

TEST(MqttReconnectBackoff, DoublesFromOneSecondToAMinuteAndStartsOverOnReset) {
  ReconnectBackoff backoff;
  for (int round = 0; round < 2; ++round) {
    for (int wait : {1, 2, 4, 8, 16, 32, 60, 60, 60}) EXPECT_EQ(backoff.NextWait(), seconds(wait));
    backoff.Reset();
  }
  backoff.NextWait();
  backoff.NextWait();
  backoff.Reset();
  EXPECT_EQ(backoff.NextWait(), seconds(1));
}

TEST(MqttIgnoredMessageLog, NamesOneMessageAnIntervalAndCountsTheRest) {
  IgnoredMessageLog log(seconds(10));
  const TimePoint start{seconds(1000)};
  const char *reason = "not a level: use 0, 1, ON or OFF";
  EXPECT_EQ(log.Tick(start), std::nullopt);
  EXPECT_EQ(log.Ignored("p/b/DO3/set", "2", reason, start),
            "ignored p/b/DO3/set \"2\": not a level: use 0, 1, ON or OFF");
  EXPECT_EQ(log.Ignored("p/b/DO3/set", "3", reason, start + seconds(1)), std::nullopt);
  EXPECT_EQ(log.Ignored("p/b/DI1/set", "1", "an input", start + seconds(9)), std::nullopt);
  EXPECT_EQ(log.Tick(start + seconds(9)), std::nullopt);
  EXPECT_EQ(log.Tick(start + milliseconds(12'500)), "ignored 2 more messages in the last 12.5s");
  EXPECT_EQ(log.Tick(start + seconds(30)), std::nullopt);  // none since

  // The count line was that interval's line; after a quiet one, a name again.
  const TimePoint later = start + milliseconds(12'500);
  EXPECT_EQ(log.Ignored("p/b/DO3/set", "x", reason, later + seconds(2)), std::nullopt);
  EXPECT_EQ(log.Ignored("p/b/DO3/set", "y", reason, later + seconds(10)),
            "ignored p/b/DO3/set \"y\": not a level: use 0, 1, ON or OFF (and 1 more message "
            "before it)");
  EXPECT_EQ(log.Ignored("p/b/DO3/set", "z", reason, later + seconds(21)),
            "ignored p/b/DO3/set \"z\": not a level: use 0, 1, ON or OFF");
}

TEST(MqttIgnoredMessageLog, ShowsPayloadsEscapedAndCut) {
  const TimePoint start{seconds(1)};
  const auto shown = [&](std::string_view payload) {
    IgnoredMessageLog log(seconds(10));
    return log.Ignored("t", payload, "r", start).value_or("(nothing)");
  };
  EXPECT_EQ(shown(""), "ignored t \"\": r");
  EXPECT_EQ(shown(" on\n"), "ignored t \" on\\x0a\": r");
  EXPECT_EQ(shown(std::string_view("a\0\"\\\xff", 5)), "ignored t \"a\\x00\\\"\\\\\\xff\": r");
  EXPECT_EQ(shown("\x7f\x80\xc3\xa9"), "ignored t \"\\x7f\\x80\\xc3\\xa9\": r");
  EXPECT_EQ(shown(std::string(64, 'a')), "ignored t \"" + std::string(64, 'a') + "\": r");
  EXPECT_EQ(shown(std::string(300, 'b')),
            "ignored t \"" + std::string(64, 'b') + "\"... (300 bytes): r");
  IgnoredMessageLog log(seconds(10));
  EXPECT_EQ(log.Ignored("p/\x1b[2J/set", "1", "r", start), "ignored p/\\x1b[2J/set \"1\": r");
}

// Config topic -> payload; a topic published twice is a fault.
std::map<std::string, std::string> ByTopic(const std::vector<Message> &messages) {
  std::map<std::string, std::string> by_topic;
  for (const Message &message : messages)
    EXPECT_TRUE(by_topic.emplace(message.topic, message.payload).second) << message.topic;
  return by_topic;
}

std::set<std::string> Configured(const std::map<std::string, std::string> &by_topic) {
  std::set<std::string> topics;
  for (const auto &[topic, payload] : by_topic)
    if (!payload.empty()) topics.insert(topic);
  return topics;
}

std::set<std::string> Removed(const std::map<std::string, std::string> &by_topic) {
  std::set<std::string> topics;
  for (const auto &[topic, payload] : by_topic)
    if (payload.empty()) topics.insert(topic);
  return topics;
}

// ha/COMPONENT/b7/OBJECT/config for each object.
std::set<std::string> ConfigTopics(const std::string &component,
                                   std::initializer_list<std::string> objects) {
  std::set<std::string> topics;
  for (const std::string &object : objects) topics.insert("ha/" + component + "/b7/" + object + "/config");
  return topics;
}

std::set<std::string> Joined(std::initializer_list<std::set<std::string>> sets) {
  std::set<std::string> all;
  for (const auto &set : sets) all.insert(set.begin(), set.end());
  return all;
}

const std::initializer_list<std::string> kInputs = {"di0", "di1", "di2", "di3",
                                                    "di4", "di5", "di6", "di7"};
const std::initializer_list<std::string> kOutputs = {"do0", "do1", "do2", "do3",
                                                     "do4", "do5", "do6", "do7"};
const std::initializer_list<std::string> kLeds = {"led1", "led2", "led3"};
const std::initializer_list<std::string> kCounts = {"di0_count", "di1_count", "di2_count",
                                                    "di3_count", "di4_count", "di5_count",
                                                    "di6_count", "di7_count"};

DiscoverySettings Settings(bool read_only, bool counts) {
  DiscoverySettings settings;
  settings.discovery_prefix = "ha";
  settings.read_only = read_only;
  settings.counts = counts;
  settings.version = "3.1.4";
  return settings;
}

const json kDevice = {{"identifiers", {"varnik-dio_b7"}},
                      {"name", "b7"},
                      {"manufacturer", "varnik_dio"},
                      {"model", "digital I/O board"},
                      {"sw_version", "3.1.4"}};

// The fields every entity of board b7 shares.
json Entity(const std::string &name, const std::string &object, const std::string &state_topic) {
  return {{"name", name},
          {"unique_id", "varnik-dio_b7_" + object},
          {"state_topic", state_topic},
          {"availability_topic", "site/b7/status"},
          {"payload_available", "online"},
          {"payload_not_available", "offline"},
          {"device", kDevice},
          {"origin", {{"name", "dio-mqttd"}, {"sw_version", "3.1.4"}}}};
}

json Parsed(const std::map<std::string, std::string> &by_topic, const std::string &topic) {
  const auto found = by_topic.find(topic);
  if (found == by_topic.end()) {
    ADD_FAILURE() << "no message on " << topic;
    return json();
  }
  return json::parse(found->second);
}

TEST(MqttDiscovery, DescribesEachKindOfEntityFieldByField) {
  const Topics topics("site", "b7");
  const auto by_topic = ByTopic(DiscoveryMessages(topics, Settings(false, true)));

  json input = Entity("DI3", "di3", "site/b7/DI3");
  input["payload_on"] = "1";
  input["payload_off"] = "0";
  EXPECT_EQ(Parsed(by_topic, "ha/binary_sensor/b7/di3/config"), input);

  json output = Entity("DO3", "do3", "site/b7/DO3");
  output["payload_on"] = "1";
  output["payload_off"] = "0";
  output["command_topic"] = "site/b7/DO3/set";
  EXPECT_EQ(Parsed(by_topic, "ha/switch/b7/do3/config"), output);

  json led = Entity("LED1", "led1", "site/b7/LED1");
  led["payload_on"] = "1";
  led["payload_off"] = "0";
  led["command_topic"] = "site/b7/LED1/set";
  EXPECT_EQ(Parsed(by_topic, "ha/light/b7/led1/config"), led);

  json count = Entity("DI3 count", "di3_count", "site/b7/DI3/count");
  count["state_class"] = "total_increasing";
  EXPECT_EQ(Parsed(by_topic, "ha/sensor/b7/di3_count/config"), count);
}

TEST(MqttDiscovery, NamesEveryEntityByItsObject) {
  const Topics topics("site", "b7");
  for (const Message &message : DiscoveryMessages(topics, Settings(false, true))) {
    if (message.payload.empty()) continue;
    // ha/COMPONENT/b7/OBJECT/config
    const size_t object_end = message.topic.rfind("/config");
    const size_t object_start = message.topic.rfind('/', object_end - 1) + 1;
    const std::string object = message.topic.substr(object_start, object_end - object_start);
    const json config = json::parse(message.payload);
    EXPECT_EQ(config["unique_id"], "varnik-dio_b7_" + object);
    std::string name = config["name"];
    std::string expected_object;
    for (char c : name) expected_object += c == ' ' ? '_' : static_cast<char>(std::tolower(c));
    EXPECT_EQ(object, expected_object) << message.topic;
    const std::string line = name.substr(0, name.find(' '));
    const bool count = name.size() > line.size();
    EXPECT_EQ(config["state_topic"], "site/b7/" + line + (count ? "/count" : "")) << message.topic;
  }
  const auto by_topic = ByTopic(DiscoveryMessages(topics, Settings(false, true)));
  EXPECT_EQ(Configured(by_topic),
            Joined({ConfigTopics("binary_sensor", kInputs), ConfigTopics("switch", kOutputs),
                    ConfigTopics("light", kLeds), ConfigTopics("sensor", kCounts)}));
  // A run with --read-only before leaves no stale binary_sensors behind.
  EXPECT_EQ(Removed(by_topic),
            Joined({ConfigTopics("binary_sensor", kOutputs), ConfigTopics("binary_sensor", kLeds)}));
}

TEST(MqttDiscovery, ReadOnlyAndCountlessBoardsShowOnlyWhatTheyHave) {
  const Topics topics("site", "b7");
  const auto read_only = ByTopic(DiscoveryMessages(topics, Settings(true, true)));
  EXPECT_EQ(Configured(read_only),
            Joined({ConfigTopics("binary_sensor", kInputs), ConfigTopics("binary_sensor", kOutputs),
                    ConfigTopics("binary_sensor", kLeds), ConfigTopics("sensor", kCounts)}));
  EXPECT_EQ(Removed(read_only), Joined({ConfigTopics("switch", kOutputs), ConfigTopics("light", kLeds)}));
  json output = Entity("DO3", "do3", "site/b7/DO3");
  output["payload_on"] = "1";
  output["payload_off"] = "0";
  EXPECT_EQ(Parsed(read_only, "ha/binary_sensor/b7/do3/config"), output);
  const json led = Parsed(read_only, "ha/binary_sensor/b7/led2/config");
  EXPECT_EQ(led["state_topic"], "site/b7/LED2");
  EXPECT_FALSE(led.contains("command_topic"));

  const auto countless = ByTopic(DiscoveryMessages(topics, Settings(false, false)));
  EXPECT_EQ(Configured(countless),
            Joined({ConfigTopics("binary_sensor", kInputs), ConfigTopics("switch", kOutputs),
                    ConfigTopics("light", kLeds)}));
  EXPECT_EQ(Removed(countless),
            Joined({ConfigTopics("binary_sensor", kOutputs), ConfigTopics("binary_sensor", kLeds),
                    ConfigTopics("sensor", kCounts)}));
}

TEST(MqttDiscovery, RemovalsClearEveryConfigEitherModeUses) {
  const Topics topics("site", "b7");
  const auto removals = ByTopic(DiscoveryRemovals(topics, Settings(false, true)));
  EXPECT_TRUE(Configured(removals).empty());
  std::set<std::string> every;
  for (bool read_only : {false, true})
    for (bool counts : {false, true})
      for (const Message &message : DiscoveryMessages(topics, Settings(read_only, counts)))
        every.insert(message.topic);
  EXPECT_EQ(Removed(removals), every);
  EXPECT_EQ(every.size(), 8u + 2 * 8 + 2 * 3 + 8);
}

}  // namespace
}  // namespace dio_mqttd
