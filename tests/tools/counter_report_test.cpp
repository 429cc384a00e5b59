// dioctl counters' forms where a service cannot take them in a test's
// seconds: 64-bit counts exact in the table and in JSON, columns aligned
// to the widest figure, frequencies and on-times of every size.
#include "counter_report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using dioctl::InputFigures;

constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();  // 18446744073709551615

InputFigures Figures(int line, uint64_t rising, uint64_t falling, uint32_t mhz, uint64_t on_ms,
                     uint32_t latches) {
  vdio_input_stats stats{};
  stats.size = sizeof stats;
  stats.rising = rising;
  stats.falling = falling;
  stats.frequency_mhz = mhz;
  stats.on_time_ms = on_ms;
  stats.latches = latches;
  stats.debounce_us = 20000;
  return InputFigures{line, stats};
}

TEST(CounterReport, FrequencyInHertzWithThreeDecimalsExactly) {
  EXPECT_EQ(dioctl::HertzText(0), "0.000");
  EXPECT_EQ(dioctl::HertzText(7), "0.007");
  EXPECT_EQ(dioctl::HertzText(49999), "49.999");
  EXPECT_EQ(dioctl::HertzText(std::numeric_limits<uint32_t>::max()), "4294967.295");
}

TEST(CounterReport, OnTimeAsHoursMinutesSecondsMilliseconds) {
  EXPECT_EQ(dioctl::OnTimeText(0), "0:00:00.000");
  EXPECT_EQ(dioctl::OnTimeText(3'723'004), "1:02:03.004");
  EXPECT_EQ(dioctl::OnTimeText(359'999'999), "99:59:59.999");
  EXPECT_EQ(dioctl::OnTimeText(kMost), "5124095576030:25:51.615");
}

TEST(CounterReport, TableAlignsEveryColumnToItsWidestCell) {
  const std::vector<InputFigures> figures = {
      Figures(VDIO_DI0, 0, 0, 0, 0, 0),
      Figures(VDIO_DI3, kMost, 12, 20000, 3'723'004, VDIO_INPUT_ROSE | VDIO_INPUT_FELL),
      Figures(VDIO_DI7, 5, kMost - 1, 1500, 90, VDIO_INPUT_FELL),
      Figures(VDIO_DI6, 1, 0, 0, 1, VDIO_INPUT_ROSE)};
  EXPECT_EQ(dioctl::FormatCounterTable(figures),
            "LINE                RISING               FALLING  FREQUENCY      ON-TIME  LATCHES\n"
            "DI0                      0                     0   0.000 Hz  0:00:00.000  -\n"
            "DI3   18446744073709551615                    12  20.000 Hz  1:02:03.004  rose fell\n"
            "DI7                      5  18446744073709551614   1.500 Hz  0:00:00.090  fell\n"
            "DI6                      1                     0   0.000 Hz  0:00:00.001  rose\n");
}

TEST(CounterReport, JsonLinesKeepSixtyFourBitsExactAndTheLatchesAsBooleans) {
  const std::vector<InputFigures> figures = {
      Figures(VDIO_DI3, kMost, 12, 20000, kMost - 2, VDIO_INPUT_ROSE),
      Figures(VDIO_DI4, 0, 0, 0, 0, VDIO_INPUT_FELL)};
  EXPECT_EQ(dioctl::FormatCounterJson(figures),
            "{\"line\":\"DI3\",\"rising\":18446744073709551615,\"falling\":12,"
            "\"frequency_mhz\":20000,\"on_time_ms\":18446744073709551613,\"rose\":true,"
            "\"fell\":false}\n"
            "{\"line\":\"DI4\",\"rising\":0,\"falling\":0,\"frequency_mhz\":0,\"on_time_ms\":0,"
            "\"rose\":false,\"fell\":true}\n");
}

}  // namespace
