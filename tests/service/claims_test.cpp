// Claims through the service: a claimed line is written only by its
// holder, bad claims are refused, and a claim that ends (released, closed,
// its process killed) leaves its lines at their safe values at once.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "board_registers.h"
#include "claim_fixture.h"

namespace {

namespace wire = varnik::wire;

constexpr uint32_t kDo0To3 = 0xFu << VDIO_DO0;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

TEST_F(ClaimTest, OnlyTheHolderWritesItsLinesAndBadClaimsAreRefused) {
  Start();
  vdio_board *a = Open();
  vdio_board *b = Open();
  ASSERT_EQ(vdio_write_outputs(a, 0xFF, 0x00), 0);
  const auto claim = Claim(kDo0To3, 0, 0, 2000, "mixer");
  ASSERT_EQ(vdio_claim(a, &claim), 0) << service_->Log();
  EXPECT_EQ(vdio_set(b, VDIO_DO0, 1), -EBUSY);
  EXPECT_EQ(vdio_write_outputs(b, 0x18, 0x18), -EBUSY) << "DO3 claimed: DO4 not written either";
  EXPECT_EQ(OutputsOnBoard(), 0x00);
  EXPECT_EQ(vdio_write_outputs(b, 0xF0, 0xF0), 0);
  EXPECT_EQ(vdio_set(a, VDIO_DO3, 1), 0) << "the holder writes";
  EXPECT_EQ(OutputsOnBoard(), 0xF8);
  const auto other = Claim(1u << VDIO_DO2, 0, 0, 0, "other");
  EXPECT_EQ(vdio_claim(b, &other), -EBUSY);
  EXPECT_EQ(vdio_release(b, 1u << VDIO_DO0), -EINVAL) << "not its line";
  auto holding = Connect("holding");
  ASSERT_TRUE(holding->SendBytes(ClaimBytes(1u << VDIO_LED3, 0, 0, "x")));
  EXPECT_EQ(holding->Receive(5)->status, 0);
  EXPECT_EQ(holding->Call(Request(wire::kWatch, 1u << VDIO_DI0, 1000))->status, -EBUSY)
      << "a watch could neither feed its lease nor release it";
  EXPECT_EQ(vdio_release(a, (1u << VDIO_DO0) | (1u << VDIO_DO4)), -EINVAL) << "DO4 not held";
  EXPECT_EQ(vdio_set(b, VDIO_DO0, 1), -EBUSY) << "nothing released";

  for (vdio_board *asking : {a, b}) {
    vdio_claim_info info{};
    info.size = sizeof info;
    ASSERT_EQ(vdio_get_claim(asking, VDIO_DO2, &info), 1);
    EXPECT_STREQ(info.consumer, "mixer");
    EXPECT_EQ(info.pid, getpid());
    EXPECT_EQ(info.lease_ms, 2000u);
    EXPECT_EQ(info.flags, asking == a ? VDIO_CLAIM_INFO_MINE : 0u);
    EXPECT_EQ(vdio_get_claim(asking, VDIO_DO4, &info), 0);
    EXPECT_EQ(vdio_get_claim(asking, VDIO_DI0, &info), 0) << "an input is held by nobody";
  }

  // The service checks what a client speaking the wire itself sends.
  auto raw = Connect("raw");
  const std::vector<std::pair<std::string, std::vector<uint8_t>>> bad = {
      {"an input", ClaimBytes(1u << VDIO_DI0, 0, 0, "x")},
      {"a line above the map", ClaimBytes(1u << 19, 0, 0, "x")},
      {"no lines", ClaimBytes(0, 0, 0, "x")},
      {"safe values outside the lines", ClaimBytes(1u << VDIO_DO5, 1u << VDIO_DO6, 0, "x")},
      {"an unknown flag", ClaimBytes(1u << VDIO_DO5, 0, 2, "x")},
      {"a consumer not printable", ClaimBytes(1u << VDIO_DO5, 0, 0, "bad\tname")},
      {"a consumer without a NUL", ClaimBytes(1u << VDIO_DO5, 0, 0, std::string(32, 'x'))},
      {"a lease below the shortest", ClaimBytes(1u << VDIO_DO5, 0, uint64_t{9} << 32, "x")}};
  for (const auto &[what, bytes] : bad) {
    ASSERT_TRUE(raw->SendBytes(bytes));
    const auto reply = raw->Receive(5);
    ASSERT_TRUE(reply) << what;
    EXPECT_EQ(reply->status, -EINVAL) << what;
  }
  EXPECT_EQ(raw->Call(Request(wire::kRelease, 1u << VDIO_DI0))->status, -EINVAL);
  EXPECT_EQ(raw->Call(Request(wire::kSet, VDIO_DO0, 2))->status, -EINVAL) << "bad before busy";
  EXPECT_EQ(raw->Call(Request(wire::kWriteOutputs, 0x101, 0))->status, -EINVAL);
  EXPECT_EQ(raw->Call(Request(wire::kGetClaim, 19))->status, -EINVAL);
  // A train that would hold its line for more than an hour.
  std::vector<uint8_t> train(wire::kPulseSize);
  wire::Encode(Request(wire::kPulse, VDIO_DO5, 3601, 1000), train.data());
  wire::PutU64(train.data() + wire::kMessageSize, 1'000'000);
  ASSERT_TRUE(raw->SendBytes(train));
  EXPECT_EQ(raw->Receive(5)->status, -EINVAL);
  EXPECT_EQ(vdio_set(b, VDIO_DO5, 1), 0) << "none of them claimed DO5";
  // A train holds its line against everyone: the log names whose it is.
  ASSERT_EQ(vdio_pulse(b, VDIO_DO6, 1000, 2, 2000), 0);
  EXPECT_TRUE(service_->WaitForLog("pulse of DO6 by pid " + std::to_string(getpid()), 5));
  EXPECT_TRUE(service_->WaitForLog("): 2 x 1ms, every 2ms", 5)) << service_->Log();
  for (const size_t size : {wire::kMessageSize, wire::kClaimSize + 1}) {
    auto sized = Connect("sized");
    std::vector<uint8_t> bytes = ClaimBytes(1u << VDIO_DO5, 0, 0, "x");
    bytes.resize(size);
    ASSERT_TRUE(sized->SendBytes(bytes));
    EXPECT_EQ(sized->Receive(5)->status, -EPROTO) << size << " bytes";
    EXPECT_TRUE(sized->ClosedWithin(5));
  }
}

TEST_F(ClaimTest, AKilledHoldersLinesGoToTheirSafeValuesAtOnce) {
  Start({"--interval", "10ms"});
  SetOutputsTo(0x0A);
  const Holder holder = SpawnHolder(Claim(kDo0To3, 0x5u << VDIO_DO0, 0, 0, "child-mixer"));
  ASSERT_GT(holder.pid, 0);
  ASSERT_EQ(OutputsOnBoard() & 0x0F, 0x0A);
  kill(holder.pid, SIGKILL);
  waitpid(holder.pid, nullptr, 0);
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitForOutputs(0x0F, 0x05, 5)) << service_->Log();
  EXPECT_LT(std::chrono::steady_clock::now() - killed, SlowDuration(0.010 + 0.100));
  EXPECT_TRUE(service_->WaitForLog("claim of DO0,DO1,DO2,DO3 by child-mixer (pid " +
                                       std::to_string(holder.pid) +
                                       ") ended (closed by the client): DO0=1 DO1=0 DO2=1 DO3=0",
                                   5))
      << service_->Log();
}

