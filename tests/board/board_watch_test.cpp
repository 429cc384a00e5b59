// Change events by polling: edges in order, the debounce time, the timeout,
// and no change missed that lasts the debounce time plus two intervals.
// Through the board service, the service polls and debounces; what only a
// watcher that polls while its caller waits does is in DirectWatchTest.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "board_api_fixture.h"
#include "board_registers.h"

namespace {

uint64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class WatchTest : public BoardApiTest {
 protected:
  void TearDown() override {
    vdio_watch_free(watch_);
    BoardApiTest::TearDown();
  }

  void Watch(uint32_t lines, uint32_t interval_us, uint32_t debounce_us) {
    ASSERT_EQ(vdio_watch_new(board_, lines, interval_us, debounce_us, &watch_), 0);
  }

  void SetInput(int n, bool active) {
    Poke(board::kInput[n], active ? board::kInputActive : board::kInputInactive);
  }

  // Through the service, changes are seen at the service's next samples
  // (every millisecond, see the fixture), not at the caller's look: time
  // for a few before looking.
  void AwaitServiceSamples() {
    if (GetParam() == Road::kThroughService) SleepMs(100);
  }

  // The events that one look at the board finds.
  std::vector<vdio_event> LookOnce() {
    std::vector<vdio_event> events;
    vdio_event event;
    int result;
    while ((result = vdio_watch_next(watch_, 0, &event)) == 1) events.push_back(event);
    EXPECT_EQ(result, 0);
    return events;
  }

  vdio_watch *watch_ = nullptr;
};
BOARD_API_TEST_P(WatchTest);

// What a watcher that polls only while its caller waits does: each look
// polls, and time away from it is not time a level held.
using DirectWatchTest = WatchTest;
BOARD_API_DIRECT_TEST_P(DirectWatchTest);

TEST_P(WatchTest, RisingAndFallingEdgesComeInOrderWithTheirTimes) {
  Watch(1u << VDIO_DI3, 1000, 0);
  uint64_t before[3], after[3];
  std::thread outside([&] {
    for (int i = 0; i < 3; ++i) {
      SleepMs(40);
      before[i] = NowNs();
      SetInput(3, i % 2 == 0);
      after[i] = NowNs();
    }
  });
  vdio_event events[3];
  int results[3];
  for (int i = 0; i < 3; ++i) results[i] = vdio_watch_next(watch_, 5000, &events[i]);
  outside.join();
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("event " + std::to_string(i));
    ASSERT_EQ(results[i], 1);
    EXPECT_EQ(events[i].line, VDIO_DI3);
    EXPECT_EQ(events[i].value, i % 2 == 0 ? 1 : 0);
    EXPECT_EQ(events[i].edge, i % 2 == 0 ? VDIO_RISING : VDIO_FALLING);
    // Seen after the change, by a poll soon after it.
    EXPECT_GE(events[i].timestamp_ns, before[i]);
    EXPECT_LT(events[i].timestamp_ns, after[i] + 1000000000u);
  }
}

TEST_P(WatchTest, OnlyChangesAfterTheWatchStartsAndOnlyWatchedLinesAreReported) {
  SetInput(0, true);  // active before the watch: no event for it
  Watch(1u << VDIO_DI0 | 1u << VDIO_DI1, 1000, 0);
  SetInput(7, true);  // not watched
  AwaitServiceSamples();
  EXPECT_TRUE(LookOnce().empty());
  SetInput(1, true);
  AwaitServiceSamples();
  const std::vector<vdio_event> events = LookOnce();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].line, VDIO_DI1);
}

TEST_P(DirectWatchTest, LinesThatChangeBeforeOnePollComeInLineOrder) {
  Watch(VDIO_INPUT_LINES | VDIO_OUTPUT_LINES | VDIO_LED_LINES, 1000, 0);
  SetInput(5, true);
  SetInput(2, true);
  ASSERT_EQ(vdio_set(board_, VDIO_LED2, 1), 0);
  ASSERT_EQ(vdio_set(board_, VDIO_DO4, 1), 0);
  const std::vector<vdio_event> events = LookOnce();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].line, VDIO_DI2);
  EXPECT_EQ(events[1].line, VDIO_DI5);
  EXPECT_EQ(events[2].line, VDIO_DO4);
  EXPECT_EQ(events[3].line, VDIO_LED2);
  for (const vdio_event &e : events) EXPECT_EQ(e.edge, VDIO_RISING);
}

