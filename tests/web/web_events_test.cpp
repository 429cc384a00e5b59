// dio-webd's data side without a server: the event hub's queues, the JSON
// of lines, the metrics text parsed back, and the board access on a
// stand-in board that fails or refuses as a lost service or a claim does.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_access.h"
#include "device_errors.h"
#include "event_hub.h"
#include "line_json.h"
#include "metrics.h"

namespace {

using namespace dio_webd;
using namespace std::chrono_literals;

std::string NextOf(Subscription &subscription) {
  std::string event;
  EXPECT_EQ(subscription.Next(0ms, &event), Subscription::Wait::kEvent);
  return event;
}

TEST(EventHubTest, EveryStreamGetsEveryEventInOrder) {
  EventHub hub(4, 8);
  auto first = hub.Subscribe(), second = hub.Subscribe();
  hub.Publish(FrameEvent("line", R"({"n":1})"));
  hub.Publish(FrameEvent("line", R"({"n":2})"));
  for (auto *stream : {first.get(), second.get()}) {
    EXPECT_EQ(NextOf(*stream), "event: line\ndata: {\"n\":1}\n\n");
    EXPECT_EQ(NextOf(*stream), "event: line\ndata: {\"n\":2}\n\n");
    std::string event;
    EXPECT_EQ(stream->Next(1ms, &event), Subscription::Wait::kTimeout);
  }
  EXPECT_EQ(hub.dropped(), 0u);
}

TEST(EventHubTest, AStreamThatFallsBehindIsEndedAndItsEventsCounted) {
  EventHub hub(4, 2);
  auto keeping_up = hub.Subscribe(), slow = hub.Subscribe();
  for (int n = 0; n < 3; ++n) {
    hub.Publish(FrameEvent("line", std::to_string(n)));
    NextOf(*keeping_up);
  }
  std::string event;
  EXPECT_EQ(slow->Next(0ms, &event), Subscription::Wait::kEnded) << "nothing after the drop";
  EXPECT_EQ(hub.dropped(), 3u) << "two queued and the one that did not fit";
  EXPECT_EQ(hub.clients(), 1u) << "its place is free at once";
  hub.Publish(FrameEvent("line", "3"));
  EXPECT_EQ(NextOf(*keeping_up), "event: line\ndata: 3\n\n");
}

TEST(EventHubTest, AFullHouseRefusesUntilAClientLeaves) {
  EventHub hub(2, 8);
  auto first = hub.Subscribe(), second = hub.Subscribe();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(hub.Subscribe(), nullptr);
  hub.Unsubscribe(first);
  EXPECT_NE(hub.Subscribe(), nullptr);
}

TEST(EventHubTest, CloseWakesAWaitingStreamAndRefusesNewOnes) {
  EventHub hub(2, 8);
  auto stream = hub.Subscribe();
  auto waiting = std::async(std::launch::async, [&] {
    std::string event;
    return stream->Next(10s, &event);
  });
  std::this_thread::sleep_for(20ms);
  hub.Close();
  ASSERT_EQ(waiting.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), Subscription::Wait::kEnded);
  EXPECT_EQ(hub.Subscribe(), nullptr);
}

TEST(EventHubTest, TextWithLineBreaksStaysOneEvent) {
  EXPECT_EQ(FrameEvent("board", "a\nb"), "event: board\ndata: a\ndata: b\n\n");
}

// A board in reach, through a service: DI0 active with figures, DO3 held
// by a consumer whose name needs escaping, LED2 pulsing.
BoardSnapshot SampleSnapshot() {
  BoardSnapshot snapshot;
  snapshot.connected = true;
  snapshot.through_service = true;
  snapshot.state = {0x01, 0x08, 0x02};
  snapshot.claims_known = true;
  LineClaim claim;
  claim.held = true;
  claim.pid = 1234;
  claim.consumer = "mi\"x\\er";
  claim.lease_ms = 500;
  claim.safe_value = 1;
  snapshot.claims[VDIO_DO3] = claim;
  snapshot.claims[VDIO_LED2] = LineClaim{false, true, 0, "", 0, 0, false, false};
  snapshot.figures_kept = true;
  snapshot.figures[0].rising = 12;
  snapshot.figures[0].falling = 11;
  snapshot.figures[0].frequency_mhz = 2500;
  snapshot.figures[0].on_time_ms = 1234;
  snapshot.figures[0].latches = VDIO_INPUT_ROSE;
  snapshot.sampler_known = true;
  snapshot.sampler.samples = 1000;
  snapshot.sampler.late_samples = 3;
  return snapshot;
}