TEST_F(ClaimTest, AReleaseOrACloseAppliesTheSafeValuesUnlessKept) {
  Start();
  vdio_board *a = Open();
  ASSERT_EQ(vdio_write_outputs(a, 0xFF, 0x0F), 0);
  const auto claim = Claim(kDo0To3, 0x6u << VDIO_DO0, 0, 0, "mixer");
  ASSERT_EQ(vdio_claim(a, &claim), 0);
  ASSERT_EQ(vdio_release(a, 0x3u << VDIO_DO0), 0);
  EXPECT_EQ(OutputsOnBoard(), 0x0E) << "DO0=0 DO1=1 on the release's return; DO2, DO3 held";
  EXPECT_TRUE(service_->WaitForLog("claim of DO0,DO1 by mixer (pid " + std::to_string(getpid()) +
                                       ") ended (released): DO0=0 DO1=1",
                                   5))
      << service_->Log();
  CloseBoard(a);
  EXPECT_TRUE(WaitForOutputs(0x0F, 0x06, 5)) << "DO2=1 DO3=0 once closed";

  vdio_board *kept = Open();
  ASSERT_EQ(vdio_write_outputs(kept, 0xF0, 0xF0), 0);
  const auto keep = Claim(0xF0u << VDIO_DO0, 0, VDIO_CLAIM_KEEP, 0, "keeper");
  ASSERT_EQ(vdio_claim(kept, &keep), 0);
  CloseBoard(kept);
  EXPECT_TRUE(service_->WaitForLog(
      "claim of DO4,DO5,DO6,DO7 by keeper (pid " + std::to_string(getpid()) +
          ") ended (closed by the client): left as they are (keep)",
      5))
      << service_->Log();
  EXPECT_EQ(OutputsOnBoard(), 0xF6);
}

