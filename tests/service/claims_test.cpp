// Claims through the service: a claimed line is written only by its
// holder, bad claims are refused, and a claim that ends (released, closed,
// its process killed) leaves its lines at their safe values at once.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "board_registers.h"
#include "claim_fixture.h"

namespace {

namespace wire = varnik::wire;

constexpr uint32_t kDo0To3 = 0xFu << VDIO_DO0;

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
      {"a consumer without a NUL", ClaimBytes(1u << VDIO_DO5, 0, 0, std::string(32, 'x'))}};
  for (const auto &[what, bytes] : bad) {
    ASSERT_TRUE(raw->SendBytes(bytes));
    const auto reply = raw->Receive(5);
    ASSERT_TRUE(reply) << what;
    EXPECT_EQ(reply->status, -EINVAL) << what;
  }
  EXPECT_EQ(raw->Call(Request(wire::kRelease, 1u << VDIO_DI0))->status, -EINVAL);
  EXPECT_EQ(raw->Call(Request(wire::kGetClaim, 19))->status, -EINVAL);
  EXPECT_EQ(vdio_set(b, VDIO_DO5, 1), 0) << "none of them claimed DO5";
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
