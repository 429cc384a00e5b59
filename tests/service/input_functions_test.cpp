// The service's bookkeeping of the inputs, fed synthetic samples at exact
// times: no board, no clock.
#include "input_functions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

namespace {

using dio_boardd::InputFunctions;
using dio_boardd::InputSettings;
using dio_boardd::KeptInputs;

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kStart = 5'000 * kMs;  // the clock's time when the service starts

InputSettings Settings(uint64_t interval_ns = kMs) {
  InputSettings settings;
  settings.interval_ns = interval_ns;
  settings.frequency_window_ns = 1'000 * kMs;
  return settings;
}

// Samples every millisecond from kStart + from_ms to kStart + to_ms, both
// included: levels(ms) gives the inputs at each.
void Sample(InputFunctions &functions, uint64_t from_ms, uint64_t to_ms,
            const std::function<uint8_t(uint64_t)> &levels) {
  for (uint64_t ms = from_ms; ms <= to_ms; ++ms) functions.Observe(levels(ms), kStart + ms * kMs);
}

// A square wave on the inputs of mask: period_ms, high for the first high_ms
// of each period, from ms 1.
std::function<uint8_t(uint64_t)> Square(uint8_t mask, uint64_t period_ms, uint64_t high_ms) {
  return [=](uint64_t ms) -> uint8_t { return (ms - 1) % period_ms < high_ms ? mask : 0; };
}

TEST(InputFunctionsTest, CountsEdgesOfEachInputAndSetsItsLatches) {
  // DI7 starts at 1: its level at the start is no edge.
  InputFunctions functions(Settings(), 0x80, kStart);
  // DI0 and DI5: ten 4 ms pulses every 10 ms; DI7 falls at ms 50 for good.
  Sample(functions, 1, 100, [](uint64_t ms) -> uint8_t {
    return static_cast<uint8_t>(Square(0x21, 10, 4)(ms) | (ms < 50 ? 0x80 : 0));
  });
  const auto figures = functions.Figures();
  for (int input : {0, 5}) {
    EXPECT_EQ(figures[input].rising, 10u) << "DI" << input;
    EXPECT_EQ(figures[input].falling, 10u) << "DI" << input;
    EXPECT_EQ(figures[input].latches, VDIO_INPUT_ROSE | VDIO_INPUT_FELL) << "DI" << input;
    EXPECT_EQ(figures[input].on_time_ms, 40u) << "DI" << input;
  }
  EXPECT_EQ(figures[7].rising, 0u);
  EXPECT_EQ(figures[7].falling, 1u);
  EXPECT_EQ(figures[7].latches, VDIO_INPUT_FELL);
  EXPECT_EQ(figures[7].on_time_ms, 50u);  // from the start to the fall at ms 50
  EXPECT_EQ(figures[1].rising + figures[1].falling + figures[1].latches, 0u);
}

TEST(InputFunctionsTest, DebounceDropsShorterPulsesAndDatesKeptOnesWhenFirstSeen) {
  InputSettings settings = Settings();
  settings.debounce_ns[2] = 5 * kMs;
  InputFunctions functions(settings, 0, kStart);
  // DI2: a 3 ms pulse (ms 10..12), then 20 ms pulses from ms 100, 200, 300;
  // the sampling stops at 1 after ms 310. DI3, with no debounce, gets the
  // same 3 ms pulse and counts it.
  Sample(functions, 1, 310, [](uint64_t ms) -> uint8_t {
    const bool glitch = ms >= 10 && ms < 13;
    const bool held = ms >= 100 && ms % 100 < 20;
    return static_cast<uint8_t>((glitch || held ? 0x04 : 0) | (glitch ? 0x08 : 0));
  });
  const auto figures = functions.Figures();
  EXPECT_EQ(figures[2].rising, 3u);
  EXPECT_EQ(figures[2].falling, 2u);
  EXPECT_EQ(figures[2].debounce_us, 5'000u);
  EXPECT_EQ(figures[3].rising, 1u);
  // Rises at ms 100, 200, 300, and 20 + 20 + 10 ms at 1, as if no debounce.
  EXPECT_EQ(figures[2].frequency_mhz, 10'000u);
  EXPECT_EQ(figures[2].on_time_ms, 50u);
}

TEST(InputFunctionsTest, FrequencyOverTheWindowFromExactTimes) {
  InputFunctions functions(Settings(), 0, kStart);
  // DI1 every 6 ms (166.667 Hz, rounded), DI4 every 100 ms (10 Hz).
  Sample(functions, 1, 600, [](uint64_t ms) -> uint8_t {
    return static_cast<uint8_t>(Square(0x02, 6, 3)(ms) | Square(0x10, 100, 50)(ms));
  });
  auto figures = functions.Figures();
  EXPECT_EQ(figures[1].frequency_mhz, 166'667u);
  EXPECT_EQ(figures[4].frequency_mhz, 10'000u);
  // The last rise of DI4 was at ms 501: a window that ends after ms 1502
  // holds none of them; until then the ones still in it count.
  Sample(functions, 601, 1'350, [](uint64_t) -> uint8_t { return 0; });
  figures = functions.Figures();
  EXPECT_EQ(figures[4].frequency_mhz, 10'000u);  // ms 401 and 501 still in it
  Sample(functions, 1'351, 1'450, [](uint64_t) -> uint8_t { return 0; });
  EXPECT_EQ(functions.Figures()[4].frequency_mhz, 0u);  // ms 501 alone
  Sample(functions, 1'451, 1'600, [](uint64_t) -> uint8_t { return 0; });
  EXPECT_EQ(functions.Figures()[1].frequency_mhz, 0u);  // its last rise was at ms 595
  EXPECT_EQ(functions.Figures()[4].rising, 6u);          // the counts stay
}

TEST(InputFunctionsTest, FrequencyStaysRightWhenEdgesOutnumberItsRing) {
  // At a 10 ms interval a 1 s window holds 52 rises; samples at 1 ms with a
  // rise every 2 ms overflow it, and the rate of those kept is the same.
  InputFunctions functions(Settings(10 * kMs), 0, kStart);
  Sample(functions, 1, 1'000, Square(0x01, 2, 1));
  EXPECT_EQ(functions.Figures()[0].frequency_mhz, 500'000u);
  EXPECT_EQ(functions.Figures()[0].rising, 500u);
}

TEST(InputFunctionsTest, OnTimeCountsTheCurrentPeriodUpToTheLastSample) {
  InputSettings settings = Settings();
  settings.debounce_ns[1] = 5 * kMs;
  InputFunctions functions(settings, 0, kStart);
  // DI0 and DI1 at 1 from ms 20 to 69; DI1's fall is still being debounced
  // at ms 72, and its on-time does not run past where it was seen.
  const auto pulse = [](uint64_t ms) -> uint8_t { return ms >= 20 && ms < 70 ? 0x03 : 0; };
  Sample(functions, 1, 72, pulse);
  EXPECT_EQ(functions.Kept()[1].on_time_ns, 50 * kMs);
  Sample(functions, 73, 150, pulse);
  EXPECT_EQ(functions.Kept()[1].on_time_ns, 50 * kMs);
  Sample(functions, 151, 180, [](uint64_t ms) -> uint8_t { return ms >= 160 ? 1 : 0; });
  EXPECT_EQ(functions.Figures()[0].on_time_ms, 70u);  // 50 + 20 so far
  EXPECT_EQ(functions.Kept()[0].on_time_ns, 70 * kMs);
  // Reading changes nothing.
  EXPECT_EQ(functions.Figures()[0].on_time_ms, 70u);
  functions.Observe(1, kStart + 180 * kMs + kMs / 2);
  EXPECT_EQ(functions.Kept()[0].on_time_ns, 70 * kMs + kMs / 2);
  EXPECT_EQ(functions.Figures()[0].on_time_ms, 70u);  // whole milliseconds
}

TEST(InputFunctionsTest, EachClearFlagClearsOnlyItsOwnFigures) {
  InputFunctions functions(Settings(), 0, kStart);
  Sample(functions, 1, 300, Square(0x07, 100, 50));
  // DI0..DI2 alike: 3 pulses of 50 ms, at 1 again from ms 301.
  Sample(functions, 301, 320, [](uint64_t) -> uint8_t { return 0x07; });
  functions.Clear(0, VDIO_CLEAR_COUNTS);
  functions.Clear(1, VDIO_CLEAR_LATCHES);
  functions.Clear(2, VDIO_CLEAR_ON_TIME);
  auto figures = functions.Figures();
  EXPECT_EQ(figures[0].rising, 0u);
  EXPECT_EQ(figures[0].falling, 0u);
  EXPECT_EQ(figures[0].latches, VDIO_INPUT_ROSE | VDIO_INPUT_FELL);
  EXPECT_EQ(figures[0].on_time_ms, 169u);
  EXPECT_EQ(figures[0].frequency_mhz, 10'000u);  // a measurement, not a count
  EXPECT_EQ(figures[1].rising, 4u);
  EXPECT_EQ(figures[1].latches, 0u);
  EXPECT_EQ(figures[1].on_time_ms, 169u);
  EXPECT_EQ(figures[2].rising, 4u);
  EXPECT_EQ(figures[2].latches, VDIO_INPUT_ROSE | VDIO_INPUT_FELL);
  EXPECT_EQ(figures[2].on_time_ms, 0u);  // still at 1: counts again from ms 320
  Sample(functions, 321, 330, [](uint64_t ms) -> uint8_t { return ms < 330 ? 0x07 : 0x03; });
  figures = functions.Figures();
  EXPECT_EQ(figures[2].on_time_ms, 10u);
  EXPECT_EQ(figures[2].falling, 4u);
  EXPECT_EQ(figures[1].latches, 0u);  // no new edge on DI1
  EXPECT_EQ(figures[0].rising, 0u);

  // DI3, debounced 10 ms, rises at ms 340 and its on-time is cleared at ms
  // 345 while the rise is still being debounced: nothing before the clear counts.
  InputSettings debounced = Settings();
  debounced.debounce_ns[3] = 10 * kMs;
  InputFunctions later(debounced, 0, kStart);
  const auto rise = [](uint64_t ms) -> uint8_t { return ms >= 340 ? 0x08 : 0; };
  Sample(later, 1, 345, rise);
  later.Clear(3, VDIO_CLEAR_ON_TIME);
  Sample(later, 346, 400, rise);
  EXPECT_EQ(later.Figures()[3].rising, 1u);
  EXPECT_EQ(later.Figures()[3].on_time_ms, 55u);
}

TEST(InputFunctionsTest, RestoreCarriesOnFromKeptFiguresAndCountsWrap) {
  KeptInputs kept{};
  kept[0] = {UINT64_MAX, 7, 3'000 * kMs, VDIO_INPUT_FELL};
  kept[6] = {40, 41, 9 * kMs, VDIO_INPUT_ROSE};
  // DI6 at 1 from the start: its on-time counts from this run's start.
  InputFunctions functions(Settings(), 0x40, kStart);
  functions.Restore(kept);
  EXPECT_EQ(functions.Kept(), kept);
  Sample(functions, 1, 20, [](uint64_t ms) -> uint8_t { return ms >= 10 ? 0x41 : 0x40; });
  const KeptInputs now = functions.Kept();
  EXPECT_EQ(now[0].rising, 0u);  // UINT64_MAX + 1 wraps
  EXPECT_EQ(now[0].latches, VDIO_INPUT_ROSE | VDIO_INPUT_FELL);
  EXPECT_EQ(now[0].on_time_ns, 3'000 * kMs + 10 * kMs);
  EXPECT_EQ(now[6].rising, 40u);
  EXPECT_EQ(now[6].on_time_ns, 9 * kMs + 20 * kMs);
}

}  // namespace
