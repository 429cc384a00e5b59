// A daemon's log queue on a pipe the test fills and reads: bounded, the
// dropped lines counted in their place, the order kept, the descriptor's
// flags untouched, and a close that waits for a stalled reader only so long.
#include "log_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using varnik::tools::LogQueue;
using Clock = std::chrono::steady_clock;

constexpr size_t kPage = 4096;

class LogQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(ends_, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(ends_[1], F_SETPIPE_SZ, static_cast<int>(kPage)), static_cast<int>(kPage));
  }
  void TearDown() override {
    close(ends_[0]);
    close(ends_[1]);
  }
  // A reader that stopped: the pipe holds a page it cannot take more of.
  void FillPipe() const { ASSERT_EQ(write(ends_[1], std::string(kPage, '.').data(), kPage), static_cast<ssize_t>(kPage)); }
  // Everything the pipe holds until it stays empty for a while.
  std::string ReadAll() const {
    std::string text;
    char buffer[kPage];
    pollfd entry = {ends_[0], POLLIN, 0};
    while (poll(&entry, 1, 200) == 1) {
      const ssize_t got = read(ends_[0], buffer, sizeof buffer);
      if (got <= 0) break;
      text.append(buffer, static_cast<size_t>(got));
    }
    return text;
  }
  // What the pipe holds until done(text), waiting as long as a slow
  // (sanitized, emulated) writer may need.
  template <typename Done>
  std::string ReadUntil(Done done) const {
    std::string text;
    char buffer[kPage];
    pollfd entry = {ends_[0], POLLIN, 0};
    const auto give_up = Clock::now() + std::chrono::seconds(20);
    while (!done(text) && Clock::now() < give_up) {
      if (poll(&entry, 1, 100) != 1) continue;
      const ssize_t got = read(ends_[0], buffer, sizeof buffer);
      if (got <= 0) break;
      text.append(buffer, static_cast<size_t>(got));
    }
    return text;
  }
  int write_end() const { return ends_[1]; }

  int ends_[2] = {-1, -1};
};

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The count a drop notice tells, 0 for any other line.
uint64_t DropsToldBy(const std::string &line) {
  unsigned long long count = 0;
  if (sscanf(line.c_str(), "%llu", &count) != 1) return 0;
  return line == varnik::tools::DroppedLinesNotice(count) ? count : 0;
}

uint64_t DropsTold(const std::string &text) {
  uint64_t told = 0;
  for (const std::string &line : Lines(text)) told += DropsToldBy(line);
  return told;
}

// The lines of text with each run of drop notices made one, of their sum:
// where the writer takes its batch among the pushes decides whether the
// drops are told in one notice or two, not how many there were or where.
std::vector<std::string> LinesWithDropsSummed(const std::string &text) {
  std::vector<std::string> lines;
  uint64_t run = 0;
  for (const std::string &line : Lines(text)) {
    if (const uint64_t told = DropsToldBy(line)) {
      run += told;
      continue;
    }
    if (run > 0) lines.push_back(varnik::tools::DroppedLinesNotice(std::exchange(run, 0)));
    lines.push_back(line);
  }
  if (run > 0) lines.push_back(varnik::tools::DroppedLinesNotice(run));
  return lines;
}

TEST_F(LogQueueTest, AStalledReaderCostsLinesBeyondTheBoundCountedWhereTheyWere) {
  FillPipe();
  const int flags = fcntl(write_end(), F_GETFL);
  LogQueue queue(write_end(), 10);
  const auto start = Clock::now();
  for (int i = 0; i < 25; ++i) queue.Push("early " + std::to_string(i));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500)) << "pushing never waits";
  EXPECT_EQ(queue.dropped(), 15u) << "ten lines held, whether queued or being written";

  // The reader reads again: the page, the ten lines, the count, then what
  // came after.
  std::string text = ReadUntil([](const std::string &got) { return DropsTold(got) >= 15; });
  // The writer holds its batch's room until it comes back for more, just
  // after the reader has it all: a quiet spell lets it come back.
  text += ReadAll();
  ASSERT_GE(text.size(), kPage);
  text.erase(0, kPage);
  for (int i = 0; i < 3; ++i) queue.Push("late " + std::to_string(i));
  EXPECT_TRUE(queue.Close(std::chrono::seconds(5)));
  text += ReadAll();
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) expected.push_back("early " + std::to_string(i));
  expected.push_back("15 log lines dropped (standard error was not read)");
  for (int i = 0; i < 3; ++i) expected.push_back("late " + std::to_string(i));
  EXPECT_EQ(LinesWithDropsSummed(text), expected);
  EXPECT_EQ(queue.dropped(), 15u);
  EXPECT_EQ(fcntl(write_end(), F_GETFL), flags) << "the descriptor's flags are left alone";
}

TEST_F(LogQueueTest, CloseWaitsForAStalledReaderOnlySoLong) {
  FillPipe();
  LogQueue queue(write_end(), 10);
  queue.Push("never read");
  const auto start = Clock::now();
  EXPECT_FALSE(queue.Close(std::chrono::milliseconds(200)));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(2));
  queue.Push("after the close");
  EXPECT_EQ(queue.dropped(), 1u) << "a closed queue takes no more lines";
  // The writer left behind finishes once the reader reads again.
  std::string text = ReadUntil([](const std::string &got) { return got.find("never read\n") != std::string::npos; });
  EXPECT_EQ(text.substr(kPage), "never read\n");
}

}  // namespace
