// The inputs' counts, frequencies, latches and on-times kept by dio-boardd's
// sampler: through the board library on its socket, across a restart, from
// a corrupt state file, and the requests refused to bad or older clients.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "board_registers.h"
#include "claim_fixture.h"
#include "service_fixture.h"
#include "varnik_dio_board.h"

namespace {

namespace wire = varnik::wire;
using Stats = std::array<vdio_input_stats, VDIO_INPUT_COUNT>;

constexpr uint64_t kNsPerMs = 1'000'000;

uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

// One input's square wave: pulses of width_ms every period_ms from the
// start, count of them; or, with a short_ms, every other pulse that short.
struct Wave {
  int input;
  uint64_t period_ms;
  uint64_t width_ms;
  uint64_t count;
  uint64_t short_ms = 0;
};

struct Edge {
  uint64_t at_ns;  // after the start
  int input;
  int level;
};

std::vector<Edge> EdgesOf(const std::vector<Wave> &waves) {
  std::vector<Edge> edges;
  for (const Wave &wave : waves)
    for (uint64_t n = 0; n < wave.count; ++n) {
      const uint64_t width = wave.short_ms != 0 && n % 2 == 1 ? wave.short_ms : wave.width_ms;
      edges.push_back({n * wave.period_ms * kNsPerMs, wave.input, 1});
      edges.push_back({(n * wave.period_ms + width) * kNsPerMs, wave.input, 0});
    }
  std::sort(edges.begin(), edges.end(), [](const Edge &a, const Edge &b) { return a.at_ns < b.at_ns; });
  return edges;
}

class InputFiguresTest : public ServiceTest {
 protected:
  void TearDown() override {
    if (board_ != nullptr) vdio_close(board_);
    ServiceTest::TearDown();
  }

  // The service sampling every millisecond, its state file in the test's folder.
  void StartSampling(const std::vector<std::string> &args = {}) {
    std::vector<std::string> all = {"--interval", "1ms", "--state-file", StatePath()};
    all.insert(all.end(), args.begin(), args.end());
    Start(all);
    if (board_ != nullptr) vdio_close(board_);
    board_ = nullptr;
    ASSERT_EQ(vdio_open(socket_path_.c_str(), &board_), 0);
  }

  std::string StatePath() const { return dir_ + "/inputs.state"; }

  Stats AllStats() const {
    Stats stats{};
    for (auto &one : stats) one.size = sizeof one;
    EXPECT_EQ(vdio_read_all_input_stats(board_, stats.data()), 0);
    return stats;
  }