TEST_F(ClaimTest, ALeaseRunsOutWhenItsHolderFallsSilentAndItsNextWriteRecovers) {
  Start({"--interval", "10ms"});
  vdio_board *holder = Open();
  vdio_board *other = Open();
  // Keeping is for a claim's end: a lease that runs out drives DO4 too.
  const auto kept = Claim(1u << VDIO_DO4, 0, VDIO_CLAIM_KEEP, 200, "leaser");
  ASSERT_EQ(vdio_claim(holder, &kept), 0);
  const auto claim = Claim(kDo0To3, 0x5u << VDIO_DO0, 0, 200, "leaser");
  ASSERT_EQ(vdio_claim(holder, &claim), 0);
  vdio_watch *watch = nullptr;
  ASSERT_EQ(vdio_watch_new(holder, kDo0To3, 1000, 0, &watch), 0);
  ASSERT_EQ(vdio_write_outputs(holder, 0x1F, 0x1A), 0);
  const auto last_request = std::chrono::steady_clock::now();
  // The holder's watch gets the events of the trip but does not feed it.
  vdio_event event{};
  while ((OutputsOnBoard() & 0x1F) != 0x05 &&
         std::chrono::steady_clock::now() - last_request < SlowDuration(5))
    vdio_watch_next(watch, 10, &event);
  EXPECT_EQ(OutputsOnBoard() & 0x1F, 0x05) << service_->Log();
  const auto tripped = std::chrono::steady_clock::now() - last_request;
  EXPECT_GE(tripped, std::chrono::milliseconds(200));
  EXPECT_LT(tripped, SlowDuration(0.200 + 0.010 + 0.100));
  vdio_watch_free(watch);

  EXPECT_EQ(vdio_set(other, VDIO_DO1, 1), -EBUSY) << "the claim stays";
  vdio_claim_info info{};
  info.size = sizeof info;
  ASSERT_EQ(vdio_get_claim(other, VDIO_DO0, &info), 1);
  EXPECT_EQ(info.flags, VDIO_CLAIM_INFO_LEASE_OUT | VDIO_CLAIM_INFO_SAFE_VALUE);
  ASSERT_EQ(vdio_get_claim(holder, VDIO_DO0, &info), 1) << "a request that feeds the lease";
  EXPECT_TRUE(info.flags & VDIO_CLAIM_INFO_LEASE_OUT) << "the lines stay safe until it writes";
  ASSERT_EQ(vdio_set(holder, VDIO_DO7, 1), 0);
  ASSERT_EQ(vdio_get_claim(holder, VDIO_DO0, &info), 1);
  EXPECT_TRUE(info.flags & VDIO_CLAIM_INFO_LEASE_OUT) << "DO7 is none of its claimed lines";
  ASSERT_EQ(vdio_set(holder, VDIO_DO1, 1), 0);
  EXPECT_EQ(OutputsOnBoard() & 0x1F, 0x07) << "the holder's write on top of the safe values";
  ASSERT_EQ(vdio_get_claim(holder, VDIO_DO0, &info), 1);
  EXPECT_FALSE(info.flags & VDIO_CLAIM_INFO_LEASE_OUT);
  const std::string who = "lease of leaser (pid " + std::to_string(getpid()) + ")";
  EXPECT_TRUE(service_->WaitForLog(who + " ran out after 200ms: DO0=1 DO1=0 DO2=1 DO3=0 DO4=0", 5));
  EXPECT_TRUE(service_->WaitForLog(who + " fed again after ", 5)) << service_->Log();
}

