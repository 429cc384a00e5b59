#include "metrics.h"

#include <string>
#include <utility>
#include <vector>

#include "line_json.h"

namespace dio_webd {

namespace {

using Labels = std::vector<std::pair<const char *, std::string>>;

std::string EscapeHelp(const std::string &text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

std::string EscapeLabelValue(const std::string &text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '"')
      escaped += "\\\"";
    else if (c == '\\')
      escaped += "\\\\";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

// Millihertz as hertz with three decimals, written by hand: no locale's
// decimal comma, no exponent.
std::string Thousandths(uint64_t thousandths) {
  std::string fraction = std::to_string(thousandths % 1000);
  fraction.insert(0, 3 - fraction.size(), '0');
  return std::to_string(thousandths / 1000) + "." + fraction;
}

// The exposition, one family after another: each family's HELP and TYPE,
// then its samples.
class Exposition {
 public:
  void Family(const char *name, const char *type, const std::string &help) {
    name_ = name;
    text_ += std::string("# HELP ") + name + " " + EscapeHelp(help) + "\n";
    text_ += std::string("# TYPE ") + name + " " + type + "\n";
  }
  void Sample(const Labels &labels, const std::string &value) {
    text_ += name_;
    if (!labels.empty()) {
      text_ += "{";
      for (size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) text_ += ",";
        text_ += std::string(labels[i].first) + "=\"" + EscapeLabelValue(labels[i].second) + "\"";
      }
      text_ += "}";
    }
    text_ += " " + value + "\n";
  }
  void Sample(const Labels &labels, uint64_t value) { Sample(labels, std::to_string(value)); }
  std::string Text() && { return std::move(text_); }

 private:
  std::string name_;
  std::string text_;
};

std::string LineName(int line) { return vdio_line_name(line); }

void LineLevels(const BoardSnapshot &snapshot, Exposition &out) {
  out.Family("varnik_dio_line_level", "gauge", "The line's level: 1 active, driven or lit.");
  if (!snapshot.connected) return;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line)
    out.Sample({{"line", LineName(line)}, {"direction", DirectionWord(line)}},
               static_cast<uint64_t>(LevelOf(snapshot, line)));
}

void InputFigures(const BoardSnapshot &snapshot, const LineCounters &counters, Exposition &out) {
  out.Family("varnik_dio_input_rising_edges_total", "counter",
             "Rising edges of the input seen in the board service's events since dio-webd "
             "started.");
  for (int input = 0; input < VDIO_INPUT_COUNT; ++input)
    out.Sample({{"line", LineName(input)}}, counters.RisingEdges(input));
  const bool kept = snapshot.connected && snapshot.figures_kept;
  out.Family("varnik_dio_input_count", "gauge",
             "Rising edges of the input counted by the board service since they were last "
             "cleared.");
  if (kept)
    for (int input = 0; input < VDIO_INPUT_COUNT; ++input)
      out.Sample({{"line", LineName(input)}}, snapshot.figures[static_cast<size_t>(input)].rising);
  out.Family("varnik_dio_input_frequency_hertz", "gauge",
             "The input's frequency over the board service's frequency window.");
  if (kept)
    for (int input = 0; input < VDIO_INPUT_COUNT; ++input)
      out.Sample({{"line", LineName(input)}},
                 Thousandths(snapshot.figures[static_cast<size_t>(input)].frequency_mhz));
}

// The consumer is a label of its own so that a dashboard can say who holds
// the line; empty while nobody does.
void Claims(const BoardSnapshot &snapshot, Exposition &out) {
  const bool known = snapshot.connected && snapshot.claims_known;
  out.Family("varnik_dio_line_claimed", "gauge",
             "1 while another client's claim holds the output or LED.");
  uint64_t held = 0;
  if (known)
    for (int line = VDIO_DO0; line < VDIO_LINE_COUNT; ++line) {
      const auto &claim = snapshot.claims[static_cast<size_t>(line)];
      const bool claimed = claim.has_value() && claim->held;
      held += claimed ? 1 : 0;
      out.Sample({{"line", LineName(line)}, {"consumer", claimed ? claim->consumer : ""}},
                 claimed ? 1u : 0u);
    }
  out.Family("varnik_dio_claims_held", "gauge", "Outputs and LEDs held by claims.");
  if (known) out.Sample({}, held);
}

void Requests(const LineCounters &counters, Exposition &out) {
  out.Family("varnik_dio_http_requests_total", "counter",
             "HTTP requests answered, by endpoint and status code.");
  for (const auto &[key, count] : counters.Requests())
    out.Sample({{"endpoint", EndpointLabel(key.first)}, {"code", std::to_string(key.second)}},
               count);
}

void Streams(const HubFigures &hub, Exposition &out) {
  out.Family("varnik_dio_event_clients", "gauge", "Event streams open.");
  out.Sample({}, static_cast<uint64_t>(hub.clients));
  out.Family("varnik_dio_events_dropped_total", "counter",
             "Events never delivered, since their stream fell behind and was ended.");
  out.Sample({}, hub.dropped);
}

void Sampler(const BoardSnapshot &snapshot, Exposition &out) {
  const bool known = snapshot.connected && snapshot.sampler_known;
  out.Family("varnik_dio_sampler_late_samples_total", "counter",
             "Samples the board service took an interval or more after they were due.");
  if (known) out.Sample({}, snapshot.sampler.late_samples);
  out.Family("varnik_dio_sampler_samples_total", "counter",
             "Samples the board service took since it started.");
  if (known) out.Sample({}, snapshot.sampler.samples);
}

}  // namespace

const char *EndpointLabel(Endpoint endpoint) {
  switch (endpoint) {
    case Endpoint::kPage: return "page";
    case Endpoint::kLines: return "lines";
    case Endpoint::kLine: return "line";
    case Endpoint::kPulse: return "pulse";
    case Endpoint::kEvents: return "events";
    case Endpoint::kOpenApi: return "openapi";
    case Endpoint::kMetrics: return "metrics";
    case Endpoint::kOther: break;
  }
  return "other";
}

void LineCounters::CountRequest(Endpoint endpoint, int status) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++requests_[{endpoint, status}];
}

void LineCounters::CountRisingEdge(int input) {
  if (input < 0 || input >= VDIO_INPUT_COUNT) return;
  rising_[static_cast<size_t>(input)].fetch_add(1, std::memory_order_relaxed);
}

std::map<std::pair<Endpoint, int>, uint64_t> LineCounters::Requests() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

uint64_t LineCounters::RisingEdges(int input) const {
  if (input < 0 || input >= VDIO_INPUT_COUNT) return 0;
  return rising_[static_cast<size_t>(input)].load(std::memory_order_relaxed);
}

std::string MetricsText(const BoardSnapshot &snapshot, const LineCounters &counters,
                        const HubFigures &hub) {
  Exposition out;
  out.Family("varnik_dio_board_connected", "gauge",
             "1 while the board (or its service) is in reach, 0 while dio-webd connects again.");
  out.Sample({}, snapshot.connected ? 1u : 0u);
  LineLevels(snapshot, out);
  InputFigures(snapshot, counters, out);
  Claims(snapshot, out);
  Requests(counters, out);
  Streams(hub, out);
  Sampler(snapshot, out);
  return std::move(out).Text();
}

}  // namespace dio_webd
