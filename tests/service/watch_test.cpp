// Watch connections: many watchers fed from the service's one sample, and
// a watcher that stops reading dropped without delaying the others.
#include <cerrno>
#include <chrono>
#include <ostream>
#include <tuple>
#include <thread>

#include "service_fixture.h"
#include "varnik_dio_board.h"

namespace {

namespace wire = varnik::wire;
using Clock = std::chrono::steady_clock;

constexpr int kIntervalMs = 5;

struct Edge {
  uint32_t line;
  uint32_t level;
  bool operator==(const Edge &other) const { return line == other.line && level == other.level; }
};

std::ostream &operator<<(std::ostream &out, const Edge &edge) {
  return out << "DI" << edge.line << "=" << edge.level;
}

// Every input that differs between two masks, in line order.
std::vector<Edge> EdgesBetween(uint8_t before, uint8_t after) {
  std::vector<Edge> edges;
  for (uint32_t line = 0; line < 8; ++line)
    if (((before ^ after) >> line) & 1u) edges.push_back({line, (after >> line) & 1u});
  return edges;
}

class WatchTest : public ServiceTest {
 protected:
  std::unique_ptr<WireClient> Watcher(const std::string &name) const {
    auto client = Connect(name);
    EXPECT_EQ(client->Watch(VDIO_INPUT_LINES, 1000, 0), 0);
    return client;
  }
};

TEST_F(WatchTest, SixteenWatchersEachSeeEveryEdgeInOrder) {
  Start({"--interval", std::to_string(kIntervalMs) + "ms"});
  std::vector<std::unique_ptr<WireClient>> watchers;
  for (int i = 0; i < 16; ++i) watchers.push_back(Watcher("watcher" + std::to_string(i)));
  const std::vector<uint8_t> steps = {0x01, 0x03, 0x02, 0xFF, 0x00, 0x80};
  std::vector<Edge> expected;
  std::vector<std::vector<Edge>> seen(watchers.size());
  std::vector<uint64_t> last_time(watchers.size(), 0);
  uint8_t levels = 0;
  for (uint8_t step : steps) {
    SetInputsOnBoard(step);
    const std::vector<Edge> edges = EdgesBetween(levels, step);
    expected.insert(expected.end(), edges.begin(), edges.end());
    levels = step;
    // Each step's events before the next step, so that no two steps merge
    // into one sample however slow the machine.
    for (size_t i = 0; i < watchers.size(); ++i) {
      for (size_t edge = 0; edge < edges.size(); ++edge) {
        const auto event = watchers[i]->Receive(2);
        if (!event) break;
        ASSERT_EQ(event->operation, wire::kEvent);
        EXPECT_GE(event->third, last_time[i]) << "events in the order they happened";
        last_time[i] = event->third;
        seen[i].push_back({event->first, event->second});
      }
    }
  }
  for (const auto &edges : seen) EXPECT_EQ(edges, expected);
}

TEST_F(WatchTest, AWatchIsRefusedWhereTheBoardApiRefusesOne) {
  Start();
  for (const auto &[lines, interval, debounce] :
       std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{{0, 1000, 0},
                                                             {1u << 19, 1000, 0},
                                                             {1, 0, 0},
                                                             {1, VDIO_WATCH_MAX_INTERVAL_US + 1, 0},
                                                             {1, 1000, VDIO_WATCH_MAX_DEBOUNCE_US + 1}})
    EXPECT_EQ(Connect()->Watch(lines, interval, debounce), -EINVAL)
        << lines << " " << interval << " " << debounce;
}

TEST_F(WatchTest, EachWatchDebouncesAtItsOwnTimeAndInterval) {
  Start({"--interval", std::to_string(kIntervalMs) + "ms"});
  auto plain = Connect("plain");
  ASSERT_EQ(plain->Watch(1u << VDIO_DI2, 1000, 0), 0);
  auto debounced = Connect("debounced");
  ASSERT_EQ(debounced->Watch(1u << VDIO_DI2, 1000, 300000), 0);
  // A glitch, each level held until the plain watch saw it, then held.
  for (const uint8_t inputs : {0x04, 0x00, 0x04}) {
    SetInputsOnBoard(inputs);
    const auto event = plain->Receive(2);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->second, inputs >> VDIO_DI2);
  }
  const auto held = debounced->Receive(2);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->second, 1u);
  EXPECT_FALSE(debounced->Receive(0.5)) << "the glitch is not reported";

  // Sampled every 200 ms: two changes 20 ms apart are seen at one sample
  // or at two samples an interval apart, never 20 ms apart.
  auto slow = Connect("slow");
  ASSERT_EQ(slow->Watch(1u << VDIO_DI0 | 1u << VDIO_DI1, 200000, 0), 0);
  SetInputsOnBoard(0x05);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  SetInputsOnBoard(0x07);
  const auto first = slow->Receive(2);
  const auto second = slow->Receive(2);
  ASSERT_TRUE(first && second);
  const uint64_t apart = second->third - first->third;
  EXPECT_TRUE(apart == 0 || apart >= 150'000'000u) << apart << " ns apart";
}

