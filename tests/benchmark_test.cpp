#include "benchmark.h"
#include "benchmarkreport.h"
#include "config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The maximum frame rates of the benchmarking tables (frames/s), per line rate and frame size.
TEST(RateArithmetic, MaximumFrameRatesAreThoseOfThePublishedTables) {
    struct TRow {
        double lineBps;
        std::uint32_t size;
        std::uint64_t fps;
    };
    for (const TRow& row : {TRow{10e6, 64, 14880}, TRow{10e6, 128, 8445}, TRow{10e6, 256, 4528},
                            TRow{10e6, 512, 2349}, TRow{10e6, 1024, 1197}, TRow{10e6, 1280, 961},
                            TRow{10e6, 1518, 812}, TRow{100e6, 64, 148809}, TRow{100e6, 1518, 8127},
                            TRow{1e9, 64, 1488095}, TRow{1e9, 512, 234962}, TRow{1e9, 1518, 81274},
                            TRow{10e9, 64, 14880952}}) {
        EXPECT_EQ(lineRateFps(row.lineBps, row.size), row.fps) << row.lineBps << " " << row.size;
    }
}

TEST(RateArithmetic, BitRatesCountTheFramesOwnBytesAndOnTheWireTwentyMore) {
    EXPECT_DOUBLE_EQ(frameBitsPerSecond(1488095, 64), 1488095.0 * 512);
    EXPECT_DOUBLE_EQ(wireBitsPerSecond(1488095, 64), 1488095.0 * 672);
    EXPECT_NEAR(percentOfLine(74404, 148809), 50.0, 0.001);
    EXPECT_TRUE(std::isnan(percentOfLine(1000, 0)));
}

// One factor scales every stream: two streams of mean gaps 100 us and 300 us offer 13333 frames/s
// together; 40000 frames/s need the gaps divided by 3, the mix kept.
TEST(RateArithmetic, OneFactorScalesEveryStreamsGapsToTheTarget) {
    const double scale = rateScale(40000, {100, 300});
    EXPECT_NEAR(scale, 3.0, 1e-9);
    EXPECT_EQ(scaledGapNs(100, scale), 33333);
    EXPECT_EQ(scaledGapNs(300, scale), 100000);
    // The throughput test's stream draws 1 us: 148809 frames/s is a gap of 6720 ns.
    EXPECT_EQ(scaledGapNs(1, rateScale(148809, {1})), 6720);
    EXPECT_EQ(scaledGapNs(1, std::numeric_limits<double>::infinity()), 0);
}

TEST(Settings, OptionsAndKeysAreReadAndBadValuesRefused) {
    TBenchmarkSettings settings;
    applyBenchmarkSetting(settings, "frame-sizes", "64, 512,1518");
    applyBenchmarkSetting(settings, "pdr loss", "0.1");
    applyBenchmarkSetting(settings, "latency-loads", "25,75");
    applyBenchmarkSetting(settings, "line-rate", "2.5G");
    EXPECT_EQ(settings.frameSizes, (std::vector<std::uint32_t>{64, 512, 1518}));
    EXPECT_DOUBLE_EQ(settings.pdrLossPercent, 0.1);
    EXPECT_EQ(settings.latencyLoadsPercent, (std::vector<double>{25, 75}));
    EXPECT_DOUBLE_EQ(*settings.lineRateBps, 2.5e9);
    for (const char* bad : {"63", "1527", "64,", "64.5", "abc"}) {
        EXPECT_EXIT(applyBenchmarkSetting(settings, "frame-sizes", bad),
                    ::testing::ExitedWithCode(1), "Neplatna hodnota frame sizes")
            << bad;
    }
    EXPECT_EXIT(applyBenchmarkSetting(settings, "precision", "0"), ::testing::ExitedWithCode(1),
                "Neplatna hodnota precision");
    EXPECT_EXIT(applyBenchmarkSetting(settings, "line rate", "-1"), ::testing::ExitedWithCode(1),
                "Neplatna hodnota line rate");

    TBenchmarkSettings fromFile;
    applyBenchmarkKeys(fromFile, CConfig::fromText("frame sizes = 128\ntrial duration = 20000\n"));
    EXPECT_EQ(fromFile.frameSizes, (std::vector<std::uint32_t>{128}));
    EXPECT_EQ(fromFile.trialDurationUs, 20000u);
}

// What /sys/class/net/IF/speed holds: Mbit/s, or -1 where Linux does not know (veth may).
TEST(Settings, InterfaceSpeedTextGivesTheLineRateOrNone) {
    EXPECT_DOUBLE_EQ(*lineRateFromSpeedText("1000\n"), 1e9);
    EXPECT_FALSE(lineRateFromSpeedText("-1\n"));
    EXPECT_FALSE(lineRateFromSpeedText(""));
}

