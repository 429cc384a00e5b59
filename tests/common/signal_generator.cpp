#include "signal_generator.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "board_registers.h"

namespace varnik::test {

namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;
// The input register's sensed bit: clear when the input is active (level 1).
constexpr uint8_t kSensedBit = board::kInputInactive;

uint64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

void SleepUntil(uint64_t due_ns) {
  const timespec due{static_cast<time_t>(due_ns / kNsPerSecond),
                     static_cast<long>(due_ns % kNsPerSecond)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
  }
}

}  // namespace

PulseShape PulsesAt(double hz, double duty, uint64_t count) {
  const auto period = static_cast<uint64_t>(std::llround(1e9 / hz));
  const auto high = static_cast<uint64_t>(std::llround(static_cast<double>(period) * duty));
  return PulseShape{high, period - high, count};
}

SignalGenerator::SignalGenerator(const std::string &board_path, int input, const PulseShape &shape)
    : shape_(shape), address_(board::kInput[input & 7]) {
  fd_ = open(board_path.c_str(), O_RDWR | O_CLOEXEC);
  uint8_t byte = 0;
  if (input < 0 || input > 7) {
    report_.error = "no input DI" + std::to_string(input) + ": give 0..7";
  } else if (fd_ < 0 || pread(fd_, &byte, 1, address_) != 1) {
    report_.error = "cannot drive DI" + std::to_string(input) + " of board " + board_path + ": " +
                    std::strerror(errno);
  }
  if (!report_.error.empty()) return;
  inactive_byte_ = static_cast<uint8_t>(byte | kSensedBit);
  if (!WriteLevel(0)) return;
  const uint64_t start_ns = NowNs() + shape_.low_ns;
  thread_ = std::thread([this, start_ns] { Run(start_ns); });
}

SignalGenerator::~SignalGenerator() {
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

GeneratorReport SignalGenerator::Wait() {
  if (thread_.joinable()) thread_.join();
  return report_;
}

bool SignalGenerator::WriteLevel(int level) {
  const uint8_t byte = level != 0 ? static_cast<uint8_t>(inactive_byte_ & ~kSensedBit)
                                  : inactive_byte_;
  if (pwrite(fd_, &byte, 1, address_) == 1) return true;
  report_.error = std::string("cannot write the input's register: ") + std::strerror(errno);
  return false;
}

// Each edge at its own due time from start_ns, however late the one before
// was, so that lateness never adds up.
void SignalGenerator::Run(uint64_t start_ns) {
  const uint64_t period = shape_.high_ns + shape_.low_ns;
  const uint64_t too_late = std::min(shape_.high_ns, shape_.low_ns) / 2;
  for (uint64_t pulse = 0; pulse < shape_.count; ++pulse) {
    for (const int level : {1, 0}) {
      const uint64_t due = start_ns + pulse * period + (level != 0 ? 0 : shape_.high_ns);
      SleepUntil(due);
      if (!WriteLevel(level)) return;
      const uint64_t late = NowNs() - due;
      report_.worst_late_ns = std::max(report_.worst_late_ns, late);
      if (late > too_late) ++report_.late_edges;
      ++report_.edges;
    }
  }
}

}  // namespace varnik::test
