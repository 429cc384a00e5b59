// The output and input ports as 8-bit masks, and the LEDs as a group
// numbered from 1.
#include "board_fixture.h"
#include "board_registers.h"
#include "varnik_dio.h"
#include "varnik_dio_sim.h"

#include <gtest/gtest.h>

namespace {

using PortTest = BoardTest;

TEST_F(PortTest, OutputMaskBitNDrivesOutputN) {
  struct Case { uint16_t mask; uint8_t active; };
  // Bits 8..15 carry no line and are ignored.
  const Case cases[] = {{0x00FF, 0xFF}, {0x0000, 0x00}, {0x0100, 0x00},
                        {0x00A5, 0xA5}, {0xFF5A, 0x5A}};
  for (const Case &c : cases) {
    SCOPED_TRACE("mask " + std::to_string(c.mask));
    EXPECT_EQ(GPO_Write(c.mask), 0);
    for (int n = 0; n < 8; ++n) {
      const bool active = (c.active >> n) & 1;
      EXPECT_EQ(Peek(board::kOutput[n]), active ? board::kDriven : board::kReleased)
          << "DO" << n;
    }
  }
}

TEST_F(PortTest, OutputReadBackIsTheWrittenMaskLowByte) {
  for (uint16_t mask : {0x0000, 0x00FF, 0x00A5, 0x005A, 0x1234, 0x0180}) {
    uint16_t read_back = 0xFFFF;
    ASSERT_EQ(GPO_Write(mask), 0);
    ASSERT_EQ(GPO_Read(&read_back), 0);
    EXPECT_EQ(read_back, mask & 0x00FF) << "mask " << mask;
  }
}

TEST_F(PortTest, InputMaskBitNIsInputN) {
  for (uint8_t active : {0xFF, 0x00, 0x1A, 0x81}) {
    for (int n = 0; n < 8; ++n) {
      const bool on = (active >> n) & 1;
      // Bit 0 of an input register is not the input: set it opposite.
      Poke(board::kInput[n], on ? 0x01 : 0x02);
    }
    uint16_t mask = 0xFFFF;
    EXPECT_EQ(GPI_Read(&mask), 0);
    EXPECT_EQ(mask, active) << "inputs " << int(active);
  }
}

TEST_F(PortTest, EachPortOperationIsEightCompleteAccesses) {
  uint16_t mask = 0;
  ASSERT_EQ(GPO_Write(0x00A5), 0);
  ASSERT_EQ(GPO_Read(&mask), 0);
  ASSERT_EQ(GPI_Read(&mask), 0);

  EXPECT_EQ(board::DeviceCalls(Trace()), board::Accesses(24, "0xfdae0000"));
}

// A port write that dies part-way leaves the lines before it written and
// the lines after it as they were: DO0 goes first, DO7 last.
TEST_F(PortTest, OutputsAreWrittenOneByOneFromDO0) {
  for (unsigned dying_write = 1; dying_write <= 8; ++dying_write) {
    for (uint32_t output : board::kOutput) Poke(output, 0x55);
    EXPECT_EXIT(
        {
          varnik_sim_fail(VARNIK_SIM_MUNMAP, EINVAL, dying_write);
          GPO_Write(0x00FF);
        },
        ::testing::ExitedWithCode(1), "line 148");
    for (unsigned n = 0; n < 8; ++n) {
      EXPECT_EQ(Peek(board::kOutput[n]), n < dying_write ? board::kDriven : 0x55)
          << "DO" << n << " when write " << dying_write << " fails";
    }
  }
}

TEST_F(PortTest, LedsNumberedOneToThreeMakeTheCountMask) {
  EXPECT_EQ(QelLEDSetValue(1, 1), 1);
  EXPECT_EQ(QelLEDSetValue(2, 1), 1);
  EXPECT_EQ(QelLEDSetValue(3, 1), 1);
  EXPECT_EQ(QelLEDCount(), 7);  // a mask, not a count of three

  EXPECT_EQ(QelLEDSetValue(1, 0), 1);
  EXPECT_EQ(QelLEDSetValue(3, 0), 1);
  EXPECT_EQ(QelLEDCount(), 2);
  EXPECT_EQ(Peek(board::kLed[1]), board::kDriven);

  EXPECT_EQ(QelLEDSetValue(2, 0), 1);
  EXPECT_EQ(QelLEDCount(), 0);
}

TEST_F(PortTest, LedNumberAndLevelCountOnlyTheirLowByte) {
  EXPECT_EQ(QelLEDSetValue(257, 1), 1);  // acts as LED1
  EXPECT_EQ(Peek(board::kLed[0]), board::kDriven);
  EXPECT_EQ(QelLEDSetValue(1, 256), 1);  // acts as level 0
  EXPECT_EQ(Peek(board::kLed[0]), board::kReleased);
  EXPECT_EQ(QelLEDSetValue(-253, 0x101), 1);  // LED3, level 1
  EXPECT_EQ(Peek(board::kLed[2]), board::kDriven);
  EXPECT_EQ(QelLEDCount(), 4);
}

TEST_F(PortTest, LedCountIsThreeAccesses) {
  QelLEDCount();
  EXPECT_EQ(board::DeviceCalls(Trace()), board::Accesses(3, "0xfdaf0000"));
}

}  // namespace
