// Rejected arguments: every one gets its function's failure result before
// any device access. Swept over the whole 8-bit argument space, since the
// calls cost nothing when nothing is touched.
#include "board_fixture.h"
#include "board_registers.h"
#include "varnik_dio.h"

#include <gtest/gtest.h>

namespace {

class RejectionTest : public BoardTest {
 protected:
  void TearDown() override {
    EXPECT_TRUE(Trace().empty()) << "a rejected argument reached the device";
    BoardTest::TearDown();
  }
};

TEST_F(RejectionTest, OutputLevelsAboveOneAreRejected) {
  for (int output = 0; output < 8; ++output) {
    for (int level = 2; level < 256; ++level) {
      ASSERT_EQ(GPIOWriteToPin(static_cast<uint8_t>(output), static_cast<uint8_t>(level)), -1)
          << "DO" << output << " level " << level;
    }
  }
}

TEST_F(RejectionTest, OutputNumbersBeyondTheTableAreRejected) {
  // 248..255 would wrap onto inputs' registers if output + 8 were taken in
  // 8 bits.
  for (int output = 8; output < 256; ++output) {
    for (int level = 0; level < 256; ++level) {
      ASSERT_EQ(GPIOWriteToPin(static_cast<uint8_t>(output), static_cast<uint8_t>(level)), -1)
          << "output " << output << " level " << level;
    }
  }
}

TEST_F(RejectionTest, ReadIndicesBeyondTheTableLeaveTheLevelUntouched) {
  for (int index = 16; index < 256; ++index) {
    uint8_t level = 0xAA;
    ASSERT_EQ(GPIOReadFromPin(static_cast<uint8_t>(index), &level), -1) << index;
    ASSERT_EQ(level, 0xAA) << index;
  }
}

TEST_F(RejectionTest, NullResultPointersAreRejected) {
  EXPECT_EQ(GPIOReadFromPin(0, nullptr), -1);
  EXPECT_EQ(GPIOReadFromPin(8, nullptr), -1);
  EXPECT_EQ(GPI_Read(nullptr), -1);
  EXPECT_EQ(GPO_Read(nullptr), -1);
}

TEST_F(RejectionTest, LedIndicesAboveTwoAreRejectedForEveryLevel) {
  for (int index = 3; index < 256; ++index) {
    ASSERT_EQ(LEDReadFromPin(static_cast<uint8_t>(index)), 0) << index;
    for (int level = 0; level < 256; ++level) {
      ASSERT_EQ(LEDWriteToPin(static_cast<uint8_t>(index), static_cast<uint8_t>(level)), 0)
          << "index " << index << " level " << level;
    }
  }
}

TEST_F(RejectionTest, LedLevelsAboveOneAreRejected) {
  for (int index = 0; index < 3; ++index) {
    for (int level = 2; level < 256; ++level) {
      ASSERT_EQ(LEDWriteToPin(static_cast<uint8_t>(index), static_cast<uint8_t>(level)), 0);
    }
  }
}

TEST_F(RejectionTest, LedNumbersOutsideOneToThreeAreRejected) {
  // Every number whose low byte of (number - 1) is not 0..2, across the
  // 32-bit range in steps that keep every low byte covered.
  for (int64_t number = INT32_MIN; number <= INT32_MAX; number += 0x01000001) {
    const uint8_t index = static_cast<uint8_t>(static_cast<uint32_t>(number) - 1u);
    if (index <= 2) continue;
    ASSERT_EQ(QelLEDSetValue(static_cast<int32_t>(number), 1), 0) << number;
  }
  EXPECT_EQ(QelLEDSetValue(0, 1), 0);
  EXPECT_EQ(QelLEDSetValue(4, 1), 0);
}

TEST_F(RejectionTest, LedLevelsWhoseLowByteIsAboveOneAreRejected) {
  for (int32_t number = 1; number <= 3; ++number) {
    for (int32_t level = 2; level < 256; ++level) {
      ASSERT_EQ(QelLEDSetValue(number, level), 0) << "LED" << number << " level " << level;
      ASSERT_EQ(QelLEDSetValue(number, level - 256), 0) << "LED" << number << " level " << level - 256;
    }
  }
}

TEST_F(RejectionTest, InitTouchesNothing) { EXPECT_EQ(GPIO_Init(), 0); }

}  // namespace