TEST_F(ClaimTest, APulseIsCarriedOutByTheServiceAndRefusesEveryWriteWhileItLasts) {
  Start();
  vdio_board *a = Open();
  vdio_board *b = Open();
  // Wide enough that a test sharing a loaded machine still sees every edge:
  // there a sleeper (the service, the sampler) can wake 30ms late.
  const uint64_t width_us = SlowMachine() ? 80000 : 40000;
  const uint64_t period_us = 3 * width_us;
  constexpr uint32_t count = 5;
  // A new thread can wait tens of milliseconds for a core: the pulse
  // starts once the sampler has the level before it.
  std::promise<void> sampling;
  std::future<void> sampler_ready = sampling.get_future();
  auto sampled = std::async(std::launch::async,
                            [this, &sampling] { return SampleOutput(0, 5, 2 * count, &sampling); });
  ASSERT_EQ(sampler_ready.wait_for(SlowDuration(5)), std::future_status::ready) << "no sampler";
  ASSERT_EQ(vdio_pulse(a, VDIO_DO0, width_us, count, period_us), 0);
  EXPECT_EQ(vdio_set(b, VDIO_DO0, 0), -EBUSY);
  EXPECT_EQ(vdio_write_outputs(a, 0x03, 0x00), -EBUSY) << "its own writes too";
  EXPECT_EQ(vdio_pulse(b, VDIO_DO0, 1000, 1, 0), -EBUSY);
  const auto claim = Claim(1u << VDIO_DO0, 0, 0, 0, "late");
  EXPECT_EQ(vdio_claim(b, &claim), -EBUSY);
  vdio_claim_info info{};
  info.size = sizeof info;
  EXPECT_EQ(vdio_get_claim(b, VDIO_DO0, &info), 0);
  EXPECT_EQ(info.flags, VDIO_CLAIM_INFO_PULSING);
  EXPECT_EQ(vdio_set(b, VDIO_DO1, 1), 0) << "other lines are written";

  const std::vector<LevelChange> changes = sampled.get();
  ASSERT_EQ(changes.size(), 2 * count) << service_->Log();
  std::string seen;
  std::vector<double> highs;
  std::vector<double> lows;
  for (size_t k = 0; k < changes.size(); ++k) {
    seen += std::to_string(changes[k].level) + "@" + std::to_string(changes[k].at_us) + "us ";
    EXPECT_EQ(changes[k].level, k % 2 == 0 ? 1 : 0) << k;
    if (k > 0) (k % 2 == 1 ? highs : lows).push_back(changes[k].at_us - changes[k - 1].at_us);
  }
  // A sampler sharing a loaded machine stamps edges milliseconds late, so
  // only what such lateness cannot fake is judged: the edges, their order,
  // the train's span, and pulses that are shorter than the gaps between.
  const double span_us = changes.back().at_us - changes.front().at_us;
  EXPECT_GT(span_us, (count - 1) * period_us - width_us) << seen;
  EXPECT_LT(span_us, (count + 1) * period_us) << seen;
  for (double high : highs) EXPECT_LT(high, period_us) << seen;
  EXPECT_LT(Median(highs), Median(lows)) << seen;
  EXPECT_EQ(vdio_get_claim(b, VDIO_DO0, &info), 0);
  EXPECT_EQ(info.flags, 0u) << "over";
  EXPECT_EQ(vdio_set(b, VDIO_DO0, 1), 0);
}

