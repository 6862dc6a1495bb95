#include <gtest/gtest.h>

#include <cmath>

#include "rfc2544tests.h"

namespace {

// 100 % first, then 10 less, until two results of the device in a row lost nothing; a step the
// tester spoilt breaks the pair; nothing below 10 %.
TEST(FrameLossSteps, StopAfterTwoLosslessStepsInARow) {
    const struct {
        std::vector<TLossStepOutcome> done;
        std::optional<double> next;
    } table[] = {
        {{}, 100.0},
        {{{100, true, true}}, 90.0},
        {{{100, true, false}}, 90.0},
        {{{100, true, false}, {90, true, false}}, std::nullopt},
        {{{100, true, true}, {90, true, false}, {80, true, false}}, std::nullopt},
        {{{100, true, false}, {90, false, false}}, 80.0},
        {{{100, false, false}, {90, true, false}}, 80.0},
        {{{20, true, true}, {10, true, true}}, std::nullopt},
    };
    for (const auto& row : table) {
        const std::optional<double> next = nextFrameLossStep(row.done);
        ASSERT_EQ(next.has_value(), row.next.has_value()) << row.done.size();
        if (next) {
            EXPECT_NEAR(*next, *row.next, 1e-9);
        }
    }
}

// A device with a queue of `queue` frames that forwards `rateFps` while a burst arrives at
// `topFps`: a burst passes while what it leaves in the queue fits, burst x (1 - rate / top).
// The tester may send a frame more than asked.
class CQueueDevice : public CBenchmarkTrials {
  public:
    CQueueDevice(double queue, double rateFps, double topFps, bool oneMore = false)
        : queue(queue), rateFps(rateFps), topFps(topFps), oneMore(oneMore) {}
    TTrialAnswer run(const TTrialAsk& ask) override {
        ++trials;
        TTrialAnswer answer;
        answer.sent = static_cast<std::uint64_t>(std::ceil(ask.durationUs / 1e6 * ask.loadFps)) +
                      (oneMore ? trials % 2 : 0);
        const double left = static_cast<double>(answer.sent) * (1 - rateFps / topFps);
        answer.received = left <= queue ? answer.sent : answer.sent - 1;
        answer.lossPercent = 100.0 * static_cast<double>(answer.sent - answer.received) /
                             static_cast<double>(answer.sent);
        return answer;
    }
    int trials = 0;

