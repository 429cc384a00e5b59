// The bridge's decisions, on a stand-in board that records what is written
// and a clock of the test's own: what a set writes or ignores, when the
// broker-loss guard writes the safe values, which figures go out.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "broker_loss_guard.h"
#include "figure_publisher.h"
#include "set_handler.h"
#include "tool_messages.h"

namespace {

using namespace dio_mqttd;
using namespace std::chrono_literals;
using varnik::tools::LineHolder;
using varnik::tools::LineIo;
using varnik::tools::TimePoint;

const TimePoint kStart{100s};

struct Write {
  bool leds;
  uint8_t mask, values;
  bool operator==(const Write &other) const {
    return leds == other.leds && mask == other.mask && values == other.values;
  }
};

class StandInLines final : public LineIo {
 public:
  vdio_state Read() const override { return {}; }
  uint8_t ReadInputs() const override { return 0; }
  bool WriteOutputs(uint8_t mask, uint8_t values) override { return Record({false, mask, values}); }
  bool WriteLeds(uint8_t mask, uint8_t values) override { return Record({true, mask, values}); }
  std::optional<LineHolder> HolderOf(int line) const override {
    if (!held) return std::nullopt;
    return LineHolder{line, false, 4321, "mixer"};
  }
  int Claim(const struct vdio_claim &) override { return 0; }
  bool ThroughService() const override { return true; }
  int ReadInputStats(vdio_input_stats stats[VDIO_INPUT_COUNT]) const override {
    if (!figures_kept) return -EOPNOTSUPP;
    for (size_t n = 0; n < VDIO_INPUT_COUNT; ++n) stats[n] = figures[n];
    return 0;
  }
  int ClearInputStats(int, uint32_t) override { return -EOPNOTSUPP; }
  int NewWatch(uint32_t, uint32_t, uint32_t, vdio_watch **) const override { return -EOPNOTSUPP; }

  std::vector<Write> writes;
  bool held = false;  // every write refused, as by another client's claim
  bool figures_kept = true;
  std::array<vdio_input_stats, VDIO_INPUT_COUNT> figures{};

