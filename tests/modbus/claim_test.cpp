// The gateway as a client of the board service: --claim, which has the
// service keep the outputs safe when the gateway dies or hangs, and writes
// refused because another client of the service holds the line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "service_gateway_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class ClaimTest : public ServiceGatewayTest {
 protected:
  void SetUp() override {
    ServiceGatewayTest::SetUp();
    StartService();
  }

  // A client holding lines as consumer, their safe values 0.
  vdio_board *HoldingClient(uint32_t lines, const char *consumer) {
    vdio_board *board = OpenClient();
    struct vdio_claim claim {};
    claim.size = sizeof claim;
    claim.lines = lines;
    std::strncpy(claim.consumer, consumer, sizeof claim.consumer - 1);
    EXPECT_EQ(vdio_claim(board, &claim), 0);
    return board;
  }
  vdio_claim_info ClaimOf(vdio_board *board, int line) const {
    vdio_claim_info info{};
    info.size = sizeof info;
    EXPECT_EQ(vdio_get_claim(board, line, &info), 1) << vdio_line_name(line) << " not held";
    return info;
  }
};

TEST_F(ClaimTest, AKilledGatewayLeavesItsOutputsToTheServiceWhichMakesThemSafe) {
  StartThroughService({"--claim", "--watchdog", "500ms", "--safe-outputs", "0x0f"});
  auto client = Connect();
  ASSERT_EQ(modbus_write_register(client->get(), 0, 0xf0), 1);
  ASSERT_EQ(modbus_write_register(client->get(), 1, 0x05), 1);
  ASSERT_EQ(OutputsOnBoard(), 0xf0);

  // While it lives, the lines are its own: another client reads them but
  // cannot write them, and sees who holds them.
  vdio_board *other = OpenClient();
  EXPECT_EQ(vdio_set(other, VDIO_DO7, 0), -EBUSY);
  EXPECT_EQ(vdio_write_leds(other, 0x01, 0x00), -EBUSY);
  EXPECT_EQ(vdio_get(other, VDIO_DO7), 1);
  const vdio_claim_info info = ClaimOf(other, VDIO_DO7);
  EXPECT_EQ(info.pid, gateway_->pid());
  EXPECT_EQ(info.lease_ms, 500u);
  EXPECT_EQ(std::string(info.consumer), "dio-modbusd :" + std::to_string(gateway_->port()));
  EXPECT_EQ(ClaimOf(other, VDIO_DO0).flags & VDIO_CLAIM_INFO_SAFE_VALUE,
            VDIO_CLAIM_INFO_SAFE_VALUE);
  EXPECT_EQ(OutputsOnBoard(), 0xf0) << "refused writes changed nothing";

  ASSERT_GT(gateway_->Stop(SIGKILL, 5), -1);
  const auto reaped = Clock::now();
  while (OutputsOnBoard() != 0x0f && SecondsSince(reaped) < SlowMachineSeconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const double safe_after = SecondsSince(reaped);
  RecordProperty("safe_seconds", std::to_string(safe_after));
  EXPECT_EQ(OutputsOnBoard(), 0x0f) << service_->Log();
  EXPECT_LE(safe_after, SlowMachineSeconds(kServiceIntervalSeconds + 0.1));
  EXPECT_EQ(LedsOnBoard(), 0x00) << "the LEDs' safe state is dark";
  EXPECT_EQ(vdio_set(other, VDIO_DO7, 1), 0) << "the claim ended with the gateway";
}

TEST_F(ClaimTest, TheLeaseIsFedByAnIdleGatewayButRunsOutWhenItHangs) {
  // Through the service, which counts the inputs, the gateway reads the
  // board every second only: the lease of 300 ms needs its own feeding.
  StartThroughService({"--claim", "--watchdog", "300ms", "--safe-outputs", "0x01"});
  vdio_board *other = OpenClient();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(ClaimOf(other, VDIO_DO0).flags & VDIO_CLAIM_INFO_LEASE_OUT, 0u)
      << "no Modbus master for 1 s, yet the gateway is alive";
  EXPECT_EQ(OutputsOnBoard(), 0x01) << "its own watchdog tripped";

  auto client = Connect();
  ASSERT_EQ(modbus_write_register(client->get(), 0, 0xff), 1);
  ASSERT_EQ(kill(gateway_->pid(), SIGSTOP), 0);  // hung
  const auto hung = Clock::now();
  while (OutputsOnBoard() != 0x01 && SecondsSince(hung) < SlowMachineSeconds(3))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const double safe_after = SecondsSince(hung);
  EXPECT_EQ(OutputsOnBoard(), 0x01) << "the service's lease ran out";
  EXPECT_GE(safe_after, 0.25);
  EXPECT_NE(ClaimOf(other, VDIO_DO0).flags & VDIO_CLAIM_INFO_LEASE_OUT, 0u);
  kill(gateway_->pid(), SIGCONT);
}

TEST_F(ClaimTest, AClaimIsRefusedWhenALineIsHeldAndOnABoardOpenedDirectly) {
  HoldingClient(1u << VDIO_LED2, "mixer");
  const std::vector<uint8_t> before = RegisterPages();
  const int status = StartFailing({"--device", socket_, "--claim", "--power-on-outputs", "0xff"});
  ASSERT_TRUE(WIFEXITED(status)) << gateway_->Log();
  EXPECT_EQ(WEXITSTATUS(status), 1) << gateway_->Log();
  EXPECT_NE(gateway_->Log().find("LED2 is held by \"mixer\" (pid " + std::to_string(getpid()) +
                                 ")"),
            std::string::npos)
      << gateway_->Log();
  EXPECT_EQ(RegisterPages(), before) << "a gateway that cannot start touches nothing";

  const int direct = StartFailing({"--device", board_path_, "--claim", "--power-on-outputs", "0xff"});
  ASSERT_TRUE(WIFEXITED(direct)) << gateway_->Log();
  EXPECT_EQ(WEXITSTATUS(direct), 1);
  EXPECT_NE(gateway_->Log().find("--claim needs the board service (dio-boardd)"), std::string::npos)
      << gateway_->Log();
  EXPECT_EQ(gateway_->Log().find("listening"), std::string::npos);
  EXPECT_EQ(RegisterPages(), before);
}

TEST_F(ClaimTest, AWriteToALineAnotherClientHoldsIsBusyAndTheWatchdogLeavesItAlone) {
  vdio_board *holder = HoldingClient(1u << VDIO_DO2 | 1u << VDIO_LED1, "mixer");
  ASSERT_EQ(vdio_set(holder, VDIO_DO2, 1), 0);
  StartThroughService({"--watchdog", "500ms"});
  auto client = Connect();
  modbus_t *mb = client->get();
  EXPECT_EQ(ExceptionOf(modbus_write_bit(mb, 2, 1)), MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
  EXPECT_EQ(ExceptionOf(modbus_write_register(mb, 0, 0xff)), MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
  const uint8_t all_on[11] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(ExceptionOf(modbus_write_bits(mb, 0, 11, all_on)), MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
  // Free outputs with a held LED: refused before the outputs are written.
  EXPECT_EQ(ExceptionOf(modbus_write_bits(mb, 6, 3, all_on)), MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
  const uint16_t masks[2] = {0x08, 0x02};
  EXPECT_EQ(ExceptionOf(modbus_write_registers(mb, 0, 2, masks)),
            MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
  EXPECT_EQ(OutputsOnBoard(), 0x04) << "nothing written";
  EXPECT_EQ(LedsOnBoard(), 0x00) << "nothing written";

  EXPECT_EQ(modbus_write_bit(mb, 3, 1), 1) << "a line nobody holds";
  EXPECT_EQ(OutputsOnBoard(), 0x0c);
  // Named once per line and holder, however often it is refused.
  const std::string held = " is held by \"mixer\" (pid " + std::to_string(getpid()) + ")";
  EXPECT_EQ(gateway_->WaitForLogLines("(exception 0x06): DO2" + held, 1, 2), 1u) << gateway_->Log();
  EXPECT_EQ(gateway_->WaitForLogLines("(exception 0x06): LED1" + held, 1, 2), 1u) << gateway_->Log();
  EXPECT_EQ(gateway_->LogLines("(exception 0x06)").size(), 2u) << gateway_->Log();
  // The watchdog's safe state leaves the held line to its holder.
  EXPECT_EQ(gateway_->WaitForLogLines("DO2" + held + ", left as it is", 1, 3), 1u)
      << gateway_->Log();
  EXPECT_EQ(OutputsOnBoard(), 0x04);
  // The repeats are counted, at the stop at the latest.
  EXPECT_EQ(gateway_->Stop(SIGTERM, 5), 0);
  EXPECT_EQ(gateway_->LogLines("refused 3 more writes to lines held by other clients").size(), 1u)
      << gateway_->Log();
}

}  // namespace