// With nobody watching the service samples slowly for outside changes
// only: a new watcher is sampled at the service's interval from its start,
// so a short pulse right after it is not missed.
TEST_F(WatchTest, AWatchStartedOnAnIdleServiceSeesAShortPulseRightAway) {
  Start({"--interval", std::to_string(kIntervalMs) + "ms"});
  for (int round = 0; round < 3; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // idle again
    auto watcher = Connect("late");
    ASSERT_EQ(watcher->Watch(1u << VDIO_DI4, 1000, 0), 0);
    SetInputsOnBoard(0x10);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    SetInputsOnBoard(0x00);
    const auto rise = watcher->Receive(2);
    const auto fall = watcher->Receive(2);
    ASSERT_TRUE(rise && fall) << "round " << round << ": the pulse was missed";
    EXPECT_EQ(rise->second, 1u);
    EXPECT_EQ(fall->second, 0u);
  }
}

// How long the watcher takes to see a flip of all inputs made now.
double SecondsToSee(WireClient &watcher) {
  const auto start = Clock::now();
  const auto event = watcher.Receive(5);
  if (!event || event->operation != wire::kEvent) return 1e9;
  for (int more = 1; more < 8; ++more) watcher.Receive(1);  // the other lines of the flip
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Stale events a dropped watcher may still read before the overflow: what
// its socket held at the drop, kept small on watch connections.
constexpr size_t kMostStaleEvents = 64;
// How long the service waits for a dropped watcher to read the overflow.
constexpr double kDropGraceSeconds = 5;

TEST_F(WatchTest, AWatcherThatStopsReadingIsDroppedAndTheOthersKeepTheirPace) {
  Start({"--interval", "1ms", "--max-clients", "3"});
  auto stalled = Watcher("stalled");
  auto gone = Watcher("gone");  // never reads again
  auto reader = Watcher("reader");
  // Flip every input until the stalled watcher is dropped, reading the
  // other one's events as they come.
  uint8_t levels = 0;
  size_t read_events = 0;
  for (int flip = 0; flip < 2000 && service_->LogLines("(stalled) stopped reading").empty(); ++flip) {
    levels = static_cast<uint8_t>(~levels);
    SetInputsOnBoard(levels);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    while (reader->Receive(0)) ++read_events;
  }
  ASSERT_EQ(service_->LogLines("(stalled) stopped reading").size(), 1u) << service_->Log();
  levels = static_cast<uint8_t>(~levels);
  while (reader->Receive(0.2)) ++read_events;
  SetInputsOnBoard(levels);
  EXPECT_LT(SecondsToSee(*reader), SlowSeconds(0.001 + 0.1)) << "the others keep their latency";
  EXPECT_GE(read_events, 1024u) << "the reader read on";
  ASSERT_TRUE(service_->WaitForLog("(gone) stopped reading", 2)) << service_->Log();
  Connect("late");  // refused while the dropped watchers kept their slots

  size_t stale = 0;
  std::optional<wire::Message> last;
  while (const auto message = stalled->Receive(2)) {
    last = message;
    if (message->operation == wire::kEvent) ++stale;
  }
  ASSERT_TRUE(last);
  EXPECT_EQ(last->operation, wire::kOverflow);
  EXPECT_LE(stale, kMostStaleEvents) << "the service's backlog is dropped, not sent";
  EXPECT_TRUE(stalled->closed());
  EXPECT_TRUE(service_->WaitForLog("(gone) disconnected", kDropGraceSeconds + 2))
      << "closed after the grace even though it never read";
}

}  // namespace