TEST_F(ClaimTest, APulseOutlivesItsClientButNotTheClaimOfItsLine) {
  Start();
  // Emulated or sanitized, killing the client and starting to sample can
  // take longer than the first pulse at full speed.
  const uint64_t slowdown = SlowMachine() ? 5 : 1;
  const uint64_t width_us = 80000 * slowdown;
  const uint64_t period_us = 2 * width_us;
  const Holder pulser = SpawnChild([=](vdio_board *board) {
    return vdio_pulse(board, VDIO_DO1, width_us, 3, period_us) == 0;
  });
  ASSERT_GT(pulser.pid, 0);
  kill(pulser.pid, SIGKILL);
  waitpid(pulser.pid, nullptr, 0);
  const std::vector<LevelChange> rest = SampleOutput(1, 4 * period_us / 1e6, 5);
  ASSERT_EQ(rest.size(), 5u) << "the first pulse's end and two more pulses\n" << service_->Log();
  for (size_t k = 0; k < rest.size(); ++k) EXPECT_EQ(rest[k].level, k % 2 == 0 ? 0 : 1) << k;
  const double span_us = rest.back().at_us - rest.front().at_us;
  EXPECT_NEAR(span_us, 2 * period_us, width_us) << "two periods from the first fall to the last";
  vdio_board *a = Open();
  vdio_claim_info info{};
  info.size = sizeof info;
  EXPECT_EQ(vdio_get_claim(a, VDIO_DO1, &info), 0);
  EXPECT_EQ(info.flags, 0u) << "no pulse after the last";

  const auto cut = Claim((1u << VDIO_DO2) | (1u << VDIO_DO3), 0, 0, 0, "cutter");
  ASSERT_EQ(vdio_claim(a, &cut), 0);
  ASSERT_EQ(vdio_pulse(a, VDIO_DO2, 10'000'000, 1, 0), 0);
  ASSERT_EQ(OutputsOnBoard() & 0x04, 0x04);
  ASSERT_EQ(vdio_release(a, 1u << VDIO_DO2), 0);
  EXPECT_EQ(OutputsOnBoard() & 0x04, 0x00) << "the safe value wins";
  EXPECT_EQ(vdio_get_claim(a, VDIO_DO2, &info), 0);
  EXPECT_EQ(info.flags, 0u) << "no pulse left";

  const auto keep = Claim(1u << VDIO_DO4, 0, VDIO_CLAIM_KEEP, 0, "keeper");
  ASSERT_EQ(vdio_claim(a, &keep), 0);
  ASSERT_EQ(vdio_pulse(a, VDIO_DO4, 100000 * slowdown, 1, 0), 0);
  ASSERT_EQ(vdio_release(a, 1u << VDIO_DO4), 0);
  EXPECT_EQ(OutputsOnBoard() & 0x10, 0x10) << "kept: the pulse goes on";
  EXPECT_TRUE(WaitForOutputs(0x10, 0x00, 1)) << "and ends";
}

TEST_F(ClaimTest, AStopAppliesTheClaimsSafeValuesThenStopOutputsToTheOthers) {
  Start({"--stop-outputs", "0x0f"});
  vdio_board *a = Open();
  vdio_board *b = Open();
  ASSERT_EQ(vdio_write_outputs(a, 0xFF, 0xF2), 0);
  const auto safe = Claim(0x3u << VDIO_DO0, 1u << VDIO_DO0, 0, 0, "mixer");
  ASSERT_EQ(vdio_claim(a, &safe), 0);
  const auto keep = Claim(1u << VDIO_DO6, 0, VDIO_CLAIM_KEEP, 0, "keeper");
  ASSERT_EQ(vdio_claim(b, &keep), 0);
  const int status = service_->Stop(SIGTERM, 10);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service_->Log();
  EXPECT_EQ(OutputsOnBoard(), 0x4D) << "DO0=1 DO1=0 safe, DO6=1 kept, DO2..DO5 and DO7 0x0f's";
  const std::string pid = std::to_string(getpid());
  for (const std::string &line : std::vector<std::string>
       {"claim of DO0,DO1 by mixer (pid " + pid +
            ") ended (service stopping on SIGTERM): DO0=1 DO1=0",
        "claim of DO6 by keeper (pid " + pid +
            ") ended (service stopping on SIGTERM): left as they are (keep)",
        "stopped on SIGTERM; outputs nobody claimed set to DO2=1 DO3=1 DO4=0 DO5=0 DO7=0"})
    EXPECT_EQ(service_->LogLines(line).size(), 1u) << line << " in\n" << service_->Log();
}

