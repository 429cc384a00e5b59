// dio-webd's data side without a server: the event hub's queues, the JSON
// of lines, the metrics text parsed back, and the board access on a
// stand-in board that fails or refuses as a lost service or a claim does.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

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

}  // namespace
