#include "bridge.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "broker_link.h"
#include "broker_loss_guard.h"
#include "device_errors.h"
#include "discovery.h"
#include "figure_publisher.h"
#include "level_publisher.h"
#include "reconnect_backoff.h"
#include "set_handler.h"
#include "tool_messages.h"
#include "topics.h"

namespace dio_mqttd {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using varnik::tools::Clock;
using varnik::tools::LineIo;
using varnik::tools::Microseconds;
using varnik::tools::PrintLine;
using varnik::tools::TimePoint;

// The watcher's polling interval, and how often the loop looks at a watcher
// on a board opened directly: such a watcher has no descriptor to poll and
// sees changes only while vdio_watch_next is called.
constexpr uint32_t kWatchIntervalUs = 10000;
constexpr milliseconds kDirectWatchEvery{10};
// The longest poll: libmosquitto's keepalive and the logs' counts need a
// look now and then.
constexpr milliseconds kLongestWait{1000};
// How long a stop waits for the broker to take "offline".
constexpr milliseconds kOfflineDeliveryWait{2000};
// A connection the broker ends this soon after accepting it is suspect: two
// in a row usually mean another client took over the same client id.
constexpr std::chrono::seconds kShortConnection{5};
constexpr int kShortConnectionsToWarn = 2;

struct WatchFree {
  void operator()(vdio_watch *watch) const { vdio_watch_free(watch); }
};
using WatchPtr = std::unique_ptr<vdio_watch, WatchFree>;

WatchPtr NewWatch(const LineIo &lines) {
  vdio_watch *watch = nullptr;
  const int result = lines.NewWatch(VDIO_ALL_LINES, kWatchIntervalUs, 0, &watch);
  if (result < 0)
    throw std::runtime_error(std::string("cannot watch the board's lines: ") +
                             std::strerror(-result));
  return WatchPtr(watch);
}

std::string Seconds(Microseconds wait) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count()) + "s";
}

uint64_t MonotonicNs(TimePoint now) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
}

// The board went away under the bridge (its service stopped or dropped it).
struct BoardLost {
  std::string reason;
};

class Bridge {
 public:
  Bridge(const BridgeOptions &options, LineIo &lines, int stop_fd,
         varnik::tools::SystemdNotify &notify)
      : options_(options),
        lines_(lines),
        stop_fd_(stop_fd),
        notify_(notify),
        topics_(options.prefix, options.board_id),
        link_(options, topics_.Status()),
        watch_(NewWatch(lines)),
        watch_fd_(vdio_watch_fd(watch_.get())),
        figures_(topics_, lines, options.stats_interval, Clock::now()),
        sets_(topics_, lines),
        guard_(options.claim ? options.lease : std::nullopt, options.safe_outputs, Clock::now()) {
    discovery_.discovery_prefix = options.discovery_prefix;
    discovery_.read_only = options.read_only;
    discovery_.counts = figures_.kept();
    discovery_.version = vdio_version();
    if (options.claim && options.lease) lease_feed_every_ = *options.lease / 3;
  }

  bool Run();

 private:
  enum class Phase { kWaiting, kConnecting, kConnected };

  void Attempt(TimePoint now);
  void AttemptFailed(const std::string &reason);
  void BrokerLost(TimePoint now);
  void NoteConnectionLength(TimePoint now);
  void HandleBrokerEvents(TimePoint now);
  void OnConnected(TimePoint now);
  void PublishDiscovery();
  void HandleMessage(const BrokerEvents::Received &message, TimePoint now);
  void DrainWatch();
  void RenewWatch();
  void Timers(TimePoint now);
  int PollTimeoutMs(TimePoint now) const;
  void Publish(const Outgoing &message) { link_.Publish(message); }
  PublishSink Sink() {
    return [this](const Outgoing &message) { Publish(message); };
  }
  void SayOffline();

  const BridgeOptions &options_;
  LineIo &lines_;
  int stop_fd_;
  varnik::tools::SystemdNotify &notify_;
  Topics topics_;
  BrokerLink link_;
  WatchPtr watch_;
  int watch_fd_;
  FigurePublisher figures_;
  SetHandler sets_;
  BrokerLossGuard guard_;
  ReconnectBackoff backoff_;
  DiscoverySettings discovery_;
  Phase phase_ = Phase::kWaiting;
  TimePoint next_attempt_{};
  TimePoint attempt_started_{};
  TimePoint connected_at_{};
  int short_connections_ = 0;
  bool warned_short_connections_ = false;
  std::optional<Microseconds> lease_feed_every_;
  TimePoint next_lease_feed_{};
  TimePoint next_direct_watch_{};
};

void Bridge::Attempt(TimePoint now) {
  const std::string failed = link_.Connect();
  if (!failed.empty()) return AttemptFailed(failed);
  phase_ = Phase::kConnecting;
  attempt_started_ = now;
}