TEST(LineJsonTest, InputsCarryTheirFiguresOrNull) {
  BoardSnapshot snapshot = SampleSnapshot();
  EXPECT_EQ(LineJson(snapshot, VDIO_DI0),
            nlohmann::json::parse(R"({"name":"DI0","direction":"input","level":1,
              "functions":{"count":12,"falling":11,"frequency_hz":2.5,"on_time_ms":1234,
                           "rose":true,"fell":false,"debounce_us":0}})"));
  snapshot.figures_kept = false;
  EXPECT_TRUE(LineJson(snapshot, VDIO_DI1)["functions"].is_null());
  EXPECT_EQ(LineJson(snapshot, VDIO_DI1)["level"], 0);
}

TEST(LineJsonTest, OutputsAndLedsCarryTheirClaim) {
  const BoardSnapshot snapshot = SampleSnapshot();
  EXPECT_EQ(LineJson(snapshot, VDIO_DO3),
            nlohmann::json::parse(R"({"name":"DO3","direction":"output","level":1,
              "pulsing":false,"claim":{"consumer":"mi\"x\\er","pid":1234,"lease_ms":500,
                                      "safe_value":1,"keep":false,"lease_out":false}})"));
  EXPECT_EQ(LineJson(snapshot, VDIO_LED2),
            nlohmann::json::parse(R"({"name":"LED2","direction":"led","level":1,
                                      "pulsing":true,"claim":null})"));
  const auto board = BoardJson(snapshot);
  EXPECT_EQ(board["lines"].size(), 19u);
  EXPECT_EQ(board["sampler"]["late_samples"], 3);
  EXPECT_EQ(ClaimsJson(snapshot)["lines"].size(), 11u);
}

// The exposition parsed back: family by family, each sample under the
// HELP and TYPE of its own family.
struct Parsed {
  std::map<std::string, std::string> types;
  std::map<std::string, std::string> samples;  // "name{labels}" -> value
};

Parsed ParseExposition(const std::string &text) {
  Parsed parsed;
  std::set<std::string> helped;
  std::string family;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string hash, keyword, name;
    if (line.rfind("# HELP ", 0) == 0) {
      words >> hash >> keyword >> name;
      EXPECT_TRUE(helped.insert(name).second) << "family repeated: " << line;
      family = name;
    } else if (line.rfind("# TYPE ", 0) == 0) {
      std::string type;
      words >> hash >> keyword >> name >> type;
      EXPECT_EQ(name, family) << "TYPE without its HELP: " << line;
      parsed.types[name] = type;
      if (type == "counter") {
        EXPECT_EQ(name.substr(name.size() - 6), "_total") << line;
      }
    } else {
      const size_t space = line.rfind(' ');
      EXPECT_NE(space, std::string::npos) << line;
      if (space == std::string::npos) continue;
      const std::string series = line.substr(0, space);
      EXPECT_EQ(series.substr(0, series.find('{')), family) << "outside its family: " << line;
      EXPECT_EQ(parsed.types.count(family), 1u) << line;
      parsed.samples[series] = line.substr(space + 1);
    }
  }
  return parsed;
}

