// The bridge's topics. Every payload is plain text, so that mosquitto_sub
// shows it:
//
//   PREFIX/ID/status             online / offline (retained; offline is the last will)
//   PREFIX/ID/DI0 .. DI7,        0 / 1, retained, at connect and on every change
//   PREFIX/ID/DO0 .. DO7,
//   PREFIX/ID/LED1 .. LED3
//   PREFIX/ID/DO3/set            0 / 1 / ON / OFF (any case): writes the line
//   PREFIX/ID/DI3/count          the rising count
//   PREFIX/ID/DI3/frequency      Hz, three decimals
#ifndef DIO_MQTTD_TOPICS_H
#define DIO_MQTTD_TOPICS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dio_mqttd {

class Topics {
 public:
  Topics(std::string prefix, std::string board_id);

  std::string Status() const;              // PREFIX/ID/status
  std::string Level(int line) const;       // PREFIX/ID/DO3, any line 0..18
  std::string Set(int line) const;         // PREFIX/ID/DO3/set
  std::string SetFilter() const;           // PREFIX/ID/+/set, to subscribe to
  std::string Count(int input) const;      // PREFIX/ID/DI3/count, input 0..7
  std::string Frequency(int input) const;  // PREFIX/ID/DI3/frequency

  // The line a PREFIX/ID/NAME/set topic names (inputs too, so that a set on
  // one can be told apart and logged); nothing for any other topic.
  std::optional<int> LineOfSet(std::string_view topic) const;

  const std::string &board_id() const { return board_id_; }

 private:
  std::string base_;  // PREFIX/ID/
  std::string board_id_;
};

// "0", "1", "on", "off" in any case: the level; nothing for anything else
// (spaces, "2", "true", an empty payload).
std::optional<int> ParseLevelPayload(std::string_view payload);

// A frequency in mHz as Hz with three decimals: 12345 -> "12.345".
std::string FormatFrequency(uint32_t millihertz);

}  // namespace dio_mqttd

#endif
