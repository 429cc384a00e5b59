#include "board_events.h"

#include <cerrno>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "clock.h"
#include "line_json.h"
#include "tool_messages.h"

namespace dio_webd {

namespace {

using namespace std::chrono_literals;
using varnik::tools::Clock;
using varnik::tools::PrintLine;
using varnik::tools::TimePoint;

// How long one wait on the watcher lasts: how soon a stop is seen.
constexpr int kWaitSliceMs = 100;
constexpr auto kWaitSlice = std::chrono::milliseconds(kWaitSliceMs);

struct WatchFree {
  void operator()(vdio_watch *watch) const { vdio_watch_free(watch); }
};
using WatchPtr = std::unique_ptr<vdio_watch, WatchFree>;

class Pump {
 public:
  Pump(BoardAccess &board, EventHub &hub, LineCounters &counters, const PumpSettings &settings)
      : board_(board), hub_(hub), counters_(counters), settings_(settings) {}

  // One turn of the loop: at most about a wait slice long.
  void Turn();

 private:
  void WhileLost(TimePoint now);
  bool StartWatch();
  void WaitForEvent();
  void OnEvent(const vdio_event &event);
  void Lost(const std::string &reason);
  void PublishSnapshot();
  void PublishChangedFigures();
  void Publish(const char *name, const nlohmann::json &data) {
    hub_.Publish(FrameEvent(name, OneLine(data)));
  }

  BoardAccess &board_;
  EventHub &hub_;
  LineCounters &counters_;
  const PumpSettings &settings_;
  WatchPtr watch_;
  bool told_lost_ = false;
  bool snapshot_due_ = false;  // a snapshot once the new watcher runs
  TimePoint next_reopen_{};
  TimePoint next_figures_{};
  // What the streams were last told: changes are published, not repeats.
  std::optional<nlohmann::json> last_figures_;
  std::optional<nlohmann::json> last_claims_;
};

void Pump::Turn() {
  const TimePoint now = Clock::now();
  if (!board_.Connected()) return WhileLost(now);
  if (!watch_ && !StartWatch()) return;
  if (snapshot_due_) PublishSnapshot();
  WaitForEvent();
  if (Clock::now() >= next_figures_) PublishChangedFigures();
}

// The watcher goes first: the handle it is on is closed by Reopen (a
// request thread may have found the board lost while it lived).
void Pump::WhileLost(TimePoint now) {
  watch_.reset();
  if (!told_lost_) {
    const std::string reason = board_.Snapshot().lost_reason;
    PrintLine(reason);
    Publish("board", BoardStatusJson(false, reason));
    told_lost_ = true;
  }
  if (now < next_reopen_) {
    std::this_thread::sleep_for(std::min<Clock::duration>(kWaitSlice, next_reopen_ - now));
    return;
  }
  next_reopen_ = now + settings_.reconnect_every;
  if (!board_.Reopen()) return;
  PrintLine("connected to " + board_.device() + " again");
  told_lost_ = false;
  Publish("board", BoardStatusJson(true, ""));
  snapshot_due_ = true;
}

bool Pump::StartWatch() {
  vdio_watch *watch = nullptr;
  const int result = board_.NewWatch(settings_.watch_interval_us, &watch);
  if (result < 0) {
    Lost(LostReason(board_.device(), -result));
    return false;
  }
  watch_.reset(watch);
  return true;
}

void Pump::WaitForEvent() {
  vdio_event event{};
  const int result = vdio_watch_next(watch_.get(), kWaitSliceMs, &event);
  if (result == 1) return OnEvent(event);
  if (result == 0 || result == -EINTR) return;
  if (result == -ENOBUFS) {
    // The service dropped a watcher that fell behind: changes were missed,
    // so the streams get the whole board again once a new one runs.
    PrintLine("the board service dropped the watcher, which fell behind: watching anew");
    watch_.reset();
    snapshot_due_ = true;
    return;
  }
  Lost(LostReason(board_.device(), -result));
}

void Pump::OnEvent(const vdio_event &event) {
  if (event.line < VDIO_INPUT_COUNT && event.edge == VDIO_RISING)
    counters_.CountRisingEdge(event.line);
  Publish("line", LineEventJson(event));
}

void Pump::Lost(const std::string &reason) {
  watch_.reset();
  board_.MarkLost(reason);
  PrintLine(reason);
  Publish("board", BoardStatusJson(false, reason));
  told_lost_ = true;
}

void Pump::PublishSnapshot() {
  const BoardSnapshot snapshot = board_.Snapshot();
  if (!snapshot.connected) return;  // the next turn tells the streams
  Publish("snapshot", BoardJson(snapshot));
  snapshot_due_ = false;
  last_figures_ = FiguresJson(snapshot);
  last_claims_ = ClaimsJson(snapshot);
}

// The inputs' figures move with every edge and with time (on-time,
// frequency), and claims come and go without any event from the service:
// both are read here, once every figures interval, and published when they
// changed.
void Pump::PublishChangedFigures() {
  next_figures_ = Clock::now() + settings_.figures_every;
  const BoardSnapshot snapshot = board_.Snapshot();
  if (!snapshot.connected) return;
  nlohmann::json figures = FiguresJson(snapshot);
  if (figures != last_figures_) {
    Publish("figures", figures);
    last_figures_ = std::move(figures);
  }
  nlohmann::json claims = ClaimsJson(snapshot);
  if (claims != last_claims_) {
    Publish("claims", claims);
    last_claims_ = std::move(claims);
  }
}

}  // namespace

BoardEvents::BoardEvents(BoardAccess &board, EventHub &hub, LineCounters &counters,
                         PumpSettings settings)
    : board_(board), hub_(hub), counters_(counters), settings_(settings) {}

void BoardEvents::Start() {
  thread_.Start([this] { Run(); });
}

void BoardEvents::Stop() {
  stopping_ = true;
  thread_.Wait();
}

// Nothing thrown may end the thread: the streams would go quiet for good.
// A turn that failed is logged and the next one tried after a pause.
void BoardEvents::Run() {
  Pump pump(board_, hub_, counters_, settings_);
  while (!stopping_) {
    try {
      pump.Turn();
    } catch (const std::exception &error) {
      PrintLine(std::string("the event pump: ") + error.what());
      std::this_thread::sleep_for(kWaitSlice);
    }
  }
}

}  // namespace dio_webd
