// sampleTimes: interval and count modes, quarter-second spacing, the cap, and
// the bound on candidates for tiny intervals and huge counts.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "reelctl.h"

namespace {

using Times = std::vector<double>;
constexpr int64_t kNoCap = 0;
const std::optional<double> kNoInterval;
const std::optional<int64_t> kNoCount;

void expectTimes(const Times& got, const Times& want, double tolerance = 0) {
    ASSERT_EQ(got.size(), want.size()) << testing::PrintToString(got);
    for (size_t i = 0; i < want.size(); ++i) {
        if (tolerance == 0)
            EXPECT_DOUBLE_EQ(got[i], want[i]) << "at " << i;
        else
            EXPECT_NEAR(got[i], want[i], tolerance) << "at " << i;
    }
}

// Ascending, at least a quarter second apart, inside [0, end].
void expectWellFormed(const Times& times, double duration) {
    double end = duration - std::min(0.02 * duration, 0.1);
    ASSERT_FALSE(times.empty());
    EXPECT_EQ(times.front(), 0.0);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_GE(times[i], 0.0);
        EXPECT_LE(times[i], end);
        if (i > 0) {
            EXPECT_GE(times[i] - times[i - 1], 0.25) << "at " << i;
        }
    }
}

}  // namespace

TEST(SampleTimes, CountMode) {
    expectTimes(sampleTimes(10, kNoInterval, kNoCount, 20), {0.0, 5.0, 9.9});
    expectTimes(sampleTimes(10, kNoInterval, 5, 20), {0.0, 2.5, 5.0, 7.5, 9.9});
    for (int64_t count : {2, 0, -1, 3})
        expectTimes(sampleTimes(10, kNoInterval, count, 20), {0.0, 5.0, 9.9});
    expectTimes(sampleTimes(0.3, kNoInterval, kNoCount, 20), {0.0, 0.294});
}

TEST(SampleTimes, IntervalMode) {
    expectTimes(sampleTimes(10, 2.0, kNoCount, 20), {0.0, 2.0, 4.0, 5.0, 6.0, 8.0, 9.9});
    expectTimes(sampleTimes(10, 3.0, kNoCount, 20), {0.0, 3.0, 5.0, 6.0, 9.0, 9.9});
    // An infinite interval: the anchors and the stepped time 0.
    expectTimes(sampleTimes(10, std::numeric_limits<double>::infinity(), kNoCount, 20),
                {0.0, 5.0, 9.9});
    // Zero, negative and not-a-number intervals fall back to count mode.
    for (double interval : {0.0, -2.0, std::nan("")})
        expectTimes(sampleTimes(10, interval, 5, 20), {0.0, 2.5, 5.0, 7.5, 9.9});
    // The interval wins over a count.
    expectTimes(sampleTimes(10, 3.0, 5, 20), {0.0, 3.0, 5.0, 6.0, 9.0, 9.9});
}

TEST(SampleTimes, SpacingAndCap) {
    // 100 candidates every 10/99 s; every third is kept (33), 9.9 is dropped,
    // and the cap picks 20 of them with step 32/19.
    Times got = sampleTimes(10, kNoInterval, 100, 20);
    ASSERT_EQ(got.size(), 20u);
    expectTimes({got[0], got[1], got[2], got[3], got[18], got[19]},
                {0.0, 0.6061, 0.9091, 1.5152, 9.0909, 9.697}, 5e-5);
    EXPECT_DOUBLE_EQ(got[19], 96 * 10.0 / 99);

    expectTimes(sampleTimes(60, 5.0, kNoCount, 5), {0.0, 15.0, 30.0, 45.0, 59.9});
    // Caps below 2 disable capping.
    for (int64_t cap : {1, 0, -4})
        EXPECT_EQ(sampleTimes(10, kNoInterval, 10, cap).size(), 10u);
    EXPECT_EQ(sampleTimes(10, kNoInterval, 10, 20).size(), 10u);
    EXPECT_EQ(sampleTimes(10, kNoInterval, 10, 4).size(), 4u);
}

// Intervals that barely advance and counts beyond memory are bounded: the
// result stays well formed and comes quickly, spread over the whole video.
TEST(SampleTimes, TinyIntervalsAndHugeCountsAreBounded) {
    struct Case {
        double duration;
        std::optional<double> interval;
        std::optional<int64_t> count;
    } cases[] = {
        {10, 1e-300, kNoCount},
        {10, std::numeric_limits<double>::denorm_min(), kNoCount},
        {7200, 1e-9, kNoCount},
        {10, kNoInterval, std::numeric_limits<int64_t>::max()},
        {7200, kNoInterval, int64_t(1) << 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.duration);
        Times capped = sampleTimes(c.duration, c.interval, c.count, 20);
        EXPECT_EQ(capped.size(), 20u);
        expectWellFormed(capped, c.duration);
        Times all = sampleTimes(c.duration, c.interval, c.count, kNoCap);
        expectWellFormed(all, c.duration);
        // Spacing leaves about one time per quarter second of the whole video.
        EXPECT_GE(all.size(), size_t(c.duration * 4 * 0.9));
        EXPECT_GT(all.back(), c.duration - 0.5);
    }
}

TEST(SampleTimes, DegenerateDurations) {
    EXPECT_TRUE(sampleTimes(std::nan(""), kNoInterval, kNoCount, 20).empty());
    EXPECT_TRUE(sampleTimes(std::numeric_limits<double>::infinity(), 1.0, kNoCount, 20).empty());
    // Zero duration: every candidate is 0.
    expectTimes(sampleTimes(0, kNoInterval, kNoCount, 20), {0.0});
}
