// Standard error a pipe whose reader stops reading (a terminal on Ctrl-S, a
// pager, a stalled journal): the gateway still answers, its watchdog still
// trips on time, its stop still ends it, and what it could not log is
// counted once the reader reads again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>

#include "gateway_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class StalledLogTest : public GatewayTest {
 protected:
  // The gateway on a pipe the test reads only when it looks at the log.
  void StartOnPipe(const std::vector<std::string> &args) {
    std::vector<std::string> all = {"--device", board_path_};
    all.insert(all.end(), args.begin(), args.end());
    gateway_ = std::make_unique<GatewayProcess>(dir_, all, GatewayProcess::Output::kPipe);
    ASSERT_TRUE(gateway_->WaitListening()) << gateway_->Log();
  }
  // The gateway's lines read so far ("listening on" aside), and the sum of
  // its "N log lines dropped" lines.
  struct LogAccount {
    uint64_t logged = 0;
    uint64_t dropped = 0;
  };
  LogAccount Account() const {
    LogAccount account;
    for (const std::string &line : gateway_->LogLines("")) {
      if (line.find(" dropped (standard error was not read)") != std::string::npos)
        account.dropped += std::stoull(line);
      else if (line.rfind("listening on ", 0) != 0)
        ++account.logged;
    }
    return account;
  }
  double SecondsUntilOutputs(uint8_t mask, Clock::time_point from, double limit) const {
    while (SecondsSince(from) < limit) {
      if (OutputsOnBoard() == mask) return SecondsSince(from);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return -1;
  }
};

TEST_F(StalledLogTest, ClientsWatchdogAndStopCarryOnAndTheDroppedLinesAreCounted) {
  StartOnPipe({"--watchdog", "500ms", "--safe-outputs", "0x81", "--poll-interval", "20ms",
               "--log-requests"});
  // From here the test reads nothing until it looks at the log again.
  auto client = Connect();
  ASSERT_EQ(modbus_write_register(client->get(), 0, 0x3c), 1);
  constexpr int kReads = 10000;  // a line each: far more than a page of pipe and the queue
  const auto start = Clock::now();
  for (int i = 0; i < kReads; ++i) {
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_input_registers(client->get(), 0, 1, &value), 1)
        << "request " << i << " not answered: " << modbus_strerror(errno);
  }
  const auto fed = Clock::now();
  RecordProperty("seconds_for_requests", std::to_string(SecondsSince(start)));
  const double tripped = SecondsUntilOutputs(0x81, fed, SlowMachineSeconds(5));
  ASSERT_GT(tripped, 0) << "the watchdog did not trip";
  RecordProperty("trip_seconds", std::to_string(tripped));
  EXPECT_LE(tripped, 0.5 + SlowMachineSeconds(0.02 + 0.08)) << "tripped late";
  EXPECT_FALSE(gateway_->OutputNonBlocking()) << "the inherited standard error's flags changed";

  // Read again: every line is there or counted. The lines: the connection,
  // the requests, the watchdog's trip.
  ASSERT_TRUE(gateway_->WaitForLog("dropped (standard error was not read)", 5)) << "no count";
  const uint64_t expected_lines = 1 + (kReads + 1) + 1;
  LogAccount account = Account();
  for (const auto give_up = Clock::now() + std::chrono::seconds(5);
       account.logged + account.dropped < expected_lines && Clock::now() < give_up;
       account = Account())
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(account.logged + account.dropped, expected_lines) << "logged " << account.logged;
  EXPECT_GT(account.dropped, 0u);
  RecordProperty("dropped", std::to_string(account.dropped));

  // Stalled again, with lines waiting: the stop still ends the gateway,
  // after a bounded wait for the reader, with the outputs safe.
  ASSERT_EQ(modbus_write_register(client->get(), 0, 0x3c), 1);
  for (int i = 0; i < 500; ++i) {
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_input_registers(client->get(), 0, 1, &value), 1);
  }
  const auto asked = Clock::now();
  const int status = gateway_->Stop(SIGTERM, 10);
  RecordProperty("seconds_to_stop", std::to_string(SecondsSince(asked)));
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_LT(SecondsSince(asked), SlowMachineSeconds(3));
  EXPECT_EQ(OutputsOnBoard(), 0x81);
}

}  // namespace
