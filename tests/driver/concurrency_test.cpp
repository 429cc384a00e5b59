// Many threads using the driver at once on one board. The driver keeps
// nothing between calls, so each access is its own open / map / unmap /
// close: threads must neither see each other's bytes nor leave a descriptor
// or a mapping behind.
//
// Every byte the threads touch has a rule for the values it can hold,
// set up before the threads start and kept by every writer, so a read that
// returns anything else was never written:
//   DO0..DO7  always the levels of kOutputs (line and port writers agree);
//   DI0..DI7  the levels of kInputs, never written;
//   LED1      always lit, LED3 always dark, LED2 toggled by one thread only;
//   scratch bytes beside a register of each window, one writer each, with
//   values tagged by that writer; and the top byte of the 32-bit space,
//   written by two threads from one set of values.
#include "board_fixture.h"
#include "board_registers.h"
#include "varnik_dio.h"
#include "varnik_dio_sim.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
constexpr auto kRunTime = std::chrono::seconds(2);
// Fewer rounds than this in kRunTime would mean the threads barely met.
constexpr unsigned long kMinRounds = 20;

constexpr uint8_t kOutputs = 0xA5;  // DO0, DO2, DO5, DO7 driven
constexpr uint8_t kInputs = 0x3C;   // DI2..DI5 active

// Right after DO7's register and LED3's register: a wider store to either
// register would reach them.
constexpr uint32_t kGpioScratch = board::kOutput[7] + 1;
constexpr uint32_t kLedScratch = board::kLed[2] + 1;
constexpr uint8_t kGpioScratchTag = 0x60;
constexpr uint8_t kLedScratchTag = 0x70;
constexpr uint32_t kSharedScratch = 0xFFFFFFFFu;
constexpr uint8_t kSharedValues[] = {0x00, 0x5A, 0xA5, 0xFF};

bool IsSharedValue(uint8_t value) {
  for (uint8_t v : kSharedValues)
    if (v == value) return true;
  return false;
}

uint8_t Bit(uint8_t mask, int n) { return static_cast<uint8_t>((mask >> n) & 1); }

std::string Hex(unsigned value) {
  std::ostringstream text;
  text << "0x" << std::hex << value;
  return text.str();
}

// What one thread did and the first few things it saw that break a rule.
struct Worker {
  unsigned long rounds = 0;
  unsigned long accesses = 0;  // register accesses its calls made
  unsigned long violations = 0;
  std::vector<std::string> first;

  void Check(bool holds, const std::string &what) {
    if (holds) return;
    ++violations;
    if (first.size() < 5) first.push_back(what);
  }
};

class ConcurrencyTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    for (int n = 0; n < 8; ++n) {
      Poke(board::kOutput[n], Bit(kOutputs, n) ? board::kDriven : board::kReleased);
      // Bit 0 of an input register is set opposite to the input.
      Poke(board::kInput[n], Bit(kInputs, n) ? 0x01 : 0x02);
    }
    Poke(board::kLed[0], board::kDriven);
    Poke(board::kLed[1], board::kReleased);
    Poke(board::kLed[2], board::kReleased);
    Poke(kGpioScratch, kGpioScratchTag);
    Poke(kLedScratch, kLedScratchTag);
    Poke(kSharedScratch, kSharedValues[0]);
  }
};

// DO and DI one line at a time, and rejected calls that must not reach the
// board.
void LineWorker(Worker &w, unsigned long round) {
  for (uint8_t n = 0; n < 8; ++n) {
    const std::string line = std::to_string(n);
    w.Check(GPIOWriteToPin(n, Bit(kOutputs, n)) == 0, "GPIOWriteToPin status, DO" + line);
    uint8_t level = 0xEE;
    w.Check(GPIOReadFromPin(static_cast<uint8_t>(n + 8), &level) == 0, "read status, DO" + line);
    w.Check(level == Bit(kOutputs, n), "DO" + line + " read " + std::to_string(level));
    level = 0xEE;
    w.Check(GPIOReadFromPin(n, &level) == 0, "read status, DI" + line);
    w.Check(level == Bit(kInputs, n), "DI" + line + " read " + std::to_string(level));
    w.accesses += 3;
  }
  const uint8_t wrong = static_cast<uint8_t>(8 + round % 248);
  w.Check(GPIOWriteToPin(wrong, 1) == -1, "output " + std::to_string(wrong) + " accepted");
  w.Check(GPIOWriteToPin(static_cast<uint8_t>(round % 8), 2) == -1, "level 2 accepted");
  uint8_t untouched = 0x77;
  w.Check(GPIOReadFromPin(static_cast<uint8_t>(16 + round % 240), &untouched) == -1 &&
              untouched == 0x77,
          "index above 15 read");
  w.Check(LEDWriteToPin(3, 1) == 0 && QelLEDSetValue(4, 1) == 0, "LED 4 accepted");
}

