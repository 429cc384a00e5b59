// The pin map and the active-low convention, line by line, through the
// shipped library on the simulated board.
#include "board_fixture.h"
#include "board_registers.h"
#include "varnik_dio.h"

#include <gtest/gtest.h>

namespace {

using LineTest = BoardTest;

TEST_F(LineTest, OutputsAreActiveLowOnBitZeroAtTheirOwnRegisters) {
  for (uint8_t n = 0; n < 8; ++n) {
    SCOPED_TRACE("DO" + std::to_string(n));
    for (uint32_t other : board::kOutput) Poke(other, 0x55);

    EXPECT_EQ(GPIOWriteToPin(n, 1), 0);
    EXPECT_EQ(Peek(board::kOutput[n]), board::kDriven);
    EXPECT_EQ(GPIOWriteToPin(n, 0), 0);
    EXPECT_EQ(Peek(board::kOutput[n]), board::kReleased);

    for (uint8_t m = 0; m < 8; ++m) {
      if (m != n) {
        EXPECT_EQ(Peek(board::kOutput[m]), 0x55) << "DO" << int(m);
      }
    }
  }
}

TEST_F(LineTest, InputsAreActiveLowOnBitOneOnly) {
  struct Case { uint8_t register_byte, level; };
  const Case cases[] = {{0x00, 1}, {0x01, 1}, {0xFD, 1},
                        {0x02, 0}, {0x03, 0}, {0xFF, 0}};
  for (uint8_t i = 0; i < 8; ++i) {
    for (const Case &c : cases) {
      SCOPED_TRACE("DI" + std::to_string(i) + " byte " + std::to_string(c.register_byte));
      Poke(board::kInput[i], c.register_byte);
      uint8_t level = 0xAA;
      EXPECT_EQ(GPIOReadFromPin(i, &level), 0);
      EXPECT_EQ(level, c.level);
    }
  }
}

TEST_F(LineTest, OutputsReadBackAtIndexPlusEightFromBitZero) {
  struct Case { uint8_t register_byte, level; };
  const Case cases[] = {{0x00, 1}, {0xFE, 1}, {0x01, 0}, {0xFF, 0}};
  for (uint8_t n = 0; n < 8; ++n) {
    for (const Case &c : cases) {
      SCOPED_TRACE("DO" + std::to_string(n) + " byte " + std::to_string(c.register_byte));
      Poke(board::kOutput[n], c.register_byte);
      uint8_t level = 0xAA;
      EXPECT_EQ(GPIOReadFromPin(static_cast<uint8_t>(n + 8), &level), 0);
      EXPECT_EQ(level, c.level);
    }
  }
}

TEST_F(LineTest, LedsAreActiveLowOnBitZeroInTheirOwnWindow) {
  for (uint8_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("LED" + std::to_string(i + 1));
    EXPECT_EQ(LEDWriteToPin(i, 1), 1);
    EXPECT_EQ(Peek(board::kLed[i]), board::kDriven);
    EXPECT_EQ(LEDReadFromPin(i), 1);
    EXPECT_EQ(LEDWriteToPin(i, 0), 1);
    EXPECT_EQ(Peek(board::kLed[i]), board::kReleased);
    EXPECT_EQ(LEDReadFromPin(i), 0);

    Poke(board::kLed[i], 0xFE);
    EXPECT_EQ(LEDReadFromPin(i), 1);
    Poke(board::kLed[i], 0xFF);
    EXPECT_EQ(LEDReadFromPin(i), 0);
  }
}

TEST(AddressTest, WindowBaseIsCombinedByOrNotByAddition) {
  EXPECT_EQ(GetGPIOAddress(0x6A8), 0xFDAE06A8u);
  EXPECT_EQ(GetLEDAddress(0x4B8), 0xFDAF04B8u);
  // Bits already set in the base stay as they are.
  EXPECT_EQ(GetGPIOAddress(0x00020000), 0xFDAE0000u);
  EXPECT_EQ(GetLEDAddress(0x00010000), 0xFDAF0000u);
  EXPECT_EQ(GetGPIOAddress(0x00010000), 0xFDAF0000u);
  EXPECT_EQ(GetGPIOAddress(-1), 0xFFFFFFFFu);
}

TEST(AddressTest, ExportedTablesHoldTheBoardOffsets) {
  for (int n = 0; n < 8; ++n) {
    EXPECT_EQ(GetGPIOAddress(GPIOs[n]), board::kInput[n]) << "DI" << n;
    EXPECT_EQ(GetGPIOAddress(GPIOs[n + 8]), board::kOutput[n]) << "DO" << n;
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(GetLEDAddress(LEDs[i]), board::kLed[i]);
}

using ByteAccessTest = BoardTest;

TEST_F(ByteAccessTest, WriteMapStoresEveryByteValueUnchanged) {
  const uint32_t address = board::kGpioWindow + 0x123;
  for (int value = 0; value < 256; ++value) {
    ASSERT_EQ(WriteMap(address, static_cast<uint8_t>(value)), 1);
    ASSERT_EQ(Peek(address), value);
    ASSERT_EQ(ReadMMap(address), value);
  }
}

TEST_F(ByteAccessTest, LastByteOfAPageMapsThatPageAlone) {
  const uint32_t last = board::kGpioWindow + 0xFFF;
  Poke(last - 1, 0x11);
  Poke(last + 1, 0x22);
  ClearTrace();

  EXPECT_EQ(WriteMap(last, 0xAB), 1);
  EXPECT_EQ(ReadMMap(last), 0xAB);

  EXPECT_EQ(Peek(last - 1), 0x11);
  EXPECT_EQ(Peek(last + 1), 0x22);
  EXPECT_EQ(board::DeviceCalls(Trace()), board::Accesses(2, "0xfdae0000"));
}

TEST_F(ByteAccessTest, AddressesAboveTwoGibReachTheDeviceUnsigned) {
  EXPECT_EQ(WriteMap(0xFFFFFFFFu, 0x5A), 1);
  EXPECT_EQ(Peek(0xFFFFFFFFu), 0x5A);
  EXPECT_EQ(board::DeviceCalls(Trace()), board::Accesses(1, "0xfffff000"));
}

}  // namespace
