// Many threads on one board handle, with no lock: each output and LED has
// one writer thread that checks its own line reads back what it wrote,
// while readers check that the inputs and the bytes beside the registers
// never change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "board_api_fixture.h"
#include "board_registers.h"

namespace {

constexpr auto kRunTime = std::chrono::milliseconds(1500);
constexpr uint8_t kInputs = 0xC3;
constexpr uint8_t kScratch = 0x5A;
// The byte after DO7's register and after LED3's: a store wider than a
// byte to either register would reach them.
constexpr uint32_t kScratchAddresses[] = {board::kOutput[7] + 1, board::kLed[2] + 1};

struct Tally {
  std::atomic<unsigned long> rounds{0};
  std::atomic<unsigned long> wrong{0};
};

using BoardConcurrencyTest = BoardApiTest;
BOARD_API_TEST_P(BoardConcurrencyTest);

TEST_P(BoardConcurrencyTest, WritersOfDifferentLinesAndReadersNeverDisturbEachOther) {
  for (int n = 0; n < 8; ++n)
    Poke(board::kInput[n], (kInputs >> n) & 1 ? board::kInputActive : board::kInputInactive);
  for (uint32_t address : kScratchAddresses) Poke(address, kScratch);

  std::atomic<bool> stop{false};
  Tally tally;
  std::vector<std::thread> threads;
  // One writer per output and LED line, through the single-line and the
  // masked calls alike.
  for (int line = VDIO_DO0; line <= VDIO_LED3; ++line) {
    threads.emplace_back([&, line] {
      for (unsigned long round = 0; !stop.load(); ++round) {
        const int level = static_cast<int>(round & 1);
        int result;
        if (round % 3 == 0)
          result = vdio_set(board_, line, level);
        else if (line < VDIO_LED1)
          result = vdio_write_outputs(board_, static_cast<uint8_t>(1u << (line - VDIO_DO0)),
                                      level ? 0xFF : 0x00);
        else
          result = vdio_write_leds(board_, static_cast<uint8_t>(1u << (line - VDIO_LED1)),
                                   level ? 0x07 : 0x00);
        if (result != 0 || vdio_get(board_, line) != level) ++tally.wrong;
        ++tally.rounds;
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        vdio_state state{};
        uint8_t inputs = 0;
        if (vdio_read(board_, &state) != 0 || state.inputs != kInputs || state.leds > 7 ||
            vdio_read_inputs(board_, &inputs) != 0 || inputs != kInputs)
          ++tally.wrong;
        ++tally.rounds;
      }
    });
  }
  std::this_thread::sleep_for(kRunTime);
  stop = true;
  for (std::thread &t : threads) t.join();

  EXPECT_EQ(tally.wrong.load(), 0u);
  EXPECT_GT(tally.rounds.load(), 1000u) << "the threads barely ran";
  for (uint32_t address : kScratchAddresses) EXPECT_EQ(Peek(address), kScratch);
  for (int line = VDIO_DO0; line <= VDIO_LED3; ++line) {
    const uint8_t byte = Peek(line < VDIO_LED1 ? board::kOutput[line - VDIO_DO0]
                                               : board::kLed[line - VDIO_LED1]);
    EXPECT_TRUE(byte == board::kDriven || byte == board::kReleased) << vdio_line_name(line);
  }
}

}  // namespace
