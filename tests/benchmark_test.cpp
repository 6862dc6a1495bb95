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

TEST(Validity, TheTestersShortcomingsAreNotDeviceResults) {
    TTrialEvidence good;
    good.sent = 9950;
    good.expectedSent = 10000;
    EXPECT_EQ(judgeTrial(good), TTrialVerdict::valid);
    TTrialEvidence fewSent = good;
    fewSent.sent = 9899;
    EXPECT_EQ(judgeTrial(fewSent), TTrialVerdict::senderBehind);
    TTrialEvidence slowGaps = good;
    slowGaps.schedulesKept = false;
    EXPECT_EQ(judgeTrial(slowGaps), TTrialVerdict::senderBehind);
    TTrialEvidence refused = good;
    refused.refused = 1;
    EXPECT_EQ(judgeTrial(refused), TTrialVerdict::refused);
    TTrialEvidence dropped = good;
    dropped.captureDropped = 3;
    EXPECT_EQ(judgeTrial(dropped), TTrialVerdict::captureDropped);

    TOfferedGaps offered{100, 10.1, 10.0, 2};
    EXPECT_TRUE(achievedSchedule(offered)); // restarts alone do not spoil a trial
    offered.meanGapUs = 10.11;
    EXPECT_FALSE(achievedSchedule(offered));
}

TEST(Combine, StreamsAddUpAndTheirDelaysPool) {
    TResult first;
    first.sent = 100;
    first.received = 100;
    first.minDelay = 10;
    first.maxDelay = 30;
    first.avgDelay = 20;
    first.delayVariance = 4;
    first.offered = {99, 100.0, 100.0, 0};
    TResult second = first;
    second.sent = 300;
    second.received = 200;
    second.minDelay = 5;
    second.avgDelay = 50;
    second.delayVariance = 9;
    second.offered = {299, 50.0, 50.0, 0};
    const TTrialFigures figures = combineResults({first, second});
    EXPECT_EQ(figures.sent, 400u);
    EXPECT_EQ(figures.received, 300u);
    EXPECT_DOUBLE_EQ(figures.lossPercent, 25.0);
    EXPECT_DOUBLE_EQ(figures.achievedFps, 10000 + 20000);
    EXPECT_EQ(figures.minDelay, 5u);
    EXPECT_DOUBLE_EQ(figures.meanDelay, 40.0);
    // (100 * (4 + 400) + 200 * (9 + 100)) / 300
    EXPECT_DOUBLE_EQ(figures.delayVariance, (100.0 * 404 + 200.0 * 109) / 300);
}

// Drives a search against a device that forwards `rate` frames/s and loses the rest, with a
// tester that cannot offer more than `ceiling`; returns the number of trials.
int searchAgainst(CRateSearch& search, double rate, double ceiling) {
    int trials = 0;
    for (double load = search.nextLoad(); load > 0 && trials < 100; load = search.nextLoad()) {
        ++trials;
        TTrialOutcome outcome{load, TTrialVerdict::valid, 0, load};
        if (load > ceiling) {
            outcome.verdict = TTrialVerdict::senderBehind;
            outcome.achievedFps = ceiling;
        } else if (load > rate) {
            outcome.lossPercent = (load - rate) / load * 100;
        }
        search.record(outcome);
    }
    return trials;
}

TEST(Search, AShaperIsFoundWithinThePrecisionInAFewTrials) {
    CRateSearch search(148809, true, 1.0, 0.5);
    const int trials = searchAgainst(search, 41666, 1e9);
    const TRateInterval ndr = search.ndr();
    EXPECT_LE(ndr.lowerFps, 41666);
    EXPECT_GE(ndr.lowerFps, 41666 * 0.99);
    EXPECT_GT(ndr.upperFps, 41666);
    EXPECT_LE(ndr.upperFps - ndr.lowerFps, 0.01 * ndr.upperFps);
    EXPECT_EQ(ndr.limitedBy, TLimit::device);
    const TRateInterval pdr = search.pdr();
    EXPECT_GE(pdr.lowerFps, ndr.lowerFps);
    EXPECT_LE(pdr.lowerFps, 41666 / 0.995);
    EXPECT_GT(pdr.upperFps, 41666 / 0.995);
    EXPECT_LE(trials, 8);
}

TEST(Search, ADeviceLosslessAtTheLineRateIsReportedSoAfterOneTrial) {
    CRateSearch search(14880, true, 1.0, 0.5);
    EXPECT_EQ(searchAgainst(search, 1e9, 1e9), 1);
    EXPECT_EQ(search.ndr().lowerFps, 14880);
    EXPECT_EQ(search.ndr().limitedBy, TLimit::lineRate);
    EXPECT_EQ(search.pdr().limitedBy, TLimit::lineRate);
}

// The tester tops out below a lossless device: the rate is "at least" the highest valid load,
// and the tester, not the device, is named as the limit.
TEST(Search, TheTestersCeilingIsNeverTheDevicesRate) {
    CRateSearch search(1488095, true, 1.0, 0.5);
    searchAgainst(search, 1e9, 300000);
    const TRateInterval ndr = search.ndr();
    EXPECT_EQ(ndr.limitedBy, TLimit::tester);
    EXPECT_LE(ndr.lowerFps, 300000);
    EXPECT_GE(ndr.lowerFps, 300000 * 0.99);
    EXPECT_EQ(search.pdr().limitedBy, TLimit::tester);
}

// Without a line rate the top is the tester's own maximum: passing there is the tester's limit.
TEST(Search, PassingAtTheTestersMaximumNamesTheTester) {
    CRateSearch search(200000, false, 1.0, 0.5);
    searchAgainst(search, 1e9, 1e9);
    EXPECT_EQ(search.ndr().lowerFps, 200000);
    EXPECT_EQ(search.ndr().limitedBy, TLimit::tester);
}

// A trial spoilt once by a stall is repeated at the same load, and a valid repeat counts.
TEST(Search, AnInvalidTrialIsRepeatedBeforeItBecomesTheCeiling) {
    CRateSearch search(10000, true, 1.0, 0.5);
    search.record({10000, TTrialVerdict::senderBehind, 0, 9500});
    EXPECT_EQ(search.nextLoad(), 10000);
    search.record({10000, TTrialVerdict::valid, 0, 10000});
    EXPECT_EQ(search.nextLoad(), 0);
    EXPECT_EQ(search.ndr().limitedBy, TLimit::lineRate);

    // Far off the load, the tester is at its ceiling: the next trial is below it.
    CRateSearch far(10000, true, 1.0, 0.5);
    far.record({10000, TTrialVerdict::senderBehind, 0, 6000});
    EXPECT_LT(far.nextLoad(), 6000);
    EXPECT_EQ(far.ndr().limitedBy, TLimit::tester);
}

// A device that passes nothing: the search ends once the load is down to the precision's share
// of the top, with no rate found.
TEST(Search, ADeviceThatLosesAtEveryLoadEndsTheSearch) {
    CRateSearch search(100000, true, 1.0, 0.5);
    EXPECT_LE(searchAgainst(search, 0, 1e9), 12);
    EXPECT_EQ(search.ndr().lowerFps, 0);
    EXPECT_EQ(search.ndr().limitedBy, TLimit::device);
}

} // namespace