// Toggles line count times through board, checking each write by a read
// back: the updates lost, and the reads that showed DO7, which only a
// write through a claim could have set.
struct Toggled {
  int lost = 0;
  int leaked = 0;
};
Toggled Toggle(vdio_board *board, int line, int count) {
  Toggled result;
  for (int i = 0; i < count; ++i) {
    const int level = i & 1;
    vdio_state state{};
    if (vdio_set(board, line, level) != 0 || vdio_read(board, &state) != 0 ||
        ((state.outputs >> (line - VDIO_DO0)) & 1) != level)
      ++result.lost;
    if (state.outputs & 0x80) ++result.leaked;
  }
  return result;
}

TEST_F(ClaimTest, UnderLoadNoUpdateIsLostAndNothingGoesThroughAClaim) {
  Start();
  // A few seconds on x86-64; emulated or sanitized builds run far slower.
  const int count = SlowMachine() ? 2000 : 100000;
  vdio_board *first = Open();
  vdio_board *second = Open();
  vdio_board *intruder = Open();
  const auto claim_first = Claim(1u << VDIO_DO0, 0, 0, 0, "first");
  const auto claim_second = Claim(1u << VDIO_DO1, 0, 0, 0, "second");
  ASSERT_EQ(vdio_claim(first, &claim_first), 0);
  ASSERT_EQ(vdio_claim(second, &claim_second), 0);
  std::atomic<bool> done{false};
  std::atomic<int> refused{0};
  std::atomic<int> other{0};
  // Always DO7=1 with a claimed line: one write through would show it.
  std::thread hammer([&] {
    for (int i = 0; !done; ++i) {
      const int status = (i & 1) ? vdio_write_outputs(intruder, 0x83, 0x80 | (i & 2 ? 3 : 0))
                                 : vdio_set(intruder, VDIO_DO0 + (i & 2 ? 1 : 0), 1);
      ++(status == -EBUSY ? refused : other);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  auto first_result = std::async(std::launch::async, [&] { return Toggle(first, VDIO_DO0, count); });
  const Toggled second_result = Toggle(second, VDIO_DO1, count);
  const Toggled first_done = first_result.get();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  done = true;
  hammer.join();
  RecordProperty("toggles_per_client", count);
  RecordProperty("seconds", std::to_string(seconds));
  std::printf("%d toggles per client in %.2f s; the intruder refused %d times\n", count, seconds,
              refused.load());
  EXPECT_EQ(first_done.lost + second_result.lost, 0);
  EXPECT_EQ(first_done.leaked + second_result.leaked, 0);
  EXPECT_EQ(other.load(), 0) << "every intruding write is -EBUSY";
  EXPECT_GT(refused.load(), 0);
  EXPECT_EQ(OutputsOnBoard() & 0x80, 0);
}

TEST_F(ClaimTest, AVersionOneClientIsStillServed) {
  Start();
  WireClient old(socket_path_);
  const auto reply = old.Hello("old", 1);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 0);
  EXPECT_EQ(reply->first, 1u) << "answered in its own version";
  EXPECT_EQ(old.Call(Request(wire::kSet, VDIO_DO1, 1))->status, 0);
  EXPECT_EQ(OutputsOnBoard(), 0x02);
}

}  // namespace