  // Waits, bounded, until done holds for the inputs' figures.
  bool WaitForStats(const std::function<bool(const Stats &)> &done) const {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(SlowSeconds(5));
    do {
      if (done(AllStats())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  // DIn to level, and back to the test once the sampler counted the edge.
  void SetInput(int input, int level) {
    inputs_ = static_cast<uint8_t>(level ? inputs_ | 1u << input : inputs_ & ~(1u << input));
    const Stats before = AllStats();
    SetInputsOnBoard(inputs_);
    const auto counted = [&](const Stats &now) {
      return level ? now[input].rising > before[input].rising
                   : now[input].falling > before[input].falling;
    };
    ASSERT_TRUE(WaitForStats(counted)) << "DI" << input << " to " << level << " not counted; log:\n"
                                       << service_->Log();
  }

  // Drives the edges on the board at their times from now, on a thread of
  // its own; on_ns[n] gets the time DIn was really at 1, in pulses of at
  // least debounce_ms[n] only (those its debounce keeps).
  std::thread Drive(std::vector<Edge> edges, std::array<uint64_t, VDIO_INPUT_COUNT> debounce_ms,
                    std::array<uint64_t, VDIO_INPUT_COUNT> *on_ns) {
    return std::thread([this, edges = std::move(edges), debounce_ms, on_ns] {
      const uint64_t start = MonotonicNs();
      std::array<uint64_t, VDIO_INPUT_COUNT> rose_at{};
      for (const Edge &edge : edges) {
        const uint64_t due = start + edge.at_ns;
        const timespec until{static_cast<time_t>(due / 1'000'000'000u),
                             static_cast<long>(due % 1'000'000'000u)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
        Poke(board::kInput[edge.input], edge.level ? board::kInputActive : board::kInputInactive);
        const uint64_t now = MonotonicNs();
        if (edge.level) rose_at[edge.input] = now;
        else if (now - rose_at[edge.input] >= debounce_ms[edge.input] * kNsPerMs)
          (*on_ns)[edge.input] += now - rose_at[edge.input];
      }
    });
  }

  vdio_sampler_info SamplerInfo() const {
    vdio_sampler_info info{};
    info.size = sizeof info;
    EXPECT_EQ(vdio_get_sampler_info(board_, &info), 0);
    return info;
  }

  // How the sampler did, for a failure's message.
  static std::string SamplerNote(const vdio_sampler_info &info) {
    return "sampler: " + std::to_string(info.samples) + " samples, " +
           std::to_string(info.late_samples) + " late (worst " +
           std::to_string(info.worst_late_ns / 1000) + "us)";
  }

  vdio_board *board_ = nullptr;
  uint8_t inputs_ = 0;
};

// 20 Hz on DI0, 10 Hz on DI1, 50 Hz on DI2 and, on DI3 with a 20ms
// debounce, 40ms pulses with 8ms ones between them, all at once.
TEST_F(InputFiguresTest, CountsFrequencyAndOnTimeFollowTheInputsAndSurviveACleanRestart) {
  const uint64_t seconds = SlowMachine() ? 3 : 5;
  const std::vector<Wave> waves = {{0, 50, 25, seconds * 20},
                                   {1, 100, 50, seconds * 10},
                                   {2, 20, 10, seconds * 50},
                                   {3, 100, 40, seconds * 10, 8}};
  const std::vector<std::string> args = {"--debounce", "DI3=20ms", "--frequency-window", "1s"};
  StartSampling(args);
  std::array<uint64_t, VDIO_INPUT_COUNT> on_ns{};
  std::thread driver = Drive(EdgesOf(waves), {0, 0, 0, 20}, &on_ns);
  // The frequencies while the waves still run.
  std::this_thread::sleep_for(std::chrono::milliseconds(seconds * 1000 - 300));
  const Stats running = AllStats();
  driver.join();

  const uint64_t kept_on_di3 = seconds * 5;
  const std::array<uint64_t, 4> edges = {seconds * 20, seconds * 10, seconds * 50, kept_on_di3};
  const auto all_counted = [&](const Stats &now) {
    for (int n = 0; n < 4; ++n)
      if (now[n].falling < edges[n]) return false;
    return true;
  };
  WaitForStats(all_counted);
  const Stats done = AllStats();
  const vdio_sampler_info sampler = SamplerInfo();
  const std::string note = SamplerNote(sampler);
  for (int n = 0; n < 4; ++n) {
    SCOPED_TRACE("DI" + std::to_string(n) + "; " + note);
    EXPECT_EQ(done[n].latches, VDIO_INPUT_ROSE | VDIO_INPUT_FELL);
    // A sample later than a pulse is short may miss it: then, and only
    // then, fewer edges are right, by no more than the late samples.
    const uint64_t shortest_ms = waves[n].short_ms != 0 ? 20 : waves[n].width_ms;
    if (sampler.interval_ns + sampler.worst_late_ns >= shortest_ms * kNsPerMs) {
      EXPECT_LE(done[n].rising, edges[n]);
      EXPECT_GE(done[n].rising + sampler.late_samples, edges[n]);
      continue;
    }
    EXPECT_EQ(done[n].rising, edges[n]);
    EXPECT_EQ(done[n].falling, edges[n]);
    // Each edge is seen up to one interval late.
    const double tolerance_ms = 2.0 * static_cast<double>(edges[n]) + 1;
    EXPECT_NEAR(static_cast<double>(done[n].on_time_ms),
                static_cast<double>(on_ns[n]) / kNsPerMs, tolerance_ms);
    const uint32_t hz = static_cast<uint32_t>(1000 / waves[n].period_ms);
    if (n < 3) {
      EXPECT_NEAR(running[n].frequency_mhz, hz * 1000, hz * 10);
    }
  }
  EXPECT_EQ(done[3].debounce_us, 20000u);
  EXPECT_EQ(done[0].debounce_us, 0u);
  for (int n = 4; n < VDIO_INPUT_COUNT; ++n) EXPECT_EQ(done[n].rising + done[n].latches, 0u);
  EXPECT_EQ(sampler.interval_ns, kNsPerMs);
  EXPECT_EQ(sampler.frequency_window_ms, 1000u);

  ASSERT_EQ(WEXITSTATUS(service_->Stop(SIGTERM, 10)), 0);
  StartSampling(args);
  EXPECT_EQ(service_->LogLines("input figures restored from " + StatePath()).size(), 1u)
      << service_->Log();
  const Stats restarted = AllStats();
  for (int n = 0; n < VDIO_INPUT_COUNT; ++n) {
    SCOPED_TRACE("DI" + std::to_string(n));
    EXPECT_EQ(restarted[n].rising, done[n].rising);
    EXPECT_EQ(restarted[n].falling, done[n].falling);
    EXPECT_EQ(restarted[n].on_time_ms, done[n].on_time_ms);
    EXPECT_EQ(restarted[n].latches, done[n].latches);
  }
}

TEST_F(InputFiguresTest, LatchesAreSetByEdgesAndClearedOnlyByAClearOfAnyClient) {
  StartSampling();
  SetInput(4, 1);
  EXPECT_EQ(AllStats()[4].latches, VDIO_INPUT_ROSE);
  SetInput(4, 0);
  SetInput(6, 1);
  const Stats seen = AllStats();
  EXPECT_EQ(seen[4].latches, VDIO_INPUT_ROSE | VDIO_INPUT_FELL);
  EXPECT_EQ(seen[6].latches, VDIO_INPUT_ROSE);
  EXPECT_EQ(seen[5].latches, 0u);

  // Another client, which claims nothing, clears; the figures are everybody's.
  vdio_board *other = nullptr;
  ASSERT_EQ(vdio_open(socket_path_.c_str(), &other), 0);
  EXPECT_EQ(vdio_clear_input_stats(other, VDIO_DI4, VDIO_CLEAR_LATCHES), 0);
  vdio_close(other);
  const Stats cleared = AllStats();
  EXPECT_EQ(cleared[4].latches, 0u);
  EXPECT_EQ(cleared[4].rising, 1u) << "only the latches were cleared";
  EXPECT_EQ(cleared[4].falling, 1u);
  EXPECT_EQ(cleared[6].latches, VDIO_INPUT_ROSE) << "another input's stay";
  EXPECT_TRUE(service_->WaitForLog("latches of DI4 cleared by pid ", 5)) << service_->Log();

  EXPECT_EQ(vdio_clear_input_stats(board_, VDIO_DI6, VDIO_CLEAR_COUNTS | VDIO_CLEAR_LATCHES), 0);
  const Stats after = AllStats();
  EXPECT_EQ(after[6].rising, 0u);
  EXPECT_EQ(after[6].latches, 0u);
  EXPECT_TRUE(service_->WaitForLog("counts and latches of DI6 cleared by pid ", 5))
      << service_->Log();
}

TEST_F(InputFiguresTest, BadClearsAreInvalidAndOlderClientsDoNotKnowTheRequests) {
  StartSampling();
  auto client = Connect();
  for (const auto &[line, what] : std::vector<std::pair<uint32_t, uint32_t>>{
           {VDIO_DO0, VDIO_CLEAR_COUNTS},
           {0xFFFFFFFFu, VDIO_CLEAR_COUNTS},
           {VDIO_DI3, 0},
           {VDIO_DI3, 8},
           {VDIO_DI3, VDIO_CLEAR_COUNTS | 0x100}}) {
    const auto reply = client->Call(Request(wire::kClearInputStats, line, what));
    ASSERT_TRUE(reply) << "line " << line << " what " << what;
    EXPECT_EQ(reply->status, -EINVAL) << "line " << line << " what " << what;
  }
  EXPECT_EQ(service_->LogLines(" cleared by ").size(), 0u) << service_->Log();

  for (const uint16_t operation :
       {wire::kReadInputStats, wire::kClearInputStats, wire::kGetSamplerInfo}) {
    auto older = std::make_unique<WireClient>(socket_path_);
    const auto hello = older->Hello("older", 2);
    ASSERT_TRUE(hello && hello->status == 0);
    const auto reply = older->Call(Request(operation, VDIO_DI0, VDIO_CLEAR_COUNTS));
    ASSERT_TRUE(reply) << "operation " << operation;
    EXPECT_EQ(reply->status, -EPROTO) << "operation " << operation;
    EXPECT_TRUE(older->ClosedWithin(5)) << "operation " << operation;
  }
}

TEST_F(InputFiguresTest, ACorruptStateFileStartsFromZeroWithItsLogLine) {
  StartSampling();
  SetInput(2, 1);
  SetInput(2, 0);
  ASSERT_EQ(WEXITSTATUS(service_->Stop(SIGTERM, 10)), 0);
  std::string text;
  {
    std::ifstream saved(StatePath());
    std::getline(saved, text, '\0');
  }
  ASSERT_FALSE(text.empty()) << "no state file saved at the stop; log:\n" << service_->Log();
  // One count changed by hand: the CRC32 no longer matches.
  const size_t count = text.find("DI2 rising 1 ");
  ASSERT_NE(count, std::string::npos) << text;
  text[count + 11] = '7';
  std::ofstream(StatePath(), std::ios::trunc) << text;

  StartSampling();
  EXPECT_EQ(service_->LogLines("input figures start from zero: state file " + StatePath() +
                               " is corrupt").size(),
            1u)
      << service_->Log();
  const Stats restarted = AllStats();
  EXPECT_EQ(restarted[2].rising, 0u);
  EXPECT_EQ(restarted[2].falling, 0u);
  EXPECT_EQ(restarted[2].latches, 0u);
}

}  // namespace
