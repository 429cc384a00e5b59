// The inputs' counts, frequencies, latches and on-times kept by dio-boardd's
// sampler: through the board library on its socket, across a restart, from
// a corrupt state file, and the requests refused to bad or older clients.
#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "claim_fixture.h"
#include "service_fixture.h"
#include "varnik_dio_board.h"

namespace {

namespace wire = varnik::wire;
using Stats = std::array<vdio_input_stats, VDIO_INPUT_COUNT>;

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

  vdio_board *board_ = nullptr;
  uint8_t inputs_ = 0;
};

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
