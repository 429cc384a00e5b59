#include "level_publisher.h"

namespace dio_mqttd {

namespace {

void PublishLevel(const Topics &topics, int line, int level, const PublishSink &sink) {
  sink(Outgoing{topics.Level(line), level ? "1" : "0", 1, true});
}

}  // namespace

int LevelOf(const vdio_state &state, int line) {
  if (line >= VDIO_LED1) return (state.leds >> (line - VDIO_LED1)) & 1;
  if (line >= VDIO_DO0) return (state.outputs >> (line - VDIO_DO0)) & 1;
  return (state.inputs >> line) & 1;
}

void PublishAllLevels(const Topics &topics, const vdio_state &state, const PublishSink &sink) {
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    PublishLevel(topics, line, LevelOf(state, line), sink);
}

void PublishLevelChange(const Topics &topics, const vdio_event &event, const PublishSink &sink) {
  if (event.line < 0 || event.line >= VDIO_LINE_COUNT) return;
  PublishLevel(topics, event.line, event.value, sink);
}

}  // namespace dio_mqttd
