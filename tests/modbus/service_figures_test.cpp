// The inputs' figures the board service keeps, over Modbus: edges set on
// the board file counted by the service and read in an input's block, 32-bit
// values restored from the service's state file, the clear registers, and
// the gateway's own counting options refused through the service.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "board_registers.h"
#include "input_state_file.h"
#include "service_gateway_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

class ServiceFiguresTest : public ServiceGatewayTest {
 protected:
  // A window longer than any test: the frequencies stay as the edges left them.
  void StartServiceAndGateway() {
    StartService({"--frequency-window", "60s"});
    StartThroughService();
    client_ = Connect();
    other_ = OpenClient();
  }
  modbus_t *mb() const { return client_->get(); }

  vdio_input_stats StatsOf(int line) const {
    vdio_input_stats stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(vdio_read_input_stats(other_, line, &stats), 0);
    return stats;
  }
  // Sets DIn on the board file and waits (bounded) for the service to
  // count the edge.
  void SetInput(int input, bool active) {
    const vdio_input_stats before = StatsOf(VDIO_DI0 + input);
    Poke(board::kInput[input], active ? board::kInputActive : board::kInputInactive);
    const auto deadline = Clock::now() + std::chrono::duration<double>(SlowMachineSeconds(3));
    for (;;) {
      const vdio_input_stats now = StatsOf(VDIO_DI0 + input);
      if ((active ? now.rising : now.falling) != (active ? before.rising : before.falling)) return;
      if (Clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "the service did not count DI" << input << "'s edge; its log:\n"
                  << service_->Log();
  }
  std::vector<uint16_t> InputRegisters(int start, int count) const {
    std::vector<uint16_t> words(static_cast<size_t>(count), 0xDEAD);
    EXPECT_EQ(modbus_read_input_registers(mb(), start, count, words.data()), count);
    return words;
  }

  std::unique_ptr<ModbusClient> client_;
  vdio_board *other_ = nullptr;
};

TEST_F(ServiceFiguresTest, AnInputsBlockHoldsTheServicesCountsAndHolding2ClearsThemForAll) {
  StartServiceAndGateway();
  for (int pulse = 0; pulse < 3; ++pulse) {
    SetInput(2, true);
    SetInput(2, false);
  }
  SetInput(6, true);
  const vdio_input_stats di2 = StatsOf(VDIO_DI2);
  ASSERT_EQ(di2.rising, 3u);
  ASSERT_GT(di2.frequency_mhz, 0u);
  const auto on_time_s = static_cast<uint16_t>(di2.on_time_ms / 1000);  // 0 but on a slow machine
  const std::vector<uint16_t> expected = {0, 3, 0, 3, static_cast<uint16_t>(di2.frequency_mhz >> 16),
                                          static_cast<uint16_t>(di2.frequency_mhz & 0xFFFF), 0,
                                          on_time_s, VDIO_INPUT_ROSE | VDIO_INPUT_FELL, 0};
  EXPECT_EQ(InputRegisters(120, 10), expected);
  EXPECT_EQ(InputRegisters(3, 8), (std::vector<uint16_t>{0, 0, 3, 0, 0, 0, 1, 0}))
      << "registers 3..10: the service's rising counts";
  uint16_t word = 0;
  EXPECT_EQ(ExceptionOf(modbus_read_input_registers(mb(), 99, 1, &word)), 2);
  EXPECT_EQ(ExceptionOf(modbus_read_input_registers(mb(), 180, 1, &word)), 2);

  // Holding register 2, a mask of inputs as ever, clears their counts in
  // the service: another of its clients sees them cleared too.
  ASSERT_EQ(modbus_write_register(mb(), 2, 0x44), 1);
  EXPECT_EQ(StatsOf(VDIO_DI2).rising, 0u);
  EXPECT_EQ(StatsOf(VDIO_DI2).falling, 0u);
  EXPECT_EQ(StatsOf(VDIO_DI6).rising, 0u);
  EXPECT_EQ(StatsOf(VDIO_DI2).latches, VDIO_INPUT_ROSE | VDIO_INPUT_FELL) << "counts only";
  EXPECT_EQ(InputRegisters(3, 8), std::vector<uint16_t>(8, 0));
}

// Figures above 16 bits, restored by the service from a state file written
// for the test's board.
class RestoredFiguresTest : public ServiceFiguresTest {
 protected:
  void SetUp() override {
    ServiceFiguresTest::SetUp();
    dio_boardd::KeptInputs kept{};
    kept[4] = {0x0002'0001, 0x0002'0000, 5'000'000'000, VDIO_INPUT_FELL};
    kept[5] = {0x1'0001'2345, 0x0001'2344, 90'061'500'000'000, VDIO_INPUT_ROSE | VDIO_INPUT_FELL};
    ASSERT_EQ(dio_boardd::SaveInputState(state_file_, board_path_, kept), std::nullopt);
    StartServiceAndGateway();
  }
};

TEST_F(RestoredFiguresTest, ThirtyTwoBitFiguresReadHighWordFirstFromOneSample) {
  const std::vector<uint16_t> blocks = InputRegisters(140, 20);  // DI4 and DI5
  EXPECT_EQ(blocks, (std::vector<uint16_t>{0x0002, 0x0001, 0x0002, 0x0000, 0, 0, 0, 5,
                                           VDIO_INPUT_FELL, 0,
                                           // the counts' low 32 bits; 90,061 s of on-time
                                           0x0001, 0x2345, 0x0001, 0x2344, 0, 0, 0x0001, 0x5FCD,
                                           VDIO_INPUT_ROSE | VDIO_INPUT_FELL, 0}));
  EXPECT_EQ(InputRegisters(7, 2), (std::vector<uint16_t>{0x0001, 0x2345}))
      << "registers 3..10: the low 16 bits";
}

TEST_F(RestoredFiguresTest, AClearRegisterClearsWhatItsMaskSaysAndRefusesOtherMasks) {
  for (uint16_t bad : {0x0, 0x8, 0x10}) {
    EXPECT_EQ(ExceptionOf(modbus_write_register(mb(), 105, bad)), 3) << "mask " << bad;
  }
  const uint16_t one_bad[2] = {VDIO_CLEAR_COUNTS, 0};
  EXPECT_EQ(ExceptionOf(modbus_write_registers(mb(), 104, 2, one_bad)), 3);
  EXPECT_EQ(StatsOf(VDIO_DI4).rising, 0x0002'0001u) << "a refused write clears nothing";
  EXPECT_EQ(StatsOf(VDIO_DI5).latches, VDIO_INPUT_ROSE | VDIO_INPUT_FELL);

  ASSERT_EQ(modbus_write_register(mb(), 105, VDIO_CLEAR_LATCHES), 1);
  vdio_input_stats di5 = StatsOf(VDIO_DI5);
  EXPECT_EQ(di5.latches, 0u);
  EXPECT_EQ(di5.rising, 0x1'0001'2345u);
  ASSERT_EQ(modbus_write_register(mb(), 105, VDIO_CLEAR_COUNTS), 1);
  di5 = StatsOf(VDIO_DI5);
  EXPECT_EQ(di5.rising + di5.falling, 0u);
  EXPECT_EQ(di5.on_time_ms, 90'061'500u);
  ASSERT_EQ(modbus_write_register(mb(), 105, VDIO_CLEAR_ON_TIME), 1);
  EXPECT_EQ(StatsOf(VDIO_DI5).on_time_ms, 0u);

  const uint16_t both[2] = {VDIO_CLEAR_COUNTS | VDIO_CLEAR_LATCHES, VDIO_CLEAR_ON_TIME};
  ASSERT_EQ(modbus_write_registers(mb(), 103, 2, both), 2);
  EXPECT_EQ(StatsOf(VDIO_DI4).rising, 0x0002'0001u) << "DI4 got the on-time's clear";
  EXPECT_EQ(StatsOf(VDIO_DI4).on_time_ms, 0u);
  uint16_t holding[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  ASSERT_EQ(modbus_read_registers(mb(), 100, 8, holding), 8);
  EXPECT_EQ(std::vector<uint16_t>(holding, holding + 8), std::vector<uint16_t>(8, 0));
}

TEST_F(ServiceFiguresTest, TheGatewaysOwnCountingOptionsAreRefusedThroughTheService) {
  StartService();
  for (const char *option : {"--poll-interval", "--debounce"}) {
    for (const char *check : {"--check", "--log-requests"}) {
      SCOPED_TRACE(std::string(option) + " " + check);
      const int status = StartFailing({"--device", socket_, option, "20ms", check});
      ASSERT_TRUE(WIFEXITED(status)) << gateway_->Log();
      EXPECT_EQ(WEXITSTATUS(status), 2) << gateway_->Log();
      EXPECT_NE(gateway_->Log().find(std::string(option) +
                                     " with the board service's socket as --device"),
                std::string::npos)
          << gateway_->Log();
    }
  }
  EXPECT_EQ(service_->LogLines("(dio-modbusd) connected").size(), 0u)
      << "refused before the board is opened";
}

}  // namespace