TEST_P(WatchTest, ALevelIsReportedOnlyOnceItHasHeldForTheDebounceTime) {
  Watch(1u << VDIO_DI4, 1000, 200000);
  // A glitch: seen active once, inactive at the next look.
  SetInput(4, true);
  AwaitServiceSamples();
  EXPECT_TRUE(LookOnce().empty());
  SetInput(4, false);
  AwaitServiceSamples();
  EXPECT_TRUE(LookOnce().empty());
  // A change that holds: not yet after a moment, reported once it has held
  // for 200 ms, with the time it was first seen.
  SetInput(4, true);
  const uint64_t changed = NowNs();
  EXPECT_TRUE(LookOnce().empty());
  vdio_event event;
  ASSERT_EQ(vdio_watch_next(watch_, 2000, &event), 1);
  const uint64_t reported = NowNs();
  EXPECT_EQ(event.edge, VDIO_RISING);
  EXPECT_GE(event.timestamp_ns, changed);
  EXPECT_LT(event.timestamp_ns, changed + 200000000u);
  EXPECT_GE(reported - changed, 200000000u);
  EXPECT_EQ(vdio_watch_next(watch_, 50, &event), 0);
}

// A level seen just before the caller went away has not been seen to hold
// while nobody looked: its debounce time starts again.
TEST_P(DirectWatchTest, TimeAwayFromTheWatcherDoesNotCountAsHeld) {
  Watch(1u << VDIO_DI1, 1000, 50000);
  SetInput(1, true);
  EXPECT_TRUE(LookOnce().empty());
  SleepMs(190);  // away; the line may have done anything meanwhile
  EXPECT_TRUE(LookOnce().empty());
  SetInput(1, false);  // it held only from the last look on, briefly
  vdio_event event;
  EXPECT_EQ(vdio_watch_next(watch_, 200, &event), 0);
}

TEST_P(DirectWatchTest, ChangesDueAtOnePollComeInTheOrderTheyWereSeen) {
  Watch(1u << VDIO_DI2 | 1u << VDIO_DI5, 100000, 100000);
  SetInput(5, true);
  EXPECT_TRUE(LookOnce().empty());
  SleepMs(50);
  SetInput(2, true);
  EXPECT_TRUE(LookOnce().empty());
  SleepMs(120);  // both due now; DI5 was seen first
  const std::vector<vdio_event> events = LookOnce();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].line, VDIO_DI5);
  EXPECT_EQ(events[1].line, VDIO_DI2);
  EXPECT_LT(events[0].timestamp_ns, events[1].timestamp_ns);
}

// Looks between polls (a timeout of 0) must not put the next poll off.
TEST_P(DirectWatchTest, ExtraLooksDoNotDelayThePolls) {
  Watch(1u << VDIO_DI0, 100000, 0);
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(LookOnce().empty());
  SetInput(0, true);
  vdio_event event;
  const uint64_t start = NowNs();
  ASSERT_EQ(vdio_watch_next(watch_, 1000, &event), 1);
  EXPECT_LT(NowNs() - start, 500000000u) << "the next poll was put off";
}

TEST_P(WatchTest, AWaitWithoutTimeoutEndsWithTheChange) {
  Watch(1u << VDIO_DI7, 1000, 0);
  std::thread outside([this] {
    SleepMs(50);
    SetInput(7, true);
  });
  vdio_event event;
  EXPECT_EQ(vdio_watch_next(watch_, -1, &event), 1);
  outside.join();
  EXPECT_EQ(event.line, VDIO_DI7);
}

