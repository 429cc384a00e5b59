// The tests' signal generator writes the pulses it is asked for, on several
// inputs of one board at once, and keeps each register's other bits.
#include "signal_generator.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "board_fixture.h"
#include "board_registers.h"

namespace {

using varnik::test::PulsesAt;
using varnik::test::SignalGenerator;

constexpr int kInputs[] = {2, 5};
constexpr uint64_t kPulses = 8;

using SignalGeneratorTest = BoardTest;

TEST_F(SignalGeneratorTest, DrivesPulsesOnSeveralInputsAtOnce) {
  Poke(board::kInput[2], 0x80 | board::kInputInactive);  // a bit it must keep
  Poke(board::kInput[5], board::kInputActive);           // at 1: set to 0 first
  // Pulses long enough for a polling reader to see each one, emulated too.
  const auto shape = PulsesAt(25.0, 0.5, kPulses);
  EXPECT_EQ(shape.high_ns, 20'000'000u);
  EXPECT_EQ(shape.low_ns, 20'000'000u);

  std::atomic<bool> done{false};
  std::array<uint64_t, 2> rises{};
  std::thread reader([&] {
    const int fd = open(board_path_.c_str(), O_RDONLY | O_CLOEXEC);
    std::array<bool, 2> high{false, true};  // as poked above
    while (!done) {
      for (size_t n = 0; n < rises.size(); ++n) {
        uint8_t byte = board::kInputInactive;
        if (pread(fd, &byte, 1, board::kInput[kInputs[n]]) != 1) continue;
        const bool now_high = (byte & board::kInputInactive) == 0;
        if (now_high && !high[n]) ++rises[n];
        high[n] = now_high;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(fd);
  });
  const auto start = std::chrono::steady_clock::now();
  SignalGenerator first(board_path_, kInputs[0], shape);
  SignalGenerator second(board_path_, kInputs[1], shape);
  const auto first_report = first.Wait();
  const auto second_report = second.Wait();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  done = true;
  reader.join();

  for (const auto &report : {first_report, second_report}) {
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.edges, 2 * kPulses);
  }
  EXPECT_EQ(rises[0], kPulses) << "DI2, late by up to " << first_report.worst_late_ns << " ns";
  EXPECT_EQ(rises[1], kPulses) << "DI5, late by up to " << second_report.worst_late_ns << " ns";
  // Low for 20 ms first, then 8 periods but the last low.
  EXPECT_GE(elapsed, std::chrono::milliseconds(20 + kPulses * 40 - 20));
  EXPECT_EQ(Peek(board::kInput[2]), 0x80 | board::kInputInactive);
  EXPECT_EQ(Peek(board::kInput[5]), board::kInputInactive);

  EXPECT_NE(SignalGenerator(board_path_, 8, shape).Wait().error, "");
  EXPECT_NE(SignalGenerator(dir_ + "/none", 0, shape).Wait().error.find(dir_ + "/none"),
            std::string::npos);
}

}  // namespace
