// The log of the sampler's late samples: at once when they start, then at
// most once a minute with how many came since and how late, or at once
// when they get ten times later.
#include "late_samples.h"

#include <gtest/gtest.h>

namespace {

using dio_boardd::LateSampleLog;

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kMinute = LateSampleLog::kQuietNs;

TEST(LateSampleLogTest, SaysAtOnceWhenTheyStartThenAtMostOnceAMinuteWithHowManySince) {
  LateSampleLog log(1 * kMs);
  EXPECT_FALSE(log.Observe(0, 0, 1 * kMs));
  EXPECT_EQ(log.Observe(1, 3 * kMs, 2 * kMs),
            "sampler late: 1 sample up to 3ms after due (--interval 1ms): input counts may have "
            "missed pulses shorter than 4ms");
  EXPECT_FALSE(log.Observe(5, 7 * kMs, 10 * kMs)) << "within the minute";
  EXPECT_FALSE(log.Observe(9, 2 * kMs, 20 * kMs));
  EXPECT_EQ(log.Observe(9, 0, 2 * kMs + kMinute),
            "sampler late: 8 more late samples since the last report, up to 7ms late: input "
            "counts may have missed pulses shorter than 8ms");
  // Ten times later than the last line said: at once, whatever the minute.
  EXPECT_FALSE(log.Observe(10, 69 * kMs, 3 * kMs + kMinute));
  EXPECT_EQ(log.Observe(11, 70 * kMs, 4 * kMs + kMinute),
            "sampler late: 2 more late samples since the last report, up to 70ms late: input "
            "counts may have missed pulses shorter than 71ms");
  EXPECT_FALSE(log.Observe(11, 0, 5 * kMs + 2 * kMinute)) << "none since";
}

}  // namespace