  private:
    double queue, rateFps, topFps;
    bool oneMore;
};

// The burst found is the queue plus what drains during the burst, every repetition; the later
// repetitions start from the earlier result and need fewer trials; the buffer times follow.
TEST(BackToBack, FindsTheQueuePlusWhatDrainsDuringTheBurst) {
    const struct {
        double queue, rateFps, topFps;
        bool oneMore;
        std::uint64_t burst;
    } table[] = {
        {50, 250, 500, false, 100},       {50, 250, 500, true, 100},
        {1000, 0, 10000, false, 1000},    {0, 0, 10000, false, 0}, // nothing passes
        {1e9, 9000, 10000, false, 20000},                          // the longest burst tried passes
    };
    for (const auto& row : table) {
        CQueueDevice device(row.queue, row.rateFps, row.topFps, row.oneMore);
        TBenchmarkTestSettings settings;
        settings.burstRepetitions = 5;
        const TBackToBackResult result =
            runBackToBack(device, {row.topFps, true}, row.rateFps, settings, 0.01);
        ASSERT_EQ(result.bursts.size(), 5u) << row.queue;
        // Within the search's 1 % (or the tester's frame) below the true length.
        for (std::uint64_t burst : result.bursts) {
            EXPECT_LE(burst, row.burst) << row.queue;
            EXPECT_GE(static_cast<double>(burst), 0.99 * row.burst - 1) << row.queue;
        }
        EXPECT_EQ(result.longestPassed, row.burst == result.longestBurst) << row.queue;
        EXPECT_LT(device.trials, 25 + 4 * 8) << row.queue;
        EXPECT_NEAR(result.impliedBufferS, result.averageBurst / row.topFps, 1e-12);
        EXPECT_NEAR(result.correctedBufferS,
                    result.averageBurst / row.topFps * (1 - row.rateFps / row.topFps), 1e-12);
    }
    // A throughput above the top rate leaves nothing buffered, not a negative time.
    EXPECT_EQ(bufferTimes(100, 500, 600).correctedS, 0.0);
}

// The streams' losses summed per interval; the recovery ends with the last interval after the
// drop that lost frames, and an interval losing at the end means no recovery.
TEST(RecoveryTime, EndsWithTheLastLossAfterTheDrop) {
    // Per 10-ms interval of a 100-ms trial whose load drops at 50 ms: the frames lost.
    const struct {
        std::vector<std::uint64_t> lost;
        std::vector<std::uint64_t> lostInSecondStream;
        bool recovered;
        double seconds;
        std::uint64_t before, after;
    } table[] = {
        {{0, 0, 0, 5, 5, 0, 0, 0, 0, 0}, {}, true, 0, 10, 0},
        {{0, 0, 0, 5, 5, 3, 0, 1, 0, 0}, {}, true, 0.03, 10, 4},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 2, 0, 0, 0}, true, 0.02, 0, 2},
        {{0, 0, 0, 5, 5, 3, 3, 3, 3, 3}, {}, false, 0.05, 10, 15},
    };
    for (const auto& row : table) {
        std::vector<std::vector<TIntervalFigures>> streams;
        for (const auto* lost : {&row.lost, &row.lostInSecondStream}) {
            std::vector<TIntervalFigures> intervals;
            for (std::uint32_t i = 0; i < lost->size(); ++i) {
                TIntervalFigures interval;
                interval.index = i;
                interval.startUs = i * 10000;
                interval.lengthUs = 10000;
                interval.sent = 100;
                interval.received = 100 - (*lost)[i];
                intervals.push_back(interval);
            }
            streams.push_back(intervals);
        }
        const TRecoveryTime time = recoveryTime(streams, 50000, 100000);
        EXPECT_EQ(time.recovered, row.recovered) << row.after;
        EXPECT_NEAR(time.seconds, row.seconds, 1e-9) << row.after;
        EXPECT_EQ(time.lostBefore, row.before);
        EXPECT_EQ(time.lostAfter, row.after);
    }
}

// A size's own expectation before the one for every size; a shortfall is the device's only
// when the device limited the rate.
TEST(ExpectedRates, ReadAndJudged) {
    std::vector<TExpectedRate> rates;
    ASSERT_TRUE(readExpectedRates("64=1.4M, 1000", rates));
    EXPECT_EQ(expectedRateOf(rates, 64u), 1.4e6);
    EXPECT_EQ(expectedRateOf(rates, 512u), 1000.0);
    EXPECT_EQ(expectedRateOf(rates, std::nullopt), 1000.0);
    for (const char* bad : {"", "64=", "63=100", "64=100,64=200", "64=-1", "x"}) {
        EXPECT_FALSE(readExpectedRates(bad, rates)) << bad;
    }
    const struct {
        double lower, upper;
        const char* limitedBy;
        bool complete;
        TVerdict verdict;
    } verdicts[] = {
        {1000, 1010, "device", true, TVerdict::passed},
        {999, 1009, "device", true, TVerdict::deviceFailed},
        {999, 1000, "tester", true, TVerdict::testerLimit},
        {999, 1000, "line rate", true, TVerdict::testerLimit},
        {500, 1000, "device", false, TVerdict::deviceFailed}, // cut off after 1000 failed
        {500, 2000, "device", false, TVerdict::testerLimit},  // cut off, nothing failed below
    };
    for (const auto& row : verdicts) {
        TBenchmarkRate rate;
        rate.lowerFps = row.lower;
        rate.upperFps = row.upper;
        rate.limitedBy = row.limitedBy;
        rate.complete = row.complete;
        EXPECT_EQ(rateVerdict(rate, 1000), row.verdict) << row.lower << " " << row.limitedBy;
    }
    TBenchmarkTests tests;
    EXPECT_FALSE(readBenchmarkTests("throughput,loss", tests));
    ASSERT_TRUE(readBenchmarkTests("back-to-back, frame-loss", tests));
    EXPECT_TRUE(tests.backToBack && tests.frameLoss && !tests.throughput && !tests.latency);
}

} // namespace
