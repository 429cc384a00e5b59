// The nineteen lines' levels on their topics: every one at connect, each
// change after it (the board watcher's events), "0" or "1", QoS 1, retained.
#ifndef DIO_MQTTD_LEVEL_PUBLISHER_H
#define DIO_MQTTD_LEVEL_PUBLISHER_H

#include "publish_sink.h"
#include "topics.h"
#include "varnik_dio_board.h"

namespace dio_mqttd {

// The level of line (0..18) in state.
int LevelOf(const vdio_state &state, int line);

void PublishAllLevels(const Topics &topics, const vdio_state &state, const PublishSink &sink);

void PublishLevelChange(const Topics &topics, const vdio_event &event, const PublishSink &sink);

}  // namespace dio_mqttd

#endif
