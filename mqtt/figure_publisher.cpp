#include "figure_publisher.h"

#include <cerrno>
#include <string>

#include "tool_messages.h"

namespace dio_mqttd {

using varnik::tools::TimePoint;

FigurePublisher::FigurePublisher(const Topics &topics, varnik::tools::LineIo &lines,
                                 varnik::tools::Microseconds interval, TimePoint now)
    : topics_(topics), lines_(lines), interval_(interval), next_due_(now + interval) {
  vdio_input_stats stats[VDIO_INPUT_COUNT];
  kept_ = lines_.ReadInputStats(stats) != -EOPNOTSUPP;
  if (!kept_)
    varnik::tools::PrintLine(
        "nobody keeps the inputs' counts and frequencies (the board is not reached through "
        "dio-boardd): no count or frequency topics; give --device the service's socket to "
        "have them");
}

void FigurePublisher::PublishAll(TimePoint now, const PublishSink &sink) {
  Publish(true, now, sink);
}

void FigurePublisher::Tick(TimePoint now, const PublishSink &sink) {
  if (now >= next_due_) Publish(false, now, sink);
}

std::optional<TimePoint> FigurePublisher::NextDue() const {
  if (!kept_) return std::nullopt;
  return next_due_;
}

void FigurePublisher::Publish(bool all, TimePoint now, const PublishSink &sink) {
  next_due_ = now + interval_;
  if (!kept_) return;
  vdio_input_stats stats[VDIO_INPUT_COUNT];
  if (lines_.ReadInputStats(stats) != 0) return;
  for (int input = 0; input < VDIO_INPUT_COUNT; ++input) {
    const Figures now_figures{stats[input].rising, stats[input].frequency_mhz};
    std::optional<Figures> &last = published_[input];
    if (all || !last || last->count != now_figures.count)
      sink(Outgoing{topics_.Count(input), std::to_string(now_figures.count), 0, true});
    if (all || !last || last->frequency_mhz != now_figures.frequency_mhz)
      sink(Outgoing{topics_.Frequency(input), FormatFrequency(now_figures.frequency_mhz), 0, true});
    last = now_figures;
  }
}

}  // namespace dio_mqttd
