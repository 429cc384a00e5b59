// The communication watchdog, measured on the board file, and what the
// outputs do at start and on every signal that stops the gateway.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "gateway_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class WatchdogTest : public GatewayTest {
 protected:
  // Seconds until the board's outputs read mask, or -1 after `limit` seconds.
  double SecondsUntilOutputs(uint8_t mask, Clock::time_point from, double limit) const {
    while (SecondsSince(from) < limit) {
      if (OutputsOnBoard() == mask) return SecondsSince(from);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
  }
  uint16_t WatchdogState(modbus_t *mb) const {
    uint16_t state = 99;
    EXPECT_EQ(modbus_read_input_registers(mb, 11, 1, &state), 1);
    return state;
  }
};

TEST_F(WatchdogTest, TripsWithinItsDurationPlusOnePollInterval) {
  Start({"--watchdog", "500ms", "--poll-interval", "100ms"});
  auto client = Connect();
  ASSERT_EQ(modbus_write_register(client->get(), 0, 0xff), 1);
  const auto fed = Clock::now();  // the last valid request was answered just before
  const double tripped = SecondsUntilOutputs(0x00, fed, SlowMachineSeconds(5));
  ASSERT_GT(tripped, 0) << gateway_->Log();
  RecordProperty("trip_seconds", std::to_string(tripped));
  EXPECT_GE(tripped, 0.45) << "tripped before its duration";
  // Its duration, one poll interval, and the 2 ms this loop looks at the board.
  EXPECT_LE(tripped, 0.5 + 0.1 + 0.01) << "tripped late";
  EXPECT_EQ(WatchdogState(client->get()), 1);
  EXPECT_EQ(gateway_->WaitForLogLines(
                "watchdog tripped: no valid request for 500ms; outputs set to 0x00", 1, 2),
            1u)
      << gateway_->Log();
}

