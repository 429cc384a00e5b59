// /metrics: the board's and dio-webd's health in Prometheus's text format,
// version 0.0.4, and the counters kept for it.
#ifndef DIO_WEBD_METRICS_H
#define DIO_WEBD_METRICS_H

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "board_snapshot.h"
#include "varnik_dio_board.h"

namespace dio_webd {

// The endpoints requests are counted by: a fixed set, so that no request
// can make up a label value.
enum class Endpoint { kPage, kLines, kLine, kPulse, kEvents, kOpenApi, kMetrics, kOther };
const char *EndpointLabel(Endpoint endpoint);  // "lines", "line", ...

// Counters the request threads and the event pump add to.
class LineCounters {
 public:
  void CountRequest(Endpoint endpoint, int status);
  // A rising edge of input (0..7) seen in the service's events.
  void CountRisingEdge(int input);
  // Requests by endpoint and status, as counted so far.
  std::map<std::pair<Endpoint, int>, uint64_t> Requests() const;
  uint64_t RisingEdges(int input) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<Endpoint, int>, uint64_t> requests_;
  std::array<std::atomic<uint64_t>, VDIO_INPUT_COUNT> rising_{};
};

struct HubFigures {
  size_t clients = 0;
  uint64_t dropped = 0;
};

// The whole exposition: every family with its HELP and TYPE, label values
// escaped, one sample per line, ending in a line feed. Families whose
// source is out of reach (a lost board, no service's figures) have no
// samples, but varnik_dio_board_connected says so.
std::string MetricsText(const BoardSnapshot &snapshot, const LineCounters &counters,
                        const HubFigures &hub);

// Its Content-Type.
constexpr const char *kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace dio_webd

#endif
