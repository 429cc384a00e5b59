// The inputs' counts, frequencies, latches and on-times kept by dio-boardd's
// sampler: through the board library on its socket, across a restart, from
// a corrupt state file, and the requests refused to bad or older clients.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "claim_fixture.h"
#include "signal_generator.h"
#include "service_fixture.h"
#include "varnik_dio_board.h"

namespace {

namespace wire = varnik::wire;
using Stats = std::array<vdio_input_stats, VDIO_INPUT_COUNT>;

constexpr uint64_t kNsPerMs = 1'000'000;

// One input driven by a generator, and how many of its pulses count.
struct Drive {
  int input;
  varnik::test::PulseShape shape;
  uint64_t counted;  // all of them, or none with a debounce longer than the pulse
};

// How far from the input's shortest phase, or from its debounce, the pulses
// are: an edge seen that much off changes what counts.
uint64_t Margin(const Drive &drive, uint64_t debounce_ns) {
  const uint64_t shortest = std::min(drive.shape.high_ns, drive.shape.low_ns);
  if (debounce_ns == 0) return shortest;
  const auto off = [&](uint64_t phase) {
    return phase > debounce_ns ? phase - debounce_ns : debounce_ns - phase;
  };
  return std::min(off(drive.shape.high_ns), drive.counted ? off(drive.shape.low_ns) : UINT64_MAX);
}

// The lateness a "sampler late: ... up to 4299us ..." line names, in ns.
uint64_t LatenessNamedNs(const std::string &line) {
  const size_t at = line.find("up to ");
  if (at == std::string::npos) return 0;
  size_t digits = 0;
  const double value = std::stod(line.substr(at + 6), &digits);
  const std::string unit = line.substr(at + 6 + digits, 2);
  const double scale = unit == "us" ? 1e3 : unit == "ms" ? 1e6 : unit[0] == 's' ? 1e9 : 0;
  return static_cast<uint64_t>(value * scale);
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

// 20 Hz on DI0, 10 Hz on DI1, 50 Hz on DI2 and, with a 20ms debounce,
// 8ms pulses on DI3 (none counts) and 40ms ones on DI4 (all count), at once;
// input names in any case, as the board library takes them.
TEST_F(InputFiguresTest, CountsFrequencyAndOnTimeFollowTheInputsAndSurviveACleanRestart) {
  using varnik::test::PulsesAt;
  using varnik::test::PulseShape;
  const uint64_t seconds = SlowMachine() ? 3 : 5;
  const std::vector<Drive> drives = {
      {0, PulsesAt(20, 0.5, seconds * 20), seconds * 20},
      {1, PulsesAt(10, 0.5, seconds * 10), seconds * 10},
      {2, PulsesAt(50, 0.5, seconds * 50), seconds * 50},
      {3, PulseShape{8 * kNsPerMs, 42 * kNsPerMs, seconds * 20}, 0},
      {4, PulseShape{40 * kNsPerMs, 60 * kNsPerMs, seconds * 10}, seconds * 10}};
  const std::vector<std::string> args = {"--debounce", "di3=20ms", "--debounce", "Di4=20ms"};
  StartSampling(args);
  std::vector<std::unique_ptr<varnik::test::SignalGenerator>> generators;
  for (const Drive &drive : drives)
    generators.push_back(
        std::make_unique<varnik::test::SignalGenerator>(board_path_, drive.input, drive.shape));
  // The frequencies while the pulses still come.
  std::this_thread::sleep_for(std::chrono::milliseconds(seconds * 1000 - 300));
  const Stats running = AllStats();
  std::vector<varnik::test::GeneratorReport> reports;
  for (auto &generator : generators) {
    reports.push_back(generator->Wait());
    ASSERT_EQ(reports.back().error, "");
  }

  WaitForStats([&](const Stats &now) {
    for (const Drive &drive : drives)
      if (now[drive.input].falling < drive.counted) return false;
    return true;
  });
  const Stats done = AllStats();
  const vdio_sampler_info sampler = SamplerInfo();
  for (size_t n = 0; n < drives.size(); ++n) {
    const Drive &drive = drives[n];
    const varnik::test::GeneratorReport &report = reports[n];
    const vdio_input_stats &figures = done[drive.input];
    SCOPED_TRACE("DI" + std::to_string(drive.input) + "; " + SamplerNote(sampler) +
                 "; its generator: " + std::to_string(report.late_edges) + " late edges (worst " +
                 std::to_string(report.worst_late_ns / 1000) + "us)");
    const uint64_t edges = drive.counted;
    // The latches follow the counts, whether these are exact or, on a
    // loaded machine, off by the pulses that lateness explains (below).
    EXPECT_EQ(figures.latches, (figures.rising ? VDIO_INPUT_ROSE : 0u) |
                                   (figures.falling ? VDIO_INPUT_FELL : 0u));
    // A phase seen up to an interval and both lateness off; exact only when
    // that cannot cross the input's shortest phase or its debounce.
    const uint64_t late_ns = sampler.interval_ns + sampler.worst_late_ns + report.worst_late_ns;
    const double hz = 1e9 / static_cast<double>(drive.shape.high_ns + drive.shape.low_ns);
    const double window_ns = static_cast<double>(sampler.frequency_window_ms) * kNsPerMs;
    const double span_ns = window_ns - 1e9 / hz;  // the fewest whole periods a window holds
    double tolerance_mhz =
        hz * 10 + hz * 1000 * static_cast<double>(sampler.worst_late_ns + report.worst_late_ns) /
                      span_ns;
    if (late_ns >= Margin(drive, done[drive.input].debounce_us * 1000)) {
      // Each late sample or late edge explains one pulse more or less.
      const uint64_t explained = sampler.late_samples + report.late_edges;
      EXPECT_LE(figures.rising, edges ? edges : explained);
      EXPECT_GE(figures.rising + explained, edges);
      EXPECT_LE(figures.falling, edges ? edges : explained);
      EXPECT_GE(figures.falling + explained, edges);
      tolerance_mhz += static_cast<double>(explained) * 1e12 / span_ns;
    } else {
      EXPECT_EQ(figures.rising, edges);
      EXPECT_EQ(figures.falling, edges);
      // Each edge seen up to one interval late, written up to its
      // generator's lateness late.
      const double per_edge_ms =
          static_cast<double>(sampler.interval_ns + report.worst_late_ns) / kNsPerMs;
      EXPECT_NEAR(static_cast<double>(figures.on_time_ms),
                  static_cast<double>(edges * drive.shape.high_ns) / kNsPerMs,
                  2 * static_cast<double>(edges) * per_edge_ms + 1);
    }
    if (drive.input < 3) {
      EXPECT_NEAR(running[drive.input].frequency_mhz, hz * 1000, tolerance_mhz);
    }
  }
  EXPECT_EQ(done[3].debounce_us, 20000u);
  EXPECT_EQ(done[0].debounce_us, 0u);
  for (int n = 5; n < VDIO_INPUT_COUNT; ++n) EXPECT_EQ(done[n].rising + done[n].latches, 0u);
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

  // A client clearing over and over is named once; its repeats are counted.
  for (int n = 0; n < 20; ++n)
    ASSERT_EQ(vdio_clear_input_stats(board_, VDIO_DI6, VDIO_CLEAR_LATCHES), 0);
  vdio_close(board_);
  board_ = nullptr;
  EXPECT_TRUE(service_->WaitForLog("20 more clears of input figures by pid ", 5))
      << service_->Log();
  EXPECT_EQ(service_->LogLines(" cleared by pid ").size(), 2u) << service_->Log();
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
    ASSERT_TRUE(older->Send(Request(operation, VDIO_DI0, VDIO_CLEAR_COUNTS)));
    pollfd ready = {older->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, static_cast<int>(SlowSeconds(5) * 1000)), 1);
    // The size of a reply in the client's version, which had no such operation.
    EXPECT_EQ(recv(older->fd(), nullptr, 0, MSG_PEEK | MSG_TRUNC),
              static_cast<ssize_t>(wire::kMessageSize));
    const auto reply = older->Receive(5);
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
  const auto lines =
      service_->LogLines("input figures start from zero: state file " + StatePath() + " is corrupt");
  ASSERT_EQ(lines.size(), 1u) << service_->Log();
  // Kept for the admin to look at, not overwritten by the next save.
  EXPECT_NE(lines[0].find("; kept as " + StatePath() + ".bad for a look"), std::string::npos)
      << lines[0];
  std::string kept;
  std::getline(std::ifstream(StatePath() + ".bad"), kept, '\0');
  EXPECT_EQ(kept, text);
  const Stats restarted = AllStats();
  EXPECT_EQ(restarted[2].rising, 0u);
  EXPECT_EQ(restarted[2].falling, 0u);
  EXPECT_EQ(restarted[2].latches, 0u);
}

TEST_F(InputFiguresTest, SavedEveryStateIntervalSoThatAKillLosesNoMoreAndAFailedSaveIsLoggedOnce) {
  StartSampling({"--state-interval", "1s"});
  SetInput(5, 1);
  SetInput(5, 0);
  SetInput(6, 1);  // and left at 1: a save holds its on-time so far
  uint64_t saved_on_time_ns = 0;
  const auto saved = [&] {
    std::ifstream file(StatePath());
    std::string text;
    std::getline(file, text, '\0');
    const size_t di6 = text.find("DI6 rising 1 falling 0 on_time_ns ");
    if (di6 != std::string::npos) saved_on_time_ns = std::stoull(text.substr(di6 + 34));
    return text.find("DI5 rising 1 falling 1 ") != std::string::npos && saved_on_time_ns > 0;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(SlowSeconds(3));
  while (!saved() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(saved()) << "not saved within a --state-interval; log:\n" << service_->Log();
  service_->Stop(SIGKILL, 10);
  StartSampling();
  const Stats restarted = AllStats();
  EXPECT_EQ(restarted[5].rising, 1u);
  EXPECT_EQ(restarted[5].falling, 1u);
  // Still at 1 across the kill: on from the save, counting on from the start.
  EXPECT_GE(restarted[6].on_time_ms, saved_on_time_ns / kNsPerMs);
  EXPECT_TRUE(WaitForStats([&](const Stats &now) {
    return now[6].on_time_ms >= saved_on_time_ns / kNsPerMs + 20;
  })) << "DI6's on-time does not go on after the restart";
  SetInput(6, 0);
  EXPECT_EQ(AllStats()[6].rising, 1u) << "no rise counted at the start";

  // A folder that does not exist: every save fails, the service serves on.
  const std::string nowhere = dir_ + "/no-such-folder/inputs.state";
  StartSampling({"--state-file", nowhere, "--state-interval", "1s"});
  const std::string cannot = "cannot save the input figures in " + nowhere + ": ";
  EXPECT_TRUE(service_->WaitForLog(cannot, 3)) << service_->Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(service_->LogLines(cannot).size(), 1u) << service_->Log();
  EXPECT_EQ(service_->LogLines("cannot save the input figures: ").size(), 0u) << "said twice";
  EXPECT_EQ(AllStats()[5].rising, 0u) << "started from zero";
}

TEST_F(InputFiguresTest, LateSamplesAreCountedLoggedAndTheSamplerStopsPromptlyAtALongInterval) {
  StartSampling();
  // A first short stop starts the late lines, which then come once a minute...
  kill(service_->pid(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(service_->pid(), SIGCONT);
  ASSERT_TRUE(service_->WaitForLog("sampler late: ", 5)) << service_->Log();
  // ...unless ten times later: stopped for 100ms, or longer on a loaded
  // machine, the service's next sample is that late and logged at once.
  const uint64_t gap_ms = std::max<uint64_t>(100, 11 * SamplerInfo().worst_late_ns / kNsPerMs);
  const size_t lines_before = service_->LogLines("sampler late: ").size();
  kill(service_->pid(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
  kill(service_->pid(), SIGCONT);
  const auto gap_logged = [&] {
    const auto lines = service_->LogLines("sampler late: ");
    if (lines.size() <= lines_before) return false;
    return LatenessNamedNs(lines.back()) >= 50 * kNsPerMs;
  };
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(SlowSeconds(5));
  while (!gap_logged() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(gap_logged()) << service_->Log();
  const vdio_sampler_info info = SamplerInfo();
  EXPECT_GE(info.late_samples, 1u);
  EXPECT_GE(info.worst_late_ns, 50 * kNsPerMs);
  EXPECT_GT(info.samples, info.late_samples);

  ASSERT_EQ(WEXITSTATUS(service_->Stop(SIGTERM, 10)), 0);
  Start({"--interval", "10s", "--state-file", StatePath()});
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(WEXITSTATUS(service_->Stop(SIGTERM, 10)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before,
            std::chrono::duration<double>(SlowSeconds(1)));
}

// Granted or refused as the machine allows (root may, a user without
// LimitRTPRIO may not): the sampler says so the same way either way.
TEST_F(InputFiguresTest, RealtimeIsReportedOnlyWhenGrantedAndARefusalSaysWhatToChange) {
  rlimit own{};
  getrlimit(RLIMIT_RTPRIO, &own);
  const rlimit none{0, own.rlim_max};
  setrlimit(RLIMIT_RTPRIO, &none);  // inherited by the service
  StartSampling({"--realtime"});
  setrlimit(RLIMIT_RTPRIO, &own);
  const auto refusals = service_->LogLines("--realtime: SCHED_FIFO priority 20 refused (");
  const vdio_sampler_info info = SamplerInfo();
  if (refusals.empty()) {
    EXPECT_EQ(info.flags, VDIO_SAMPLER_REALTIME) << service_->Log();
  } else {
    EXPECT_EQ(info.flags, 0u);
    EXPECT_NE(refusals[0].find("the sampler runs without it; allow it with LimitRTPRIO=20"),
              std::string::npos)
        << refusals[0];
  }
  StartSampling();
  EXPECT_EQ(SamplerInfo().flags, 0u) << "not asked for";
}

}  // namespace
