#include "event_stream.h"

#include <memory>
#include <string>

#include "line_json.h"

namespace dio_webd {

namespace {

// Gives the stream's place back however the serving ends.
class Place {
 public:
  Place(EventHub &hub, std::shared_ptr<Subscription> subscription)
      : hub_(hub), subscription_(std::move(subscription)) {}
  ~Place() {
    if (subscription_) hub_.Unsubscribe(subscription_);
  }
  Place(const Place &) = delete;
  Place &operator=(const Place &) = delete;
  Subscription *get() const { return subscription_.get(); }

 private:
  EventHub &hub_;
  std::shared_ptr<Subscription> subscription_;
};

}  // namespace

void ServeEvents(Exchange &exchange, EventHub &hub, BoardAccess &board,
                 std::chrono::milliseconds keep_alive) {
  const Place place(hub, hub.Subscribe());
  if (!place.get()) {
    exchange.RespondError(503, "dio-webd has as many event streams open as it serves "
                               "(--max-event-clients), or is stopping; try again later");
    return;
  }
  const std::string snapshot = FrameEvent("snapshot", OneLine(BoardJson(board.Snapshot())));
  // No buffering in a proxy in front: each event is worth sending at once.
  // The stream has no length: its end is the connection's.
  if (!exchange.StartStream("text/event-stream",
                            {{"X-Accel-Buffering", "no"}, {"Connection", "close"}}))
    return;
  if (!exchange.Write(snapshot)) return;
  std::string event;
  for (;;) {
    switch (place.get()->Next(keep_alive, &event)) {
      case Subscription::Wait::kEvent:
        if (!exchange.Write(event)) return;
        break;
      case Subscription::Wait::kTimeout:
        if (!exchange.Write(": keep-alive\n\n")) return;
        break;
      case Subscription::Wait::kEnded:
        return;
    }
  }
}

}  // namespace dio_webd