// Both ports as masks; the port writer puts junk in bits 8..15, which carry
// no line.
void PortWorker(Worker &w, unsigned long round, bool writes) {
  if (writes) {
    w.Check(GPO_Write(static_cast<uint16_t>(kOutputs | (round << 8))) == 0, "GPO_Write status");
    w.accesses += 8;
  }
  uint16_t mask = 0xEEEE;
  w.Check(GPO_Read(&mask) == 0, "GPO_Read status");
  w.Check(mask == kOutputs, "GPO_Read gave " + Hex(mask));
  mask = 0xEEEE;
  w.Check(GPI_Read(&mask) == 0, "GPI_Read status");
  w.Check(mask == kInputs, "GPI_Read gave " + Hex(mask));
  w.accesses += 16;
}

// The only writer of LED2: its own writes read back exactly, and the LED
// mask shows LED1 lit, LED3 dark and LED2 as last written.
void LedOwner(Worker &w, unsigned long round) {
  const uint8_t level = static_cast<uint8_t>(round & 1);
  if (round % 2 == 0)
    w.Check(LEDWriteToPin(1, level) == 1, "LEDWriteToPin status");
  else
    w.Check(QelLEDSetValue(2, level) == 1, "QelLEDSetValue status");
  w.Check(LEDReadFromPin(1) == level, "LED2 read back wrong");
  const int32_t lit = QelLEDCount();
  w.Check(lit == (1 | level << 1), "QelLEDCount gave " + std::to_string(lit));
  w.accesses += 1 + 1 + 3;
}

// Keeps LED1 lit and LED3 dark, writing what is already there.
void LedKeeper(Worker &w) {
  w.Check(QelLEDSetValue(1, 1) == 1 && LEDWriteToPin(2, 0) == 1, "LED write status");
  w.Check(LEDReadFromPin(0) == 1 && LEDReadFromPin(2) == 0, "LED1 or LED3 changed");
  const int32_t lit = QelLEDCount();
  w.Check(lit == 1 || lit == 3, "QelLEDCount gave " + std::to_string(lit));
  w.accesses += 2 + 2 + 3;
}

// Raw byte access: a scratch byte of its own, read back exactly after each
// write; the other raw thread's byte, which must carry that thread's tag;
// and a byte both write from one set of values.
void RawWorker(Worker &w, unsigned long round, uint32_t own, uint8_t own_tag, uint32_t other,
               uint8_t other_tag) {
  const uint8_t value = static_cast<uint8_t>(own_tag | (round & 0x0F));
  w.Check(WriteMap(own, value) == 1, "WriteMap status");
  const uint8_t back = ReadMMap(own);
  w.Check(back == value, "own byte read back " + Hex(back));
  const uint8_t seen = ReadMMap(other);
  w.Check((seen & 0xF0) == other_tag, "other thread's byte read " + Hex(seen));
  w.Check(WriteMap(kSharedScratch, kSharedValues[round % 4]) == 1, "WriteMap status");
  const uint8_t shared = ReadMMap(kSharedScratch);
  w.Check(IsSharedValue(shared), "shared byte read " + Hex(shared));
  w.accesses += 5;
}

