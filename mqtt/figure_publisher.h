// The inputs' figures the board service keeps, on their topics: the rising
// count and the frequency (Hz, three decimals) of each input, QoS 0,
// retained. Every one at connect; after it, every interval, only those that
// changed since they were last published. Where nobody keeps them (a board
// opened directly) there are none, and the start says so once.
#ifndef DIO_MQTTD_FIGURE_PUBLISHER_H
#define DIO_MQTTD_FIGURE_PUBLISHER_H

#include <array>
#include <cstdint>
#include <optional>

#include "clock.h"
#include "line_io.h"
#include "publish_sink.h"
#include "topics.h"

namespace dio_mqttd {

class FigurePublisher {
 public:
  // Reads the figures once, to learn whether anybody keeps them (and logs
  // it when nobody does). Throws varnik::tools::DeviceError as LineIo does.
  FigurePublisher(const Topics &topics, varnik::tools::LineIo &lines,
                  varnik::tools::Microseconds interval, varnik::tools::TimePoint now);

  // Whether there are figures to publish (and count sensors to discover).
  bool kept() const { return kept_; }

  // At connect: every figure, whatever was published before.
  void PublishAll(varnik::tools::TimePoint now, const PublishSink &sink);
  // Once the interval is over: those that changed.
  void Tick(varnik::tools::TimePoint now, const PublishSink &sink);
  // When Tick has something to do next; nothing when figures are not kept.
  std::optional<varnik::tools::TimePoint> NextDue() const;

 private:
  struct Figures {
    uint64_t count = 0;
    uint32_t frequency_mhz = 0;
  };
  void Publish(bool all, varnik::tools::TimePoint now, const PublishSink &sink);

  const Topics &topics_;
  varnik::tools::LineIo &lines_;
  varnik::tools::Microseconds interval_;
  bool kept_ = false;
  std::array<std::optional<Figures>, VDIO_INPUT_COUNT> published_;
  varnik::tools::TimePoint next_due_;
};

}  // namespace dio_mqttd

#endif
