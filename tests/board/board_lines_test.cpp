// Lines by name and the pin map as the board API reports it, checked
// against the board's register map written out independently.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <string>

#include "board_registers.h"
#include "varnik_dio_board.h"

namespace {

struct Expected {
  const char *name;
  vdio_direction direction;
  uint32_t address;
  uint8_t bit;
};

Expected ExpectedLine(int line) {
  static const char *const kNames[] = {"DI0", "DI1", "DI2", "DI3", "DI4", "DI5", "DI6",
                                       "DI7", "DO0", "DO1", "DO2", "DO3", "DO4", "DO5",
                                       "DO6", "DO7", "LED1", "LED2", "LED3"};
  if (line < 8) return {kNames[line], VDIO_INPUT, board::kInput[line], 1};
  if (line < 16) return {kNames[line], VDIO_OUTPUT, board::kOutput[line - 8], 0};
  return {kNames[line], VDIO_LED, board::kLed[line - 16], 0};
}

TEST(LineMapTest, EveryLineHasItsRegisterBitAndDirection) {
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    const Expected expected = ExpectedLine(line);
    SCOPED_TRACE(expected.name);
    vdio_line_info info{};
    ASSERT_EQ(vdio_get_line_info(line, &info), 0);
    EXPECT_STREQ(info.name, expected.name);
    EXPECT_EQ(info.direction, expected.direction);
    EXPECT_EQ(info.address, expected.address);
    EXPECT_EQ(info.bit, expected.bit);
    EXPECT_EQ(info.active_low, 1);
    EXPECT_STREQ(vdio_line_name(line), expected.name);
  }
}

TEST(LineMapTest, NumbersOutsideTheMapHaveNoLine) {
  vdio_line_info info{};
  for (int line : {-1, int{VDIO_LINE_COUNT}, 32, -2147483647 - 1}) {
    EXPECT_EQ(vdio_get_line_info(line, &info), -EINVAL) << line;
    EXPECT_EQ(vdio_line_name(line), nullptr) << line;
  }
  EXPECT_EQ(vdio_get_line_info(VDIO_DI0, nullptr), -EINVAL);
}

TEST(LineNameTest, NamesAreFoundInAnyCase) {
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    std::string name = ExpectedLine(line).name;
    EXPECT_EQ(vdio_line_from_name(name.c_str()), line) << name;
    for (char &c : name) c = static_cast<char>(tolower(c));
    EXPECT_EQ(vdio_line_from_name(name.c_str()), line) << name;
  }
  EXPECT_EQ(vdio_line_from_name("Led2"), VDIO_LED2);
  EXPECT_EQ(vdio_line_from_name("dO7"), VDIO_DO7);
}

// In a Turkish locale the upper case of 'i' is not 'I': names are ASCII.
TEST(LineNameTest, NamesDoNotDependOnTheLocale) {
  const char *const locales[] = {"tr_TR.UTF-8", "tr_TR.ISO-8859-9", "tr_TR"};
  const char *found = nullptr;
  for (const char *locale : locales)
    if ((found = setlocale(LC_ALL, locale)) != nullptr) break;
  if (found == nullptr) GTEST_SKIP() << "no Turkish locale on this machine";
  EXPECT_EQ(vdio_line_from_name("di3"), VDIO_DI3);
  EXPECT_EQ(vdio_line_from_name("Led1"), VDIO_LED1);
  setlocale(LC_ALL, "C");
}

TEST(LineNameTest, AnythingElseIsEINVAL) {
  for (const char *name : {"", "DI", "DI8", "DO-1", "LED0", "LED4", "DI3 ", " DI3", "DI03",
                           "DI3x", "D I3", "GPIO3", "led", "DO"})
    EXPECT_EQ(vdio_line_from_name(name), -EINVAL) << '"' << name << '"';
  EXPECT_EQ(vdio_line_from_name(nullptr), -EINVAL);
}

TEST(VersionTest, TheLibraryHeaderAndBuildAgreeOnTheProductVersion) {
  EXPECT_STREQ(vdio_version(), VDIO_VERSION_STRING);
  EXPECT_STREQ(vdio_version(), VARNIK_PRODUCT_VERSION);
  EXPECT_EQ(std::to_string(VDIO_VERSION_MAJOR) + "." + std::to_string(VDIO_VERSION_MINOR) + "." +
                std::to_string(VDIO_VERSION_PATCH),
            VARNIK_PRODUCT_VERSION);
  unsigned major = 0, minor = 0, patch = 0;
  ASSERT_EQ(sscanf(VARNIK_PRODUCT_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
  EXPECT_EQ(VDIO_VERSION_NUMBER, static_cast<int>(major * 65536 + minor * 256 + patch));
}

}  // namespace