// Each thread its own watcher on one board, each seeing its own line. Each
// level is held until its watcher has seen it (at most 5 s), so that a
// thread scheduled late on a busy or emulated machine misses nothing.
TEST_P(WatchTest, WatchersInSeveralThreadsShareOneBoard) {
  constexpr int kWatchers = 4;
  std::atomic<int> seen[kWatchers] = {};
  std::vector<std::thread> watchers;
  std::atomic<int> ready{0};
  std::atomic<bool> done{false};
  for (int n = 0; n < kWatchers; ++n) {
    watchers.emplace_back([&, n] {
      vdio_watch *w = nullptr;
      if (vdio_watch_new(board_, 1u << n, 1000, 0, &w) != 0) return;
      ++ready;
      vdio_event event;
      int result = 0;
      while (!done.load() && (result = vdio_watch_next(w, 100, &event)) >= 0)
        if (result == 1) seen[n] += event.line == n ? 1 : 100;
      vdio_watch_free(w);
    });
  }
  while (ready.load() < kWatchers) SleepMs(1);
  const auto seen_reaches = [&seen](int n, int count) {
    for (int waited = 0; seen[n].load() < count && waited < 5000; ++waited) SleepMs(1);
    return seen[n].load() >= count;
  };
  for (int n = 0; n < kWatchers; ++n) {
    SetInput(n, true);
    EXPECT_TRUE(seen_reaches(n, 1)) << "watcher of DI" << n << " saw no rising edge";
    SetInput(n, false);
    EXPECT_TRUE(seen_reaches(n, 2)) << "watcher of DI" << n << " saw no falling edge";
  }
  SleepMs(50);  // room for an event that should not come
  done = true;
  for (std::thread &t : watchers) t.join();
  for (int n = 0; n < kWatchers; ++n) EXPECT_EQ(seen[n].load(), 2) << "watcher of DI" << n;
}

// Pulses on DI6 from another thread while the watcher waits: each long
// pulse must give exactly a rising and a falling edge, each glitch nothing.
// What counts is the measured length of each pulse, so that a thread
// delayed by a busy machine cannot turn a glitch into a pulse unnoticed.
TEST_P(WatchTest, NoChangeThatLastsTheDebounceTimeAndTwoIntervalsIsMissed) {
  constexpr uint64_t kIntervalNs = 2000000, kDebounceNs = 40000000;
  constexpr int kLongMs = 120, kGlitchMs = 3, kGapMs = 200, kPulses = 6;
  Watch(1u << VDIO_DI6, kIntervalNs / 1000, kDebounceNs / 1000);

  struct Pulse { uint64_t start_before, start_after, end_before, end_after; };
  std::vector<Pulse> pulses(kPulses);
  std::thread outside([&] {
    for (int i = 0; i < kPulses; ++i) {
      SleepMs(kGapMs);
      Pulse &p = pulses[static_cast<size_t>(i)];
      p.start_before = NowNs();
      SetInput(6, true);
      p.start_after = NowNs();
      SleepMs(i % 2 == 0 ? kLongMs : kGlitchMs);
      p.end_before = NowNs();
      SetInput(6, false);
      p.end_after = NowNs();
    }
  });
  std::vector<vdio_event> events;
  const uint64_t stop = NowNs() + uint64_t{kPulses} * (kLongMs + kGapMs) * 1000000u + 1500000000u;
  vdio_event event;
  while (NowNs() < stop) {
    const int result = vdio_watch_next(watch_, 50, &event);
    ASSERT_GE(result, 0);
    if (result == 1) events.push_back(event);
  }
  outside.join();

  for (int i = 0; i < kPulses; ++i) {
    const Pulse &p = pulses[static_cast<size_t>(i)];
    SCOPED_TRACE("pulse " + std::to_string(i));
    std::vector<int> edges;
    for (const vdio_event &e : events)
      if (e.timestamp_ns >= p.start_before &&
          e.timestamp_ns < p.end_after + kDebounceNs + 2 * kIntervalNs + 100000000u)
        edges.push_back(e.edge);
    const uint64_t shortest = p.end_before - p.start_after;
    const uint64_t longest = p.end_after - p.start_before;
    if (shortest >= kDebounceNs + 2 * kIntervalNs) {
      EXPECT_EQ(edges, (std::vector<int>{VDIO_RISING, VDIO_FALLING}));
    } else if (longest < kDebounceNs) {
      EXPECT_TRUE(edges.empty()) << "a glitch of at most " << longest << " ns was reported";
    } else {
      EXPECT_TRUE(edges.empty() || edges == (std::vector<int>{VDIO_RISING, VDIO_FALLING}));
    }
  }
  EXPECT_EQ(events.size() % 2, 0u);
}

