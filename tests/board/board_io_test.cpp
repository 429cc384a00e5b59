// Every line through the board API, with the register bytes checked on the
// board file: outputs and LEDs on bit 0, inputs on bit 1, all active-low.
#include <gtest/gtest.h>

#include <cerrno>

#include "board_api_fixture.h"
#include "board_registers.h"

namespace {

uint32_t OutputRegister(int line) { return board::kOutput[line - VDIO_DO0]; }
uint32_t LedRegister(int line) { return board::kLed[line - VDIO_LED1]; }
uint32_t DrivenRegister(int line) {
  return line < VDIO_LED1 ? OutputRegister(line) : LedRegister(line);
}

using LineLevelTest = BoardApiTest;
BOARD_API_TEST_P(LineLevelTest);

TEST_P(LineLevelTest, InputsAreActiveLowOnBitOneOnly) {
  struct Case { uint8_t register_byte; int level; };
  const Case cases[] = {{0x00, 1}, {0x01, 1}, {0xFD, 1}, {0x02, 0}, {0x03, 0}, {0xFF, 0}};
  for (int line = VDIO_DI0; line <= VDIO_DI7; ++line) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(vdio_line_name(line)) + " byte " + std::to_string(c.register_byte));
      Poke(board::kInput[line], c.register_byte);
      EXPECT_EQ(vdio_get(board_, line), c.level);
    }
  }
}

TEST_P(LineLevelTest, OutputsAndLedsReadBackBitZero) {
  struct Case { uint8_t register_byte; int level; };
  const Case cases[] = {{0x00, 1}, {0xFE, 1}, {0x01, 0}, {0xFF, 0}};
  for (int line = VDIO_DO0; line <= VDIO_LED3; ++line) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(vdio_line_name(line)) + " byte " + std::to_string(c.register_byte));
      Poke(DrivenRegister(line), c.register_byte);
      EXPECT_EQ(vdio_get(board_, line), c.level);
    }
  }
}

TEST_P(LineLevelTest, SetStoresTheWholeActiveLowByteAtTheLinesOwnRegister) {
  for (int line = VDIO_DO0; line <= VDIO_LED3; ++line) {
    SCOPED_TRACE(vdio_line_name(line));
    for (int other = VDIO_DO0; other <= VDIO_LED3; ++other) Poke(DrivenRegister(other), 0x55);
    EXPECT_EQ(vdio_set(board_, line, 1), 0);
    EXPECT_EQ(Peek(DrivenRegister(line)), board::kDriven);
    EXPECT_EQ(vdio_get(board_, line), 1);
    EXPECT_EQ(vdio_set(board_, line, 0), 0);
    EXPECT_EQ(Peek(DrivenRegister(line)), board::kReleased);
    EXPECT_EQ(vdio_get(board_, line), 0);
    for (int other = VDIO_DO0; other <= VDIO_LED3; ++other)
      if (other != line) {
        EXPECT_EQ(Peek(DrivenRegister(other)), 0x55) << vdio_line_name(other);
      }
  }
}

TEST_P(LineLevelTest, ReadGathersEveryGroupInOnePass) {
  const uint8_t inputs = 0x96, outputs = 0x5A, leds = 0x05;
  for (int n = 0; n < 8; ++n) {
    Poke(board::kInput[n], (inputs >> n) & 1 ? board::kInputActive : board::kInputInactive);
    Poke(board::kOutput[n], (outputs >> n) & 1 ? board::kDriven : board::kReleased);
  }
  for (int i = 0; i < 3; ++i) Poke(board::kLed[i], (leds >> i) & 1 ? board::kDriven : board::kReleased);

  vdio_state state{};
  ASSERT_EQ(vdio_read(board_, &state), 0);
  EXPECT_EQ(state.inputs, inputs);
  EXPECT_EQ(state.outputs, outputs);
  EXPECT_EQ(state.leds, leds);
  uint8_t mask = 0;
  ASSERT_EQ(vdio_read_inputs(board_, &mask), 0);
  EXPECT_EQ(mask, inputs);
}

using MaskedWriteTest = BoardApiTest;
BOARD_API_TEST_P(MaskedWriteTest);

TEST_P(MaskedWriteTest, OnlyTheLinesInTheMaskChange) {
  for (uint32_t reg : board::kOutput) Poke(reg, 0x55);
  // DO1 and DO6 driven, DO2 released; values outside the mask are ignored.
  ASSERT_EQ(vdio_write_outputs(board_, 0x46, 0xFB), 0);
  for (int n = 0; n < 8; ++n) {
    const uint8_t expected = n == 1 || n == 6 ? board::kDriven : n == 2 ? board::kReleased : 0x55;
    EXPECT_EQ(Peek(board::kOutput[n]), expected) << "DO" << n;
  }
}

TEST_P(MaskedWriteTest, LedsChangeByMaskAndABitBeyondTheGroupWritesNothing) {
  for (uint32_t reg : board::kLed) Poke(reg, 0x55);
  ASSERT_EQ(vdio_write_leds(board_, 0x05, 0x01), 0);
  EXPECT_EQ(Peek(board::kLed[0]), board::kDriven);
  EXPECT_EQ(Peek(board::kLed[1]), 0x55);
  EXPECT_EQ(Peek(board::kLed[2]), board::kReleased);

  const std::string before = RegisterPages();
  EXPECT_EQ(vdio_write_leds(board_, 0x09, 0xFF), -EINVAL);
  EXPECT_EQ(vdio_write_leds(board_, 0x80, 0x80), -EINVAL);
  EXPECT_EQ(RegisterPages(), before);
}

using RejectionTest = BoardApiTest;
BOARD_API_TEST_P(RejectionTest);

TEST_P(RejectionTest, BadLinesAndLevelsAreRefusedAndTouchNoRegister) {
  const std::string before = RegisterPages();
  for (int line = VDIO_DI0; line <= VDIO_DI7; ++line)
    EXPECT_EQ(vdio_set(board_, line, 1), -EINVAL) << "input " << vdio_line_name(line);
  for (int level : {2, -1, 255, 256})
    EXPECT_EQ(vdio_set(board_, VDIO_DO0, level), -EINVAL) << "level " << level;
  for (int line : {-1, int{VDIO_LINE_COUNT}, 255, 1 << 20}) {
    EXPECT_EQ(vdio_set(board_, line, 1), -EINVAL) << "line " << line;
    EXPECT_EQ(vdio_get(board_, line), -EINVAL) << "line " << line;
  }
  EXPECT_EQ(RegisterPages(), before);
}

TEST_P(RejectionTest, NullArgumentsAreRefused) {
  vdio_state state{0xAB, 0xCD, 0xEF};
  uint8_t mask = 0xAB;
  EXPECT_EQ(vdio_get(nullptr, VDIO_DI0), -EINVAL);
  EXPECT_EQ(vdio_set(nullptr, VDIO_DO0, 1), -EINVAL);
  EXPECT_EQ(vdio_read(nullptr, &state), -EINVAL);
  EXPECT_EQ(vdio_read(board_, nullptr), -EINVAL);
  EXPECT_EQ(vdio_read_inputs(nullptr, &mask), -EINVAL);
  EXPECT_EQ(vdio_read_inputs(board_, nullptr), -EINVAL);
  EXPECT_EQ(vdio_write_outputs(nullptr, 0xFF, 0xFF), -EINVAL);
  EXPECT_EQ(vdio_write_leds(nullptr, 0x07, 0x07), -EINVAL);
  EXPECT_EQ(state.inputs, 0xAB);
  EXPECT_EQ(mask, 0xAB);
}

}  // namespace
