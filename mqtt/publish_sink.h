// Where the bridge's parts hand what they publish: the broker link in the
// program, a list in the tests.
#ifndef DIO_MQTTD_PUBLISH_SINK_H
#define DIO_MQTTD_PUBLISH_SINK_H

#include <functional>
#include <string>

namespace dio_mqttd {

struct Outgoing {
  std::string topic;
  std::string payload;
  int qos = 1;
  bool retain = true;
};

using PublishSink = std::function<void(const Outgoing &message)>;

}  // namespace dio_mqttd

#endif