TEST(MetricsTest, EverySampleIsUnderItsFamilyWithEscapedLabels) {
  LineCounters counters;
  counters.CountRequest(Endpoint::kLines, 200);
  counters.CountRequest(Endpoint::kLines, 200);
  counters.CountRequest(Endpoint::kPulse, 409);
  counters.CountRisingEdge(3);
  const std::string text = MetricsText(SampleSnapshot(), counters, {2, 7});
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const Parsed parsed = ParseExposition(text);
  EXPECT_EQ(parsed.types.size(), 12u);
  const auto &samples = parsed.samples;
  EXPECT_EQ(samples.at("varnik_dio_board_connected"), "1");
  EXPECT_EQ(samples.at(R"(varnik_dio_line_level{line="LED2",direction="led"})"), "1");
  EXPECT_EQ(samples.at(R"(varnik_dio_line_claimed{line="DO3",consumer="mi\"x\\er"})"), "1");
  EXPECT_EQ(samples.at(R"(varnik_dio_line_claimed{line="DO4",consumer=""})"), "0");
  EXPECT_EQ(samples.at("varnik_dio_claims_held"), "1") << "a pulse is no claim";
  EXPECT_EQ(samples.at(R"(varnik_dio_input_frequency_hertz{line="DI0"})"), "2.500");
  EXPECT_EQ(samples.at(R"(varnik_dio_input_count{line="DI0"})"), "12");
  EXPECT_EQ(samples.at(R"(varnik_dio_input_rising_edges_total{line="DI3"})"), "1");
  EXPECT_EQ(samples.at(R"(varnik_dio_http_requests_total{endpoint="lines",code="200"})"), "2");
  EXPECT_EQ(samples.at(R"(varnik_dio_http_requests_total{endpoint="pulse",code="409"})"), "1");
  EXPECT_EQ(samples.at("varnik_dio_events_dropped_total"), "7");
  EXPECT_EQ(samples.at("varnik_dio_sampler_late_samples_total"), "3");
}

TEST(MetricsTest, ALostBoardKeepsItsFamiliesWithoutSamples) {
  BoardSnapshot lost;
  lost.lost_reason = "gone";
  const Parsed parsed = ParseExposition(MetricsText(lost, LineCounters(), {}));
  EXPECT_EQ(parsed.types.size(), 12u);
  EXPECT_EQ(parsed.samples.at("varnik_dio_board_connected"), "0");
  for (const auto &[series, value] : parsed.samples)
    EXPECT_TRUE(series.rfind("varnik_dio_line_", 0) != 0 &&
                series.rfind("varnik_dio_sampler_", 0) != 0 &&
                series.rfind("varnik_dio_input_count", 0) != 0)
        << series << " of a lost board";
}

// The board behind every handle the stand-in opener makes: lost (every
// call fails as a service gone), claimed by "mixer", or pulsing.
struct StandInBoard {
  bool lost = false;
  bool held = false;
  int pulse_result = 0;
  std::vector<std::pair<bool, uint8_t>> writes;  // (leds, values) of each write
};

class StandInLines final : public varnik::tools::LineIo {
 public:
  StandInLines(std::shared_ptr<StandInBoard> board) : board_(std::move(board)) {}
  vdio_state Read() const override { return Check(), vdio_state{0, 0x08, 0}; }
  uint8_t ReadInputs() const override { return Check(), 0; }
  bool WriteOutputs(uint8_t mask, uint8_t values) override { return Record(false, mask, values); }
  bool WriteLeds(uint8_t mask, uint8_t values) override { return Record(true, mask, values); }
  std::optional<varnik::tools::LineHolder> HolderOf(int line) const override {
    Check();
    if (!board_->held) return std::nullopt;
    return varnik::tools::LineHolder{line, false, 4321, "mixer"};
  }
  int Claim(const struct vdio_claim &) override { return 0; }
  bool ThroughService() const override { return true; }
  int ReadInputStats(vdio_input_stats *) const override { return Check(), -EOPNOTSUPP; }
  int ClearInputStats(int, uint32_t) override { return -EOPNOTSUPP; }
  int NewWatch(uint32_t, uint32_t, uint32_t, vdio_watch **) const override { return -EOPNOTSUPP; }
  int Pulse(int, uint64_t, uint32_t, uint64_t) override { return board_->pulse_result; }
  int GetClaim(int line, vdio_claim_info *info) const override {
    *info = vdio_claim_info{sizeof *info, 0, 0, 0, {}};
    if (line == VDIO_LED1) info->flags = VDIO_CLAIM_INFO_PULSING;
    if (line != VDIO_DO3 || !board_->held) return 0;
    info->flags = VDIO_CLAIM_INFO_SAFE_VALUE | VDIO_CLAIM_INFO_LEASE_OUT;
    info->pid = 4321;
    info->lease_ms = 250;
    std::strcpy(info->consumer, "mixer");
    return 1;
  }

 private:
  void Check() const {
    if (board_->lost) throw varnik::tools::DeviceError(VDIO_SERVICE_SOCKET, ECONNRESET);
  }
  bool Record(bool leds, uint8_t mask, uint8_t values) {
    Check();
    if (board_->held) return false;
    board_->writes.emplace_back(leds, static_cast<uint8_t>(mask | values << 4));
    return true;
  }
  std::shared_ptr<StandInBoard> board_;
};

