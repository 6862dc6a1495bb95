#include <cmath>
#include <gtest/gtest.h>

#include "intervals.h"

namespace {

// Frames binned by departure: a frame that departs in one interval and arrives in a later one
// counts where it departed; frames beyond the open window close the oldest intervals, and a
// frame for a closed interval still counts there. The sender's counts give the loss.
TEST(IntervalRecorder, BinsByDepartureAndKeepsLateFramesInTheirInterval) {
    CIntervalRecorder recorder;
    recorder.start(1000);
    recorder.record(100, 5000, 96); // interval 0, arrives long after it
    recorder.record(999, 10, 96);   // interval 0
    recorder.record(1000, 20, 996); // interval 1
    // Far ahead: every interval up to 40 - OPEN_INTERVALS is closed.
    recorder.record(40500, 30, 96);
    recorder.record(900, 7000, 96); // interval 0 again, closed by now
    const std::vector<TIntervalFigures> intervals = recorder.finish(41000, {3, 1, 0}, true);
    ASSERT_EQ(intervals.size(), 41u);
    EXPECT_EQ(intervals[0].received, 3u);
    EXPECT_EQ(intervals[0].minDelay, 10u);
    EXPECT_EQ(intervals[0].maxDelay, 7000u);
    EXPECT_EQ(intervals[0].sent, 3u);
    EXPECT_DOUBLE_EQ(intervalLossPercent(intervals[0]), 0.0);
    // 1000 bytes with the check sequence in 1 ms: 8 Mbit/s.
    EXPECT_DOUBLE_EQ(intervalRateBps(intervals[1]), 8e6);
    EXPECT_EQ(intervals[2].received, 0u);
    EXPECT_TRUE(std::isnan(intervals[2].p50));
    EXPECT_TRUE(std::isnan(intervalLossPercent(intervals[2]))); // nothing sent
    EXPECT_EQ(intervals[40].received, 1u);
    EXPECT_EQ(intervals[40].startUs, 40000u);
}

TEST(IntervalRecorder, TheLastIntervalEndsWithTheCycleAndUnknownCountsStayUnknown) {
    CIntervalRecorder recorder;
    recorder.start(400);
    recorder.record(50, 1, 100);
    const std::vector<TIntervalFigures> intervals = recorder.finish(1000, {}, false);
    ASSERT_EQ(intervals.size(), 3u);
    EXPECT_EQ(intervals[2].lengthUs, 200u);
    EXPECT_TRUE(std::isnan(intervalLossPercent(intervals[0])));
}

TEST(DepartureCounter, CountsDeparturesOfTheIntervalsTheyFallIn) {
    CDepartureCounter counter(1000);
    for (std::int64_t at : {-5, 0, 999, 1000, 3500}) {
        counter.departed(at);
    }
    EXPECT_EQ(counter.counts(), (std::vector<std::uint64_t>{3, 1, 0, 1}));
}

} // namespace