TEST_F(ConcurrencyTest, EightThreadsSeeOnlyWrittenValuesAndLeaveNothingOpen) {
  const unsigned descriptors_before = OpenDescriptors();
  ASSERT_EQ(MappingsOf(board_path_), 0u);
  ASSERT_EQ(varnik_sim_open_descriptors(), 0u);
  ASSERT_EQ(varnik_sim_open_mappings(), 0u);

  const std::function<void(Worker &, unsigned long)> roles[kThreads] = {
      LineWorker,
      LineWorker,
      [](Worker &w, unsigned long round) { PortWorker(w, round, true); },
      [](Worker &w, unsigned long round) { PortWorker(w, round, false); },
      LedOwner,
      [](Worker &w, unsigned long) { LedKeeper(w); },
      [](Worker &w, unsigned long round) {
        RawWorker(w, round, kGpioScratch, kGpioScratchTag, kLedScratch, kLedScratchTag);
      },
      [](Worker &w, unsigned long round) {
        RawWorker(w, round, kLedScratch, kLedScratchTag, kGpioScratch, kGpioScratchTag);
      },
  };

  Worker workers[kThreads];
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Worker &w = workers[t];
      for (unsigned long round = 0; !stop.load(std::memory_order_relaxed); ++round) {
        roles[t](w, round);
        w.rounds = round + 1;
      }
    });
  }

  // Each thread holds at most one access open at a time.
  unsigned most_descriptors = 0, most_mappings = 0;
  const auto end = std::chrono::steady_clock::now() + kRunTime;
  while (std::chrono::steady_clock::now() < end) {
    most_descriptors = std::max(most_descriptors, varnik_sim_open_descriptors());
    most_mappings = std::max(most_mappings, varnik_sim_open_mappings());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  for (std::thread &thread : threads) thread.join();

  EXPECT_LE(most_descriptors, static_cast<unsigned>(kThreads));
  EXPECT_LE(most_mappings, static_cast<unsigned>(kThreads));

  unsigned long accesses = 0;
  std::string rounds;
  for (int t = 0; t < kThreads; ++t) {
    const Worker &w = workers[t];
    SCOPED_TRACE("thread " + std::to_string(t));
    EXPECT_GE(w.rounds, kMinRounds);
    EXPECT_EQ(w.violations, 0u);
    for (const std::string &what : w.first) ADD_FAILURE() << what;
    accesses += w.accesses;
    rounds += (t == 0 ? "" : " ") + std::to_string(w.rounds);
  }
  RecordProperty("rounds", rounds);
  RecordProperty("accesses", std::to_string(accesses));

  EXPECT_EQ(OpenDescriptors(), descriptors_before);
  EXPECT_EQ(MappingsOf(board_path_), 0u);
  EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
  EXPECT_EQ(varnik_sim_open_mappings(), 0u);

  // The board holds what the last writers left.
  for (int n = 0; n < 8; ++n) {
    EXPECT_EQ(Peek(board::kOutput[n]), Bit(kOutputs, n) ? board::kDriven : board::kReleased)
        << "DO" << n;
    EXPECT_EQ(Peek(board::kInput[n]), Bit(kInputs, n) ? 0x01 : 0x02) << "DI" << n;
  }
  EXPECT_EQ(Peek(board::kLed[0]), board::kDriven);
  EXPECT_EQ(Peek(board::kLed[1]), (workers[4].rounds - 1) % 2 ? board::kDriven : board::kReleased);
  EXPECT_EQ(Peek(board::kLed[2]), board::kReleased);
  EXPECT_EQ(Peek(kGpioScratch), kGpioScratchTag | ((workers[6].rounds - 1) & 0x0F));
  EXPECT_EQ(Peek(kLedScratch), kLedScratchTag | ((workers[7].rounds - 1) & 0x0F));
  EXPECT_TRUE(IsSharedValue(Peek(kSharedScratch)));

  // Every access the calls made is one complete, successful set of device
  // calls on one of the three pages in use; rejected calls made none.
  std::map<std::string, unsigned long> calls;
  std::set<std::string> pages, failed;
  std::ifstream trace(trace_path_);
  for (std::string line; std::getline(trace, line);) {
    std::istringstream words(line);
    std::string call;
    words >> call;
    ++calls[call];
    if (line.find(" error=") != std::string::npos) failed.insert(line);
    const auto offset = line.find(" offset=");
    if (call == "mmap" && offset != std::string::npos)
      pages.insert(line.substr(offset + 8, line.find(' ', offset + 1) - offset - 8));
  }
  // Every access flushes standard output three times.
  EXPECT_EQ(calls, (std::map<std::string, unsigned long>{{"close", accesses},
                                                          {"fflush", 3 * accesses},
                                                          {"mmap", accesses},
                                                          {"munmap", accesses},
                                                          {"open", accesses}}));
  EXPECT_EQ(pages, (std::set<std::string>{"0xfdae0000", "0xfdaf0000", "0xfffff000"}));
  EXPECT_TRUE(failed.empty()) << *failed.begin();
}

}  // namespace