class BoardAccessTest : public ::testing::Test {
 protected:
  void SetUp() override { access_.OpenOrThrow(); }
  std::shared_ptr<StandInBoard> board_ = std::make_shared<StandInBoard>();
  BoardAccess access_{VDIO_SERVICE_SOCKET, [board = board_](const std::string &device) {
                        if (board->lost) throw varnik::tools::DeviceError(device, ECONNREFUSED);
                        return std::make_unique<StandInLines>(board);
                      }};
};

TEST_F(BoardAccessTest, ALostServiceSaysWhyUntilTheOpenerBringsItBack) {
  board_->lost = true;
  const WriteOutcome lost = access_.Write(VDIO_DO3, 1);
  EXPECT_EQ(lost.status, WriteStatus::kLost);
  EXPECT_EQ(lost.message, "the board service at /run/varnik-dio/board.sock is out of reach: "
                          "Connection reset by peer; dio-webd connects again every second");
  EXPECT_FALSE(access_.Connected());
  EXPECT_FALSE(access_.Snapshot().connected);
  EXPECT_FALSE(access_.Reopen());
  EXPECT_NE(access_.Snapshot().lost_reason.find("Connection refused"), std::string::npos);
  board_->lost = false;
  EXPECT_TRUE(access_.Reopen());
  EXPECT_EQ(access_.Write(VDIO_DO3, 1).status, WriteStatus::kDone);
  EXPECT_EQ(access_.Write(VDIO_LED2, 0).status, WriteStatus::kDone);
  EXPECT_EQ(board_->writes, (std::vector<std::pair<bool, uint8_t>>{{false, 0x88}, {true, 0x02}}));
}

TEST_F(BoardAccessTest, RefusedWritesAndPulsesNameTheHolder) {
  board_->held = true;
  const WriteOutcome held = access_.Write(VDIO_LED2, 1);
  EXPECT_EQ(held.status, WriteStatus::kHeld);
  ASSERT_TRUE(held.holder);
  EXPECT_EQ(held.message, "LED2 is held by \"mixer\" (pid 4321)");
  board_->pulse_result = -EBUSY;
  EXPECT_EQ(access_.Pulse(VDIO_DO0, 1000).status, WriteStatus::kHeld);
  board_->pulse_result = -EOPNOTSUPP;
  const WriteOutcome direct = access_.Pulse(VDIO_DO0, 1000);
  EXPECT_EQ(direct.status, WriteStatus::kRefused);
  EXPECT_EQ(direct.message.rfind("pulses need the board service", 0), 0u) << direct.message;
  EXPECT_EQ(access_.Write(VDIO_DI3, 1).status, WriteStatus::kRefused);
  board_->pulse_result = -ECONNRESET;
  EXPECT_EQ(access_.Pulse(VDIO_DO0, 1000).status, WriteStatus::kLost);
  EXPECT_FALSE(access_.Connected());
}

TEST_F(BoardAccessTest, ASnapshotDecodesTheClaims) {
  board_->held = true;
  const BoardSnapshot snapshot = access_.Snapshot();
  ASSERT_TRUE(snapshot.connected);
  EXPECT_TRUE(snapshot.claims_known);
  EXPECT_EQ(LevelOf(snapshot, VDIO_DO3), 1);
  const auto &claim = snapshot.claims[VDIO_DO3];
  ASSERT_TRUE(claim && claim->held);
  EXPECT_EQ(claim->consumer, "mixer");
  EXPECT_EQ(claim->safe_value, 1);
  EXPECT_TRUE(claim->lease_out);
  EXPECT_FALSE(claim->keep);
  ASSERT_TRUE(snapshot.claims[VDIO_LED1]);
  EXPECT_TRUE(snapshot.claims[VDIO_LED1]->pulsing);
  EXPECT_FALSE(snapshot.claims[VDIO_LED1]->held);
  EXPECT_FALSE(snapshot.claims[VDIO_DO4]);
  EXPECT_FALSE(snapshot.figures_kept);
  EXPECT_FALSE(snapshot.sampler_known);
}

}  // namespace