void Bridge::AttemptFailed(const std::string &reason) {
  const Microseconds wait = backoff_.NextWait();
  PrintLine("cannot reach " + FormatBrokerUrl(options_.broker) + " (" + reason +
            "): next attempt in " + Seconds(wait));
  phase_ = Phase::kWaiting;
  next_attempt_ = Clock::now() + wait;
}

void Bridge::BrokerLost(TimePoint now) {
  NoteConnectionLength(now);
  const Microseconds wait = backoff_.NextWait();
  const std::string reason = link_.LastError().empty() ? "connection closed" : link_.LastError();
  PrintLine("broker lost (" + reason + "): next attempt in " + Seconds(wait));
  guard_.Lost(now);
  phase_ = Phase::kWaiting;
  next_attempt_ = now + wait;
}

// The backoff starts over only after a connection that lasted a keepalive:
// two bridges with one client id would otherwise kick each other off every
// second for ever.
void Bridge::NoteConnectionLength(TimePoint now) {
  const auto lasted = now - connected_at_;
  if (lasted >= options_.keepalive) backoff_.Reset();
  short_connections_ = lasted < kShortConnection ? short_connections_ + 1 : 0;
  if (short_connections_ < kShortConnectionsToWarn || warned_short_connections_) return;
  warned_short_connections_ = true;
  PrintLine("the broker closed the connection soon after accepting it: another client may use "
            "the client id dio-mqttd-" + options_.board_id + "; give each board its own --id");
}

void Bridge::HandleBrokerEvents(TimePoint now) {
  BrokerEvents events = link_.TakeEvents();
  if (events.connected) OnConnected(now);
  if (events.answered || !events.delivered.empty() || !events.messages.empty()) guard_.Alive(now);
  for (const auto &message : events.messages) HandleMessage(message, now);
  if (!events.lost && events.refused == 0) return;
  if (phase_ == Phase::kConnected)
    BrokerLost(now);
  else if (phase_ == Phase::kConnecting)
    AttemptFailed(link_.LastError().empty() ? "connection closed" : link_.LastError());
}

// The subscriptions first: the broker takes them before "online", so that a
// set sent as soon as "online" is seen is not lost. Then status, discovery,
// every level and figure, with the levels read anew.
void Bridge::OnConnected(TimePoint now) {
  phase_ = Phase::kConnected;
  connected_at_ = now;
  PrintLine("connected to " + FormatBrokerUrl(options_.broker) + " as dio-mqttd-" +
            options_.board_id);
  guard_.Connected(now);
  if (!options_.read_only) link_.Subscribe(topics_.SetFilter());
  if (options_.discovery) link_.Subscribe(options_.ha_status_topic);
  Publish({topics_.Status(), "online", 1, true});
  PublishDiscovery();
  PublishAllLevels(topics_, lines_.Read(), Sink());
  figures_.PublishAll(now, Sink());
}

void Bridge::PublishDiscovery() {
  const std::vector<Message> messages = options_.discovery
                                            ? DiscoveryMessages(topics_, discovery_)
                                            : DiscoveryRemovals(topics_, discovery_);
  for (const Message &message : messages) Publish({message.topic, message.payload, 1, true});
}

void Bridge::HandleMessage(const BrokerEvents::Received &message, TimePoint now) {
  // A retained "online" is the one found at connect, when discovery has just
  // gone out.
  if (options_.discovery && message.topic == options_.ha_status_topic) {
    if (message.payload == "online" && !message.retained) PublishDiscovery();
    return;
  }
  if (!options_.read_only) sets_.Handle(message.topic, message.payload, message.retained, now);
}

// Publishes every change the watcher has, including the bridge's own writes.
void Bridge::DrainWatch() {
  vdio_event event;
  for (;;) {
    const int result = vdio_watch_next(watch_.get(), 0, &event);
    if (result == 0 || result == -EINTR) return;
    if (result == -ENOBUFS) return RenewWatch();
    if (result < 0) throw BoardLost{std::strerror(-result)};
    PublishLevelChange(topics_, event, Sink());
  }
}

// The service dropped a watcher that fell behind: a new one, and every level
// read anew, since changes were missed meanwhile.
void Bridge::RenewWatch() {
  watch_.reset();
  watch_ = NewWatch(lines_);
  watch_fd_ = vdio_watch_fd(watch_.get());
  PrintLine("the board service dropped the watcher, which fell behind: watching anew");
  PublishAllLevels(topics_, lines_.Read(), Sink());
}

