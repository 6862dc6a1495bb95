#include "pacing.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>

namespace {

constexpr std::int64_t START = 5000000000; // any monotonic instant, in ns
constexpr std::int64_t US = 1000;
constexpr std::int64_t MS = 1000000;

} // namespace

TEST(Schedule, DepartureKIsDueAtTheStartPlusTheFirstKGapsEachCapped) {
    CDepartureSchedule schedule(START);
    EXPECT_EQ(schedule.nextDeparture(START), START);
    schedule.advance(100);
    EXPECT_EQ(schedule.nextDeparture(START), START + 100 * US);
    schedule.advance(25000000); // cut to 10 s
    EXPECT_EQ(schedule.nextDeparture(START), START + 100 * US + 10000 * MS);
    schedule.advance(0);
    schedule.advance(4294967295u);
    EXPECT_EQ(schedule.nextDeparture(START), START + 100 * US + 20000 * MS);
    EXPECT_EQ(schedule.restarts(), 0u);
}

TEST(Schedule, ALateSenderCatchesUpWithoutMovingTheLaterDepartures) {
    CDepartureSchedule schedule(START);
    for (int k = 1; k <= 3; ++k) {
        schedule.advance(100);
    }
    // 700 us behind (under 1 ms): the frame leaves at once, the grid stays.
    const std::int64_t now = START + 1000 * US;
    EXPECT_EQ(schedule.nextDeparture(now), START + 300 * US);
    schedule.advance(100);
    EXPECT_EQ(schedule.nextDeparture(now), START + 400 * US);
    EXPECT_EQ(schedule.restarts(), 0u);
}

TEST(Schedule, ALongStallRestartsTheScheduleOneBoundBehindAndIsCounted) {
    CDepartureSchedule schedule(START);
    schedule.advance(100);
    // 5 ms behind: the frames of the last 1 ms are still sent, the 4 ms before are given up.
    const std::int64_t now = START + 100 * US + 5 * MS;
    EXPECT_EQ(schedule.nextDeparture(now), now - 1 * MS);
    EXPECT_EQ(schedule.restarts(), 1u);
    schedule.advance(100);
    EXPECT_EQ(schedule.nextDeparture(now), now - 1 * MS + 100 * US);
    // Exactly at the bound is still caught up.
    schedule.advance(100);
    const std::int64_t due = now - 1 * MS + 200 * US;
    EXPECT_EQ(schedule.nextDeparture(due + 1 * MS), due);
    EXPECT_EQ(schedule.restarts(), 1u);
    // The 4 ms given up are still owed, at the drawn gaps: a sender that ends where its restarted
    // schedule ends has not sent what the schedule held. One that kept its schedule owes nothing.
    schedule.advance(100);
    const std::int64_t end = schedule.nextDeparture(due + 1 * MS);
    EXPECT_EQ(schedule.departuresOwed(end), 40u);
    EXPECT_EQ(schedule.departuresOwed(START + 400 * US + 1), 1u);
    EXPECT_EQ(schedule.departuresOwed(START + 400 * US), 0u);
}

TEST(Schedule, WithLongGapsTheBoundIsFourMeanGaps) {
    CDepartureSchedule schedule(START);
    schedule.advance(1000);
    schedule.advance(3000); // mean 2 ms: the bound is 8 ms
    const std::int64_t due = START + 4 * MS;
    EXPECT_EQ(schedule.nextDeparture(due + 8 * MS), due);
    EXPECT_EQ(schedule.restarts(), 0u);
    EXPECT_EQ(schedule.nextDeparture(due + 8 * MS + 1), due + 1);
    EXPECT_EQ(schedule.restarts(), 1u);
}

TEST(Tally, MeansCoverTheGapsBetweenDeparturesOnly) {
    CGapTally tally;
    EXPECT_EQ(tally.offered(0).gaps, 0u);
    tally.departed(1000);
    tally.drew(100);
    tally.departed(1110);
    tally.drew(300);
    tally.departed(1400);
    tally.drew(5000); // drawn after the last frame: no departure follows
    const TOfferedGaps offered = tally.offered(2);
    EXPECT_EQ(offered.gaps, 2u);
    EXPECT_DOUBLE_EQ(offered.meanGapUs, 200.0);
    EXPECT_DOUBLE_EQ(offered.drawnMeanGapUs, 200.0);
    EXPECT_EQ(offered.restarts, 2u);
}

TEST(Tally, ScheduleIsKeptUpToOnePercentAboveTheDrawnMeanAndWithoutRestarts) {
    TOfferedGaps offered;
    offered.gaps = 10;
    offered.drawnMeanGapUs = 100.0;
    offered.meanGapUs = 101.0;
    EXPECT_TRUE(keptSchedule(offered));
    offered.meanGapUs = 101.01;
    EXPECT_FALSE(keptSchedule(offered));
    offered.meanGapUs = 90.0;
    EXPECT_TRUE(keptSchedule(offered));
    offered.restarts = 1;
    EXPECT_FALSE(keptSchedule(offered));
}

TEST(Wait, ReturnsAtTheDeadlineNotBefore) {
    static volatile std::sig_atomic_t never = 0;
    for (std::int64_t spin : {std::int64_t{0}, spinWindowNs(1, 2)}) {
        const std::int64_t deadline = monotonicNanoseconds() + 3 * MS;
        waitUntil(deadline, spin, never);
        EXPECT_GE(monotonicNanoseconds(), deadline);
    }
}

TEST(Wait, ADepartureAtOrAfterTheEndOfTheDurationEndsTheWaitThereAndTheSender) {
    const std::int64_t end = 1000 * MS;
    const TWaitEnd before = waitEnd(end - 1, end);
    EXPECT_EQ(before.at, end - 1);
    EXPECT_FALSE(before.durationOver);
    for (std::int64_t departure : {end, end + 1, 5000 * MS}) {
        const TWaitEnd over = waitEnd(departure, end);
        EXPECT_EQ(over.at, end) << departure;
        EXPECT_TRUE(over.durationOver) << departure;
    }
}
