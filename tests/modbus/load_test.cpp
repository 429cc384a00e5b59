// 32 clients at once, 1,000 mixed requests each. The gateway logs every
// request (--log-requests) with the outputs and LEDs after each write: every
// write a client made must be in that log under its own port, and the board
// must end as the last logged write left it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <thread>

#include "gateway_fixture.h"

namespace {

constexpr int kClients = 32;
constexpr int kRequestsPerClient = 1000;

struct ClientReport {
  int port = -1;
  int writes = 0;
  int failures = 0;
  std::string first_failure;
};

// One client's share: reads of every kind, checked for values the data
// model cannot hold, and writes of every kind, checked for their echo.
void RunClient(int port, unsigned seed, ClientReport *report) {
  ModbusClient client(port, 1);
  if (!client.connected()) {
    report->failures = kRequestsPerClient;
    report->first_failure = "cannot connect";
    return;
  }
  report->port = client.local_port();
  modbus_t *mb = client.get();
  std::mt19937 random(seed);
  const auto fail = [report](const std::string &what) {
    if (report->failures++ == 0) report->first_failure = what + ": " + modbus_strerror(errno);
  };
  for (int i = 0; i < kRequestsPerClient; ++i) {
    uint8_t bits[11];
    uint16_t registers[12];
    const unsigned value = random();
    switch (value % 8) {
      case 0:
        if (modbus_read_bits(mb, 0, 11, bits) != 11) fail("read coils");
        break;
      case 1:
        if (modbus_read_input_bits(mb, 0, 8, bits) != 8) fail("read discrete inputs");
        break;
      case 2:
        if (modbus_read_input_registers(mb, 0, 12, registers) != 12 || registers[2] > 7 ||
            registers[11] != 0)
          fail("read input registers");
        break;
      case 3:
        if (modbus_read_registers(mb, 0, 3, registers) != 3 || registers[1] > 7 || registers[2] != 0)
          fail("read holding registers");
        break;
      case 4:
        ++report->writes;
        if (modbus_write_bit(mb, static_cast<int>(value / 8 % 11), (value >> 8) & 1) != 1)
          fail("write coil");
        break;
      case 5: {
        const int start = static_cast<int>(value / 8 % 11);
        const int count = 1 + static_cast<int>((value >> 8) % static_cast<unsigned>(11 - start));
        for (int b = 0; b < count; ++b) bits[b] = (value >> (12 + b)) & 1;
        ++report->writes;
        if (modbus_write_bits(mb, start, count, bits) != count) fail("write coils");
        break;
      }
      case 6:
        ++report->writes;
        if (modbus_write_register(mb, (value >> 3) & 1, (value >> 3) & 1 ? (value >> 8) & 7 : (value >> 8) & 0xff) != 1)
          fail("write register");
        break;
      default: {
        const uint16_t both[2] = {static_cast<uint16_t>((value >> 8) & 0xff),
                                  static_cast<uint16_t>((value >> 16) & 7)};
        ++report->writes;
        if (modbus_write_registers(mb, 0, 2, both) != 2) fail("write registers");
        break;
      }
    }
  }
}

struct LoggedWrite {
  int port;
  unsigned outputs, leds;
};

class LoadTest : public GatewayTest {};

TEST_F(LoadTest, ThirtyTwoClientsEveryWriteAccountedForFinalStateExact) {
  Start({"--log-requests", "--max-clients", "40"});
  std::vector<ClientReport> reports(kClients);
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < kClients; ++c)
    threads.emplace_back(RunClient, gateway_->port(), 1000u + static_cast<unsigned>(c), &reports[c]);
  for (std::thread &thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("seconds", std::to_string(seconds));

  int issued_writes = 0;
  for (const ClientReport &report : reports) {
    EXPECT_EQ(report.failures, 0) << "client " << report.port << ": " << report.first_failure;
    issued_writes += report.writes;
  }

  // "request 127.0.0.1:PORT transaction T unit 1 function 0xFF: ok, outputs 0xOO leds 0xLL"
  std::map<int, int> requests_of, writes_of;
  std::vector<LoggedWrite> writes;
  // Every request logged, none dropped (the log is written by a thread of
  // its own, a moment behind).
  ASSERT_EQ(gateway_->WaitForLogLines("request 127.0.0.1:", kClients * kRequestsPerClient, 10),
            static_cast<size_t>(kClients * kRequestsPerClient));
  EXPECT_TRUE(gateway_->LogLines("log lines dropped").empty());
  for (const std::string &line : gateway_->LogLines("request 127.0.0.1:")) {
    int port = 0;
    unsigned transaction = 0, unit = 0, function = 0, outputs = 0, leds = 0;
    ASSERT_GE(std::sscanf(line.c_str(), "request 127.0.0.1:%d transaction %u unit %u function %x",
                          &port, &transaction, &unit, &function),
              4)
        << line;
    ++requests_of[port];
    if (std::sscanf(line.c_str(), "%*[^,], outputs %x leds %x", &outputs, &leds) == 2) {
      ++writes_of[port];
      writes.push_back({port, outputs, leds});
    }
  }
  ASSERT_EQ(static_cast<int>(writes.size()), issued_writes);
  for (const ClientReport &report : reports) {
    EXPECT_EQ(requests_of[report.port], kRequestsPerClient) << "client " << report.port;
    EXPECT_EQ(writes_of[report.port], report.writes) << "client " << report.port;
  }
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(OutputsOnBoard(), writes.back().outputs);
  EXPECT_EQ(LedsOnBoard(), writes.back().leds);
  auto checker = Connect();
  uint16_t state[2] = {};
  ASSERT_EQ(modbus_read_registers(checker->get(), 0, 2, state), 2);
  EXPECT_EQ(state[0], writes.back().outputs);
  EXPECT_EQ(state[1], writes.back().leds);
}

}  // namespace