// Each of the tester's own shortcomings makes a trial no result of the device.
TEST(Validity, TheTestersShortcomingsAreNotDeviceResults) {
    TTrialEvidence good;
    good.streams = 2;
    good.sent = 10000;
    good.scheduled = 10000;
    good.largestLagUs = 450;
    good.lagBoundUs = scheduleLagBoundUs(10);
    EXPECT_EQ(judgeTrial(good), TTrialVerdict::valid);
    struct TCase {
        void (*spoil)(TTrialEvidence&);
        TTrialVerdict verdict;
    };
    for (const TCase& row : {
             // A frame short of the schedule: the sender fell behind, the device is not to blame.
             TCase{[](TTrialEvidence& e) { e.sent = 9999; }, TTrialVerdict::senderBehind},
             TCase{[](TTrialEvidence& e) { e.schedulesKept = false; }, TTrialVerdict::senderBehind},
             // A catch-up burst of more than 500 us of frames, and a loss it may have caused.
             TCase{[](TTrialEvidence& e) {
                       e.largestLagUs = 501;
                       e.lost = true;
                   },
                   TTrialVerdict::senderBehind},
             // Without a loss the burst did no harm.
             TCase{[](TTrialEvidence& e) { e.largestLagUs = 501; }, TTrialVerdict::valid},
             TCase{[](TTrialEvidence& e) { e.refused = 1; }, TTrialVerdict::refused},
             TCase{[](TTrialEvidence& e) { e.testerDrops.queueDrops = 1; },
                   TTrialVerdict::queueDropped},
             // Frames the tester's own shaper held back: harmless unless the trial lost frames.
             TCase{[](TTrialEvidence& e) { e.testerDrops.queueOverlimits = 5; },
                   TTrialVerdict::valid},
             TCase{[](TTrialEvidence& e) {
                       e.testerDrops.queueOverlimits = 5;
                       e.lost = true;
                   },
                   TTrialVerdict::queueDropped},
             TCase{[](TTrialEvidence& e) { e.testerDrops.interfaceDrops = 1; },
                   TTrialVerdict::interfaceDropped},
             TCase{[](TTrialEvidence& e) { e.testerDrops.backlogDrops = 1; },
                   TTrialVerdict::backlogDropped},
             TCase{[](TTrialEvidence& e) { e.captureDropped = 3; }, TTrialVerdict::captureDropped},
         }) {
        TTrialEvidence spoilt = good;
        row.spoil(spoilt);
        EXPECT_EQ(judgeTrial(spoilt), row.verdict) << verdictName(row.verdict);
    }
    // At long gaps four of them may pass before the sender is behind.
    EXPECT_DOUBLE_EQ(scheduleLagBoundUs(677), 2708);

    TOfferedGaps offered{100, 10.1, 10.0, 2};
    EXPECT_TRUE(achievedSchedule(offered)); // restarts alone do not spoil a trial
    offered.meanGapUs = 10.11;
    EXPECT_FALSE(achievedSchedule(offered));
}

// A sender that sent only 99 % of its schedule has not passed: the rest counts as lost.
TEST(Validity, LossIsCountedAgainstTheFramesTheScheduleRequired) {
    EXPECT_DOUBLE_EQ(scheduledLossPercent(9900, 10000, 9900), 1.0);
    EXPECT_DOUBLE_EQ(scheduledLossPercent(10001, 10000, 10001), 0.0);
    EXPECT_DOUBLE_EQ(scheduledLossPercent(10000, 10000, 9950), 0.5);
    EXPECT_TRUE(std::isnan(scheduledLossPercent(0, 0, 0)));
    // Streams add up, each counted against the more of its schedule and what it sent.
    TResult shortOne;
    shortOne.sent = 9900;
    shortOne.scheduled = 10000;
    shortOne.received = 9900;
    TResult full = shortOne;
    full.sent = full.scheduled = full.received = 10000;
    const TTrialFigures figures = combineResults({shortOne, full});
    EXPECT_EQ(figures.sent, 19900u);
    EXPECT_DOUBLE_EQ(figures.lossPercent, 0.5);
}

TEST(Combine, StreamsAddUpAndTheirDelaysPool) {
    TResult first;
    first.sent = 100;
    first.received = 100;
    first.minDelay = 10;
    first.maxDelay = 30;
    first.avgDelay = 20;
    first.delayVariance = 4;
    first.delayCount = 100;
    first.minDelayNs = 10000;
    first.maxDelayNs = 30000;
    first.meanDelayNs = 20000;
    first.delayVarianceNs = 4e6;
    first.offered = {99, 100.0, 100.0, 0};
    TResult second = first;
    second.sent = 300;
    second.received = 200;
    second.minDelay = 5;
    second.avgDelay = 50;
    second.delayVariance = 9;
    second.delayCount = 200;
    second.minDelayNs = 5000;
    second.meanDelayNs = 50000;
    second.delayVarianceNs = 9e6;
    second.offered = {299, 50.0, 50.0, 0};
    const TTrialFigures figures = combineResults({first, second});
    EXPECT_EQ(figures.sent, 400u);
    EXPECT_EQ(figures.received, 300u);
    EXPECT_DOUBLE_EQ(figures.lossPercent, 25.0);
    EXPECT_DOUBLE_EQ(figures.achievedFps, 10000 + 20000);
    EXPECT_EQ(figures.minDelay, 5u);
    EXPECT_EQ(figures.minDelayNs, 5000);
    EXPECT_EQ(figures.maxDelayNs, 30000);
    EXPECT_DOUBLE_EQ(figures.meanDelay, 40.0);
    // (100 * (4 + 400) + 200 * (9 + 100)) / 300
    EXPECT_DOUBLE_EQ(figures.delayVariance, (100.0 * 404 + 200.0 * 109) / 300);
}

} // namespace