TEST_P(WatchTest, TheTimeoutIsHonoured) {
  Watch(VDIO_INPUT_LINES, 5000, 0);
  vdio_event event;
  uint64_t start = NowNs();
  EXPECT_EQ(vdio_watch_next(watch_, 150, &event), 0);
  const uint64_t waited = NowNs() - start;
  EXPECT_GE(waited, 150000000u);
  EXPECT_LT(waited, 1150000000u);
  start = NowNs();
  EXPECT_EQ(vdio_watch_next(watch_, 0, &event), 0);
  EXPECT_LT(NowNs() - start, 100000000u);
}

void OnSignal(int) {}

// A signal that comes while the watcher polls rather than sleeps runs its
// handler without ending the wait, so the signal is sent until the wait
// ends (a program that stops on a signal waits in slices and checks its own
// flag between them).
TEST_P(WatchTest, ASignalEndsTheWaitWithEINTRAndTheWatcherGoesOn) {
  if (std::getenv("VARNIK_TEST_EMULATOR") != nullptr)
    GTEST_SKIP() << "under " << std::getenv("VARNIK_TEST_EMULATOR")
                 << " a signal sent to a thread sleeping in clock_nanosleep does not end the "
                    "sleep, and the emulated process then aborts";
  struct sigaction action {};
  action.sa_handler = OnSignal;  // no SA_RESTART
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  Watch(1u << VDIO_DI2, 1000, 0);
  const pthread_t waiter = pthread_self();
  std::atomic<bool> returned{false};
  std::thread interrupter([&] {
    for (int i = 0; i < 100 && !returned.load(); ++i) {
      SleepMs(50);
      if (!returned.load()) pthread_kill(waiter, SIGUSR1);
    }
  });
  vdio_event event;
  const int result = vdio_watch_next(watch_, 10000, &event);
  returned = true;
  interrupter.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(result, -EINTR);
  SetInput(2, true);
  ASSERT_EQ(vdio_watch_next(watch_, 2000, &event), 1);
  EXPECT_EQ(event.line, VDIO_DI2);
}

TEST_P(WatchTest, BadArgumentsAreEINVAL) {
  vdio_watch *w = reinterpret_cast<vdio_watch *>(0x1);
  EXPECT_EQ(vdio_watch_new(board_, 0, 1000, 0, &w), -EINVAL);
  EXPECT_EQ(vdio_watch_new(board_, 1u << VDIO_LINE_COUNT, 1000, 0, &w), -EINVAL);
  EXPECT_EQ(vdio_watch_new(board_, 1, 0, 0, &w), -EINVAL);
  EXPECT_EQ(vdio_watch_new(board_, 1, VDIO_WATCH_MAX_INTERVAL_US + 1, 0, &w), -EINVAL);
  EXPECT_EQ(vdio_watch_new(board_, 1, 1000, VDIO_WATCH_MAX_DEBOUNCE_US + 1, &w), -EINVAL);
  EXPECT_EQ(vdio_watch_new(nullptr, 1, 1000, 0, &w), -EINVAL);
  EXPECT_EQ(vdio_watch_new(board_, 1, 1000, 0, nullptr), -EINVAL);
  EXPECT_EQ(w, reinterpret_cast<vdio_watch *>(0x1));
  vdio_event event;
  EXPECT_EQ(vdio_watch_next(nullptr, 0, &event), -EINVAL);
  // The limits themselves are accepted.
  for (const uint32_t interval : {VDIO_WATCH_MIN_INTERVAL_US, VDIO_WATCH_MAX_INTERVAL_US}) {
    ASSERT_EQ(vdio_watch_new(board_, VDIO_ALL_LINES, interval, VDIO_WATCH_MAX_DEBOUNCE_US, &w), 0);
    vdio_watch_free(w);
  }
  Watch(1, 1000, 0);
  EXPECT_EQ(vdio_watch_next(watch_, 0, nullptr), -EINVAL);
  vdio_watch_free(nullptr);
}

// It polls only inside vdio_watch_next: there is no descriptor to wait on.
TEST_P(DirectWatchTest, HasNoDescriptor) {
  Watch(1, 1000, 0);
  EXPECT_EQ(vdio_watch_fd(watch_), -EOPNOTSUPP);
  EXPECT_EQ(vdio_watch_fd(nullptr), -EINVAL);
}

}  // namespace