 private:
  bool Record(const Write &write) {
    if (held) return false;
    writes.push_back(write);
    return true;
  }
};

// The log lines printed while it lives.
class CapturedLog {
 public:
  CapturedLog() {
    varnik::tools::SetMessageSink([this](const std::string &line) { lines.push_back(line); });
  }
  ~CapturedLog() { varnik::tools::SetMessageSink(nullptr); }
  bool Has(const std::string &text) const {
    for (const auto &line : lines)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> lines;
};

class SetHandlerTest : public ::testing::Test {
 protected:
  bool Set(const std::string &line, const std::string &payload, bool retained = false) {
    return handler_.Handle("varnik-dio/b1/" + line + "/set", payload, retained, kStart);
  }
  Topics topics_{"varnik-dio", "b1"};
  StandInLines lines_;
  CapturedLog log_;
  SetHandler handler_{topics_, lines_};
};

TEST_F(SetHandlerTest, ALevelWritesJustItsLine) {
  EXPECT_TRUE(Set("DO3", "on"));
  EXPECT_TRUE(Set("DO3", "0"));
  EXPECT_TRUE(Set("DO0", "ON"));
  EXPECT_TRUE(Set("LED2", "1"));
  EXPECT_TRUE(Set("LED3", "Off"));
  EXPECT_EQ(lines_.writes, (std::vector<Write>{{false, 0x08, 0x08},
                                               {false, 0x08, 0x00},
                                               {false, 0x01, 0x01},
                                               {true, 0x02, 0x02},
                                               {true, 0x04, 0x00}}));
  EXPECT_TRUE(log_.lines.empty());
}

TEST_F(SetHandlerTest, RetainedSetsGarbageAndInputsWriteNothingAndAreLogged) {
  EXPECT_FALSE(Set("DO3", "1", true)) << "a retained command, from the broker's memory";
  EXPECT_FALSE(Set("DO4", "2"));
  EXPECT_FALSE(Set("DO5", ""));
  EXPECT_FALSE(Set("DI2", "1"));
  EXPECT_TRUE(lines_.writes.empty());
  ASSERT_FALSE(log_.lines.empty());
  EXPECT_TRUE(log_.Has("varnik-dio/b1/DO3/set")) << log_.lines[0];
}

TEST_F(SetHandlerTest, AWriteRefusedByAClaimNamesTheHolder) {
  lines_.held = true;
  EXPECT_FALSE(Set("DO6", "1"));
  EXPECT_TRUE(log_.Has("\"mixer\" (pid 4321)")) << (log_.lines.empty() ? "" : log_.lines[0]);
}

TEST(BrokerLossGuardTest, SafeValuesOnceTheBrokerIsOutOfReachLongerThanTheLease) {
  StandInLines lines;
  CapturedLog log;
  BrokerLossGuard guard(2s, 0x81, kStart);
  EXPECT_EQ(guard.Deadline(), kStart + 2s) << "not reached yet counts as out of reach";
  guard.Connected(kStart + 1s);
  guard.Alive(kStart + 10s);
  EXPECT_EQ(guard.Deadline(), kStart + 12s);
  EXPECT_FALSE(guard.Check(kStart + 10s, lines)) << "connected and answering";
  guard.Lost(kStart + 10s);
  guard.Lost(kStart + 11s);  // a failed attempt does not restart the count
  EXPECT_FALSE(guard.Check(kStart + 11s + 999ms, lines));
  EXPECT_TRUE(lines.writes.empty());
  EXPECT_TRUE(guard.Check(kStart + 12s, lines));
  EXPECT_EQ(lines.writes, (std::vector<Write>{{false, 0xFF, 0x81}, {true, 0x07, 0x00}}));
  EXPECT_FALSE(guard.Check(kStart + 30s, lines)) << "once per loss";
  EXPECT_EQ(lines.writes.size(), 2u);
  EXPECT_TRUE(log.Has("safe values 0x81"));
  guard.Connected(kStart + 40s);
  EXPECT_TRUE(log.Has("the broker is back"));
  guard.Lost(kStart + 50s);
  EXPECT_TRUE(guard.Check(kStart + 52s, lines)) << "and again at the next loss";
}

TEST(BrokerLossGuardTest, AConnectedButSilentBrokerIsOutOfReachFromItsLastAnswer) {
  StandInLines lines;
  CapturedLog log;
  BrokerLossGuard guard(2s, 0x81, kStart);
  guard.Connected(kStart + 1s);
  EXPECT_FALSE(guard.Check(kStart + 2s + 999ms, lines));
  EXPECT_TRUE(guard.Check(kStart + 3s + 200ms, lines)) << "connected, but silent";
  EXPECT_EQ(lines.writes, (std::vector<Write>{{false, 0xFF, 0x81}, {true, 0x07, 0x00}}));
  EXPECT_TRUE(log.Has("no answer from the broker for 2.2s (longer than --lease 2s)"));
  EXPECT_FALSE(guard.ProbeDue(kStart + 4s)) << "nothing to probe once found lost";
}

TEST(BrokerLossGuardTest, AQuietLinkIsProbedEveryQuarterLeaseOnlyWhileConnected) {
  StandInLines lines;
  BrokerLossGuard guard(2s, 0x00, kStart);
  EXPECT_EQ(guard.NextProbe(), std::nullopt) << "not connected";
  guard.Connected(kStart);
  EXPECT_EQ(guard.NextProbe(), kStart + 500ms);
  EXPECT_FALSE(guard.ProbeDue(kStart + 499ms));
  EXPECT_TRUE(guard.ProbeDue(kStart + 500ms));
  EXPECT_EQ(guard.NextProbe(), kStart + 1s) << "unanswered: probed again";
  guard.Alive(kStart + 1900ms);
  EXPECT_FALSE(guard.Check(kStart + 3s, lines)) << "the answer moved the deadline";
  EXPECT_EQ(guard.NextProbe(), kStart + 2400ms);
  guard.Lost(kStart + 2s);
  EXPECT_EQ(guard.NextProbe(), std::nullopt);
  EXPECT_EQ(guard.Deadline(), kStart + 3900ms) << "from the last answer, not the loss";
}

TEST(BrokerLossGuardTest, WithoutALeaseItNeverWritesNorProbes) {
  StandInLines lines;
  BrokerLossGuard guard(std::nullopt, 0xFF, kStart);
  EXPECT_EQ(guard.Deadline(), std::nullopt);
  EXPECT_FALSE(guard.Check(kStart + 1h, lines));
  EXPECT_TRUE(lines.writes.empty());
  guard.Connected(kStart);
  EXPECT_FALSE(guard.ProbeDue(kStart + 1h));
}

class FigurePublisherTest : public ::testing::Test {
 protected:
  std::vector<std::string> Published(const std::function<void(const PublishSink &)> &step) {
    std::vector<std::string> seen;
    step([&](const Outgoing &message) {
      EXPECT_EQ(message.qos, 0);
      EXPECT_TRUE(message.retain);
      seen.push_back(message.topic + " " + message.payload);
    });
    return seen;
  }
  Topics topics_{"varnik-dio", "b1"};
  StandInLines lines_;
};

TEST_F(FigurePublisherTest, AllAtConnectThenOnlyWhatChangedOncePerInterval) {
  FigurePublisher figures(topics_, lines_, 1s, kStart);
  ASSERT_TRUE(figures.kept());
  lines_.figures[3].rising = 5;
  const auto all = Published([&](const PublishSink &sink) { figures.PublishAll(kStart, sink); });
  EXPECT_EQ(all.size(), 16u);
  EXPECT_EQ(all[6], "varnik-dio/b1/DI3/count 5");
  lines_.figures[3].rising = 6;
  lines_.figures[5].frequency_mhz = 12345;
  EXPECT_TRUE(Published([&](const PublishSink &sink) { figures.Tick(kStart + 999ms, sink); })
                  .empty())
      << "within the interval";
  EXPECT_EQ(Published([&](const PublishSink &sink) { figures.Tick(kStart + 1s, sink); }),
            (std::vector<std::string>{"varnik-dio/b1/DI3/count 6",
                                      "varnik-dio/b1/DI5/frequency 12.345"}));
  EXPECT_TRUE(Published([&](const PublishSink &sink) { figures.Tick(kStart + 2s, sink); }).empty())
      << "nothing changed";
}

TEST_F(FigurePublisherTest, NoneWhereNobodyKeepsThem) {
  lines_.figures_kept = false;
  CapturedLog log;
  FigurePublisher figures(topics_, lines_, 1s, kStart);
  EXPECT_FALSE(figures.kept());
  EXPECT_EQ(log.lines.size(), 1u);
  EXPECT_TRUE(Published([&](const PublishSink &sink) { figures.PublishAll(kStart, sink); }).empty());
  EXPECT_EQ(figures.NextDue(), std::nullopt);
}

}  // namespace
