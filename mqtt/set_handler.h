// A message on a set topic (PREFIX/ID/DO3/set): "0", "1", "ON" or "OFF" in
// any case writes the line. Ignored, with a rate-limited log line naming
// topic and payload: a set that comes retained (a command is taken only as
// it is sent, never from the broker's memory), a payload that is no level,
// a set on an input. A write refused because another client of the board
// service holds the line is logged naming the holder.
#ifndef DIO_MQTTD_SET_HANDLER_H
#define DIO_MQTTD_SET_HANDLER_H

#include <string>

#include "busy_write_log.h"
#include "clock.h"
#include "ignored_message_log.h"
#include "line_io.h"
#include "topics.h"

namespace dio_mqttd {

class SetHandler {
 public:
  SetHandler(const Topics &topics, varnik::tools::LineIo &lines);

  // Log lines go through varnik::tools::PrintLine. True when the line was
  // written (its watcher's event publishes the new level).
  bool Handle(const std::string &topic, const std::string &payload, bool retained,
              varnik::tools::TimePoint now);

  // The counts of what the logs did not name, once their interval is over.
  void Tick(varnik::tools::TimePoint now);

 private:
  void Ignore(const std::string &topic, const std::string &payload, const char *reason,
              varnik::tools::TimePoint now);
  bool Write(int line, int level);

  const Topics &topics_;
  varnik::tools::LineIo &lines_;
  IgnoredMessageLog ignored_;
  varnik::tools::BusyWriteLog busy_;
};

}  // namespace dio_mqttd

#endif