void Bridge::Timers(TimePoint now) {
  if (phase_ == Phase::kWaiting && now >= next_attempt_) Attempt(now);
  if (phase_ == Phase::kConnecting && now - attempt_started_ >= options_.keepalive) {
    link_.Disconnect();
    AttemptFailed("no answer within the keepalive");
  }
  if (phase_ == Phase::kConnected) figures_.Tick(now, Sink());
  // A broker silent for longer than the lease is a lost one, even though
  // the connection looks open: the keepalive would see it much later.
  if (guard_.Check(now, lines_) && phase_ == Phase::kConnected) {
    link_.Drop("no answer for longer than --lease");
    BrokerLost(now);
  }
  if (phase_ == Phase::kConnected && guard_.ProbeDue(now)) link_.Probe();
  if (lease_feed_every_ && now >= next_lease_feed_) {
    lines_.ReadInputs();  // any request feeds the service's lease
    next_lease_feed_ = now + *lease_feed_every_;
  }
  sets_.Tick(now);
  notify_.Tick(MonotonicNs(now));
}

int Bridge::PollTimeoutMs(TimePoint now) const {
  TimePoint wake = now + kLongestWait;
  if (watch_fd_ < 0) wake = std::min(wake, next_direct_watch_);
  if (phase_ == Phase::kWaiting) wake = std::min(wake, next_attempt_);
  if (phase_ == Phase::kConnecting) wake = std::min(wake, attempt_started_ + options_.keepalive);
  if (phase_ == Phase::kConnected)
    if (const auto due = figures_.NextDue()) wake = std::min(wake, *due);
  if (const auto deadline = guard_.Deadline()) wake = std::min(wake, *deadline);
  if (const auto probe = guard_.NextProbe()) wake = std::min(wake, *probe);
  if (lease_feed_every_) wake = std::min(wake, next_lease_feed_);
  if (const auto ping = notify_.NextPingNs()) {
    const uint64_t now_ns = MonotonicNs(now);
    wake = std::min(wake, now + std::chrono::nanoseconds(*ping > now_ns ? *ping - now_ns : 0));
  }
  if (wake <= now) return 0;
  // Rounded up: waking a little early would only loop again.
  return static_cast<int>(duration_cast<milliseconds>(wake - now + milliseconds(1) -
                                                      std::chrono::nanoseconds(1))
                              .count());
}

// "offline", retained, and a wait (bounded) for the broker to take it.
void Bridge::SayOffline() {
  if (phase_ != Phase::kConnected) return;
  const int mid = link_.Publish({topics_.Status(), "offline", 1, true});
  const TimePoint give_up = Clock::now() + kOfflineDeliveryWait;
  bool delivered = mid < 0;
  while (!delivered && Clock::now() < give_up) {
    const int fd = link_.Socket();
    if (fd < 0) break;
    pollfd broker{fd, static_cast<short>(POLLIN | (link_.WantsWrite() ? POLLOUT : 0)), 0};
    poll(&broker, 1, 100);
    if (!link_.Step(broker.revents & (POLLIN | POLLERR | POLLHUP), broker.revents & POLLOUT))
      break;
    const BrokerEvents events = link_.TakeEvents();
    delivered = std::find(events.delivered.begin(), events.delivered.end(), mid) !=
                events.delivered.end();
  }
  if (!delivered) PrintLine("the broker did not take \"offline\" within 2s");
  link_.Disconnect();
}

bool Bridge::Run() {
  Attempt(Clock::now());
  notify_.Ready(MonotonicNs(Clock::now()));
  try {
    for (;;) {
      const TimePoint before = Clock::now();
      pollfd fds[3] = {{stop_fd_, POLLIN, 0}, {watch_fd_, POLLIN, 0}, {-1, 0, 0}};
      const int broker_fd = phase_ == Phase::kWaiting ? -1 : link_.Socket();
      if (broker_fd >= 0)
        fds[2] = {broker_fd, static_cast<short>(POLLIN | (link_.WantsWrite() ? POLLOUT : 0)), 0};
      if (poll(fds, 3, PollTimeoutMs(before)) < 0 && errno != EINTR)
        throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
      if (fds[0].revents) {
        SayOffline();
        PrintLine("stopped");
        return true;
      }
      const TimePoint now = Clock::now();
      if (fds[1].revents || (watch_fd_ < 0 && now >= next_direct_watch_)) {
        DrainWatch();
        next_direct_watch_ = now + kDirectWatchEvery;
      }
      if (phase_ != Phase::kWaiting) {
        link_.Step(fds[2].revents & (POLLIN | POLLERR | POLLHUP), fds[2].revents & POLLOUT);
        HandleBrokerEvents(now);
      }
      Timers(now);
    }
  } catch (const BoardLost &lost) {
    PrintLine("the board was lost (" + lost.reason + "): stopping");
  } catch (const varnik::tools::DeviceError &error) {
    PrintLine("the board was lost (" + varnik::tools::DeviceErrorMessage(error.device(),
                                                                          error.error()) +
              "): stopping");
  }
  SayOffline();
  return false;
}

}  // namespace

bool RunBridge(const BridgeOptions &options, varnik::tools::LineIo &lines, int stop_fd,
               varnik::tools::SystemdNotify &notify) {
  Bridge bridge(options, lines, stop_fd, notify);
  return bridge.Run();
}

}  // namespace dio_mqttd