TEST_F(WatchdogTest, ValidRequestsOfAnyClientFeedItExceptionsDoNot) {
  Start({"--watchdog", "400ms", "--poll-interval", "20ms"});
  auto first = Connect();
  auto second = Connect();
  ASSERT_EQ(modbus_write_register(first->get(), 0, 0xff), 1);
  const auto start = Clock::now();
  uint16_t value = 0;
  for (int i = 0; SecondsSince(start) < 1.2; ++i) {
    ASSERT_EQ(modbus_read_input_registers((i % 2 ? first : second)->get(), 0, 1, &value), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  EXPECT_EQ(OutputsOnBoard(), 0xff) << "fed every 150 ms for 1.2 s";
  const auto exceptions_only = Clock::now();
  while (OutputsOnBoard() == 0xff && SecondsSince(exceptions_only) < SlowMachineSeconds(3)) {
    EXPECT_EQ(ExceptionOf(modbus_read_input_registers(first->get(), 50, 1, &value)), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(OutputsOnBoard(), 0x00) << "requests answered with an exception do not feed it";
}

TEST_F(WatchdogTest, AnOutputWriteClearsItAnLedWriteDoesNot) {
  Start({"--watchdog", "300ms", "--safe-outputs", "0x81", "--poll-interval", "20ms"});
  auto client = Connect();
  modbus_t *mb = client->get();
  ASSERT_EQ(modbus_write_register(mb, 0, 0x3c), 1);
  ASSERT_GT(SecondsUntilOutputs(0x81, Clock::now(), SlowMachineSeconds(3)), 0);
  EXPECT_EQ(WatchdogState(mb), 1);

  ASSERT_EQ(modbus_write_bit(mb, 9, 1), 1);  // LED2
  EXPECT_EQ(LedsOnBoard(), 0x02) << "an LED write is applied";
  EXPECT_EQ(WatchdogState(mb), 1) << "and leaves the watchdog tripped";
  EXPECT_EQ(OutputsOnBoard(), 0x81);

  ASSERT_EQ(modbus_write_bit(mb, 3, 1), 1);
  EXPECT_EQ(WatchdogState(mb), 0) << "a coil write to an output clears it";
  EXPECT_EQ(OutputsOnBoard(), 0x89) << "and is applied on top of the safe state";
  EXPECT_TRUE(gateway_->WaitForLog("watchdog cleared", 2));

  ASSERT_GT(SecondsUntilOutputs(0x81, Clock::now(), SlowMachineSeconds(3)), 0) << "armed again";
  ASSERT_EQ(modbus_write_register(mb, 0, 0x42), 1);
  EXPECT_EQ(WatchdogState(mb), 0) << "a holding register write to the outputs clears it";
  EXPECT_EQ(OutputsOnBoard(), 0x42);
  EXPECT_EQ(gateway_->WaitForLogLines("watchdog tripped", 2, 2), 2u);
}

class OutputStateTest : public WatchdogTest {};

TEST_F(OutputStateTest, StartLeavesOutputsAloneUnlessPowerOnOutputsAreGiven) {
  SetOutputsOnBoard(0x99);
  Start();
  EXPECT_EQ(OutputsOnBoard(), 0x99);
  EXPECT_EQ(gateway_->Stop(SIGTERM, 5), 0);
  Start({"--power-on-outputs", "0x3c"});
  EXPECT_EQ(OutputsOnBoard(), 0x3c);
  // A second gateway on the same port fails to start and touches nothing.
  GatewayProcess second(dir_, {"--device", board_path_, "--listen",
                               "127.0.0.1:" + std::to_string(gateway_->port()),
                               "--power-on-outputs", "0xff"});
  const int status = second.WaitForExit(10);
  ASSERT_TRUE(WIFEXITED(status)) << second.Log();
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(second.Log().find("Address already in use"), std::string::npos) << second.Log();
  EXPECT_EQ(OutputsOnBoard(), 0x3c) << "the running gateway's outputs are left alone";
}

TEST_F(OutputStateTest, SigtermWithClientsConnectedPutsOutputsInTheirSafeStateWithAWatchdog) {
  Start({"--watchdog", "10s", "--safe-outputs", "0x0f"});
  auto first = Connect();
  auto second = Connect();
  ASSERT_EQ(modbus_write_register(first->get(), 0, 0xf0), 1);
  ASSERT_EQ(modbus_write_register(second->get(), 1, 0x05), 1);
  const int status = gateway_->Stop(SIGTERM, 5);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "; log:\n" << gateway_->Log();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(OutputsOnBoard(), 0x0f);
  EXPECT_EQ(LedsOnBoard(), 0x05) << "LEDs are left as they are";
  EXPECT_EQ(gateway_->LogLines("disconnected: server stopping on SIGTERM").size(), 2u);
  EXPECT_EQ(gateway_->LogLines("stopped on SIGTERM; outputs set to their safe state 0x0f").size(),
            1u)
      << gateway_->Log();
  EXPECT_EQ(AwaitResponse(modbus_get_socket(first->get()), 2), PeerResponse::kClosed);
}

struct StopSignal {
  int number;
  std::string name;
  int status;
};

// Asked-for stops end with 0, the others with 128 + N, so that systemd's
// Restart=on-failure brings the gateway back.
std::vector<StopSignal> StopSignals() {
  std::vector<StopSignal> signals = {
      {SIGHUP, "SIGHUP", 0},       {SIGINT, "SIGINT", 0},       {SIGTERM, "SIGTERM", 0},
      {SIGQUIT, "SIGQUIT", 0},     {SIGUSR1, "SIGUSR1", 0},     {SIGUSR2, "SIGUSR2", 0},
      {SIGALRM, "SIGALRM", 0},     {SIGVTALRM, "SIGVTALRM", 0}, {SIGPROF, "SIGPROF", 0},
      {SIGIO, "SIGIO", 0},         {SIGPWR, "SIGPWR", 0},       {SIGXCPU, "SIGXCPU", 0},
      {SIGXFSZ, "SIGXFSZ", 0}};
  // qemu-user numbers the real-time signals of its guest differently from
  // the host's, so they are sent to the host's own build only.
  if (!RunsUnderEmulator())
    for (int offset : {0, 3, SIGRTMAX - SIGRTMIN})
      signals.push_back({SIGRTMIN + offset,
                         offset == 0 ? "SIGRTMIN" : "SIGRTMIN+" + std::to_string(offset), 0});
  for (StopSignal &signal : signals)
    if (signal.number != SIGHUP && signal.number != SIGINT && signal.number != SIGTERM)
      signal.status = 128 + signal.number;
  return signals;
}

TEST_F(OutputStateTest, EveryStopSignalPutsTheSafeOutputsLogsItAndEndsWithItsStatus) {
  for (const StopSignal &signal : StopSignals()) {
    SCOPED_TRACE(signal.name);
    Start({"--watchdog", "10s", "--safe-outputs", "0x0f"});
    auto client = Connect();
    ASSERT_EQ(modbus_write_register(client->get(), 0, 0xf0), 1);
    if (signal.number == SIGHUP) {  // SIGPIPE first: ignored
      kill(gateway_->pid(), SIGPIPE);
      uint16_t outputs = 0;
      EXPECT_EQ(modbus_read_registers(client->get(), 0, 1, &outputs), 1) << "served after SIGPIPE";
      EXPECT_EQ(outputs, 0xf0);
    }
    const int status = gateway_->Stop(signal.number, 5);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "; log:\n" << gateway_->Log();
    EXPECT_EQ(WEXITSTATUS(status), signal.status);
    EXPECT_EQ(OutputsOnBoard(), 0x0f);
    EXPECT_EQ(gateway_->LogLines("stopped on " + signal.name + "; outputs set to their safe state 0x0f")
                  .size(),
              1u)
        << gateway_->Log();
    SetOutputsOnBoard(0x00);
  }
}

TEST_F(OutputStateTest, SigintWithoutAWatchdogLeavesOutputsAsTheyAre) {
  Start();
  auto client = Connect();
  ASSERT_EQ(modbus_write_register(client->get(), 0, 0xf0), 1);
  const int status = gateway_->Stop(SIGINT, 5);
  ASSERT_TRUE(WIFEXITED(status)) << gateway_->Log();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(OutputsOnBoard(), 0xf0);
  EXPECT_EQ(gateway_->LogLines("stopped on SIGINT; outputs left as they are").size(), 1u);
}

}  // namespace
