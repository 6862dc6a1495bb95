#include "ratesearch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

namespace {

// ------------------------------------------------------------------ load classification

// Durations in seconds: one final trial is 1 s.
TEST(LoadClass, EveryTrialsTimeIsWeighedAgainstTheExceedRatio) {
    TSearchGoal classic; // exceed 0, one final trial: one trial decides
    EXPECT_EQ(classifyLoad(classic, 0, 1), TLoadClass::lowerBound);
    EXPECT_EQ(classifyLoad(classic, 1, 0), TLoadClass::upperBound);
    EXPECT_EQ(classifyLoad(classic, 1, 5), TLoadClass::upperBound); // no pass outweighs it
    EXPECT_EQ(classifyLoad(classic, 0, 0), TLoadClass::undecided);
    // A short trial may only mark a load as too high.
    EXPECT_EQ(classifyLoad(classic, 0, 0, 0.1, 0), TLoadClass::upperBound);
    EXPECT_EQ(classifyLoad(classic, 0, 0, 0, 5), TLoadClass::undecided);

    TSearchGoal noisy;
    noisy.exceedRatio = 0.5;
    noisy.durationSumS = 2;
    EXPECT_EQ(classifyLoad(noisy, 0, 1), TLoadClass::lowerBound); // even a fail next keeps it
    EXPECT_EQ(classifyLoad(noisy, 1, 0), TLoadClass::undecided);  // a pass next would rescue it
    EXPECT_EQ(classifyLoad(noisy, 1, 1), TLoadClass::lowerBound);
    EXPECT_EQ(classifyLoad(noisy, 2, 0), TLoadClass::upperBound);
    EXPECT_EQ(classifyLoad(noisy, 2, 1), TLoadClass::upperBound);
    // Short high-loss time counts only beyond what short low-loss time balances.
    EXPECT_EQ(classifyLoad(noisy, 0, 1, 1.5, 0.5), TLoadClass::lowerBound);
    EXPECT_EQ(classifyLoad(noisy, 0, 1, 2.5, 0.5), TLoadClass::upperBound);
}

// ------------------------------------------------------------------ simulated devices

// A device and tester: the outcome of a trial at a load for a duration.
using TDevice = std::function<TSearchTrial(const TTrialRequest&, std::mt19937&)>;

class CSimulatedTrials : public CTrialRunner {
  public:
    CSimulatedTrials(TDevice device, unsigned seed) : device(std::move(device)), random(seed) {}
    TSearchTrial runTrial(const TTrialRequest& request) override {
        ++trials;
        seconds += request.durationS;
        return device(request, random);
    }
    int trials = 0;
    double seconds = 0;

  private:
    TDevice device;
    std::mt19937 random;
};

TSearchTrial lossOf(const TTrialRequest& request, double lostFrames) {
    const double frames = std::floor(request.loadFps * request.durationS);
    return {request.loadFps, request.durationS, true,
            frames > 0 ? std::min(lostFrames, frames) / frames : 0, request.loadFps};
}

// A shaper forwarding `rate` frames/s behind a queue of `queue` frames: a trial loses what the
// queue cannot hold of the excess, so a short trial hides more of it than a long one.
TDevice shaper(double rate, double queue) {
    return [=](const TTrialRequest& request, std::mt19937&) {
        return lossOf(request, std::max(0.0, (request.loadFps - rate) * request.durationS - queue));
    };
}

// The highest load a shaper's final trials pass with at most `lossRatio` lost.
double passLimit(double rate, double queue, double lossRatio, double finalS) {
    // (x - rate) * d - queue <= lossRatio * x * d
    return (rate * finalS + queue) / (finalS * (1 - lossRatio));
}

std::vector<TSearchGoal> goals(double exceed, double finalS, double sumS) {
    TSearchGoal ndr;
    ndr.exceedRatio = exceed;
    ndr.finalDurationS = finalS;
    ndr.durationSumS = sumS;
    TSearchGoal pdr = ndr;
    pdr.lossRatio = 0.005;
    return {ndr, pdr};
}

struct TSearched {
    TGoalResult ndr;
    TGoalResult pdr;
    bool ended;
    int trials;
};

TSearched search(double top, const std::vector<TSearchGoal>& goalList, TDevice device,
                 unsigned seed, double searchS = 0.2) {
    CRateSearch rates(top, true, goalList, searchS);
    CSimulatedTrials runner(std::move(device), seed);
    const bool ended = runSearch(rates, runner, 80);
    return {rates.result(0), rates.result(1), ended, runner.trials};
}

// A sound interval brackets `limit` (the highest load that truly passes), no wider than the
// goal allows, limited by the device.
// A limit that varies from trial to trial lies between `lowest` and `limit`.
void expectBrackets(const TGoalResult& rate, double limit, const char* name, unsigned seed,
                    double lowest = -1) {
    SCOPED_TRACE(std::string(name) + ", seed " + std::to_string(seed));
    EXPECT_TRUE(rate.complete);
    EXPECT_EQ(rate.limitedBy, TLimit::device);
    EXPECT_LT(rate.lowerFps, rate.upperFps);
    EXPECT_LE(rate.lowerFps, limit);
    EXPECT_GT(rate.upperFps, lowest < 0 ? limit : lowest);
    EXPECT_LE(rate.upperFps - rate.lowerFps, 0.01 * rate.upperFps + 1);
}

// Shapers of random rate and queue under tops from 2 to 2000 times their rate: the rates the
// final trials pass, however much the short trials flatter the device, to 1 % however far
// below the top.
TEST(SimulatedDevice, AnExactShaperWithAQueueIsBracketedAtTheFinalDuration) {
    std::mt19937 draw(1);
    for (unsigned seed = 0; seed < 300; ++seed) {
        const double rate = std::uniform_real_distribution<double>(500, 200000)(draw);
        const double queue = std::uniform_int_distribution<int>(0, 64)(draw);
        const double top = rate * std::uniform_real_distribution<double>(2, 2000)(draw);
        const TSearched found = search(top, goals(0, 1, 1), shaper(rate, queue), seed);
        expectBrackets(found.ndr, passLimit(rate, queue, 0, 1), "NDR", seed);
        expectBrackets(found.pdr, passLimit(rate, queue, 0.005, 1), "PDR", seed);
        EXPECT_LE(found.trials, 30) << seed;
    }
}

// A device that loses a frame in 30 % of its trials at any load: with half the trial time
// allowed to exceed, the non-drop rate stays at the shaper's and is never raised by a pass
// above a failure; the partial-drop rate does not notice.
TEST(SimulatedDevice, ARareLossAtAnyLoadNeitherInvertsNorSinksTheRates) {
    const double rate = 6000;
    const TDevice device = [rate](const TTrialRequest& request, std::mt19937& random) {
        const double excess = std::max(0.0, (request.loadFps - rate) * request.durationS);
        return lossOf(request, excess + (std::bernoulli_distribution(0.3)(random) ? 1 : 0));
    };
    int lowNdr = 0;
    for (unsigned seed = 0; seed < 1000; ++seed) {
        const TSearched found = search(10000, goals(0.5, 1, 4), device, seed);
        ASSERT_TRUE(found.ended) << seed;
        EXPECT_LT(found.ndr.lowerFps, found.ndr.upperFps) << seed;
        EXPECT_LE(found.ndr.lowerFps, rate) << seed;
        EXPECT_EQ(found.ndr.limitedBy, TLimit::device) << seed;
        lowNdr += found.ndr.upperFps <= rate;
        // The frame lost by chance moves the partial-drop limit by one frame's share.
        expectBrackets(found.pdr, passLimit(rate, 0, 0.005, 1), "PDR", seed,
                       passLimit(rate - 1, 0, 0.005, 1));
    }
    // A load fails when three of its four trial-seconds lose a frame (8 % at 30 %); the
    // non-drop rate's final bound is tried once or twice: it sinks below the rate in about one
    // search of ten, and never by more than the goal's statistics allow.
    EXPECT_LE(lowNdr, 150);
}

// A port that loses one frame in a thousand at any load, before a shaper and under a top of
// the line rate: the non-drop rate lies where about half the trials lose nothing (near 700
// frames/s). Short trials pass there by chance and final ones fail: the search goes down to it
// in final trials and brackets it within the trial cap, but for the odd search a pass by chance
// far above it (a load's verdict here rests on one or two trials) ends.
TEST(SimulatedDevice, ALossAtEveryLoadSinksTheNonDropRateWithinTheTrialCap) {
    const double rate = 10416;
    const TDevice device = [rate](const TTrialRequest& request, std::mt19937& random) {
        const double excess = std::max(0.0, (request.loadFps - rate) * request.durationS);
        const auto frames = static_cast<int>(request.loadFps * request.durationS);
        return lossOf(request, excess + std::binomial_distribution<int>(frames, 0.001)(random));
    };
    int sunk = 0;
    for (unsigned seed = 0; seed < 100; ++seed) {
        const TSearched found = search(1488095, goals(0.5, 1, 2), device, seed);
        SCOPED_TRACE(seed);
        EXPECT_LT(found.ndr.lowerFps, found.ndr.upperFps);
        EXPECT_EQ(found.ndr.limitedBy, TLimit::device);
        sunk += found.ended && found.ndr.complete && found.ndr.upperFps < 4000 &&
                found.ndr.lowerFps > 100;
    }
    EXPECT_GE(sunk, 90);
}

// Loss that does not rise with load: a band of loads far below the rate loses frames. Whatever
// the search meets, its bounds are true ones: the lower passes, the upper fails.
TEST(SimulatedDevice, NonMonotonicLossGivesBoundsThatHold) {
    std::mt19937 draw(3);
    for (unsigned seed = 0; seed < 300; ++seed) {
        const double rate = std::uniform_real_distribution<double>(1000, 100000)(draw);
        const double bandLow = rate * std::uniform_real_distribution<double>(0.1, 0.9)(draw);
        const double bandHigh = bandLow * 1.05;
        const auto fails = [=](double load) {
            return load > passLimit(rate, 0, 0, 1) || (load >= bandLow && load <= bandHigh);
        };
        const TDevice device = [=](const TTrialRequest& request, std::mt19937&) {
            return lossOf(request, fails(request.loadFps) ? request.loadFps * 0.02 + 1 : 0);
        };
        const TSearched found = search(rate * 10, goals(0, 1, 1), device, seed);
        SCOPED_TRACE(seed);
        EXPECT_TRUE(found.ndr.complete);
        EXPECT_LT(found.ndr.lowerFps, found.ndr.upperFps);
        EXPECT_FALSE(fails(found.ndr.lowerFps));
        EXPECT_TRUE(fails(found.ndr.upperFps));
        EXPECT_LE(found.ndr.upperFps - found.ndr.lowerFps, 0.01 * found.ndr.upperFps + 1);
    }
}

// A tester that stalls in 15 % of its trials (not a device result, offered close to the load):
// the verdicts are the shaper's, never the tester's.
TEST(SimulatedDevice, ATesterThatStallsAtRandomIsNeverTakenForTheLimit) {
    for (unsigned seed = 0; seed < 1000; ++seed) {
        const TDevice device = [exact = shaper(1476, 8)](const TTrialRequest& request,
                                                         std::mt19937& random) {
            if (std::bernoulli_distribution(0.15)(random)) {
                return TSearchTrial{request.loadFps, request.durationS, false, 0,
                                    request.loadFps * 0.95};
            }
            return exact(request, random);
        };
        const TSearched found = search(13142, goals(0, 1, 1), device, seed);
        expectBrackets(found.ndr, passLimit(1476, 8, 0, 1), "NDR", seed);
        expectBrackets(found.pdr, passLimit(1476, 8, 0.005, 1), "PDR", seed);
    }
}

// A tester whose own queue refuses what is above 4900 frames/s, before a device that loses
// nothing: the rates are the tester's clean rate, named as the tester's. A tester's ceiling far
// above the device's rate does not hide that.
TEST(SimulatedDevice, ATesterCeilingBelowTheTopIsSearchedBelow) {
    const TDevice device = [](const TTrialRequest& request, std::mt19937&) {
        if (request.loadFps > 4900) {
            return TSearchTrial{request.loadFps, request.durationS, false, 0, 4900};
        }
        return lossOf(request, 0);
    };
    const TSearched found = search(10000, goals(0, 1, 1), device, 0);
    for (const TGoalResult& rate : {found.ndr, found.pdr}) {
        EXPECT_TRUE(rate.complete);
        EXPECT_EQ(rate.limitedBy, TLimit::tester);
        EXPECT_LE(rate.lowerFps, 4900);
        EXPECT_GE(rate.lowerFps, 4900 * 0.99);
    }
    // A tester that falls behind its schedule above 500000 frames/s, though it sends nearly all
    // (no guide to where it would keep up), before a shaper far below: the shaper's rates.
    const TDevice lagging = [exact = shaper(10416, 8)](const TTrialRequest& request,
                                                       std::mt19937& random) {
        if (request.loadFps > 500000) {
            return TSearchTrial{request.loadFps, request.durationS, false, 0.9,
                                request.loadFps * 0.99};
        }
        return exact(request, random);
    };
    const TSearched slow = search(1488095, goals(0, 1, 1), lagging, 0);
    expectBrackets(slow.ndr, passLimit(10416, 8, 0, 1), "NDR", 0);
    expectBrackets(slow.pdr, passLimit(10416, 8, 0.005, 1), "PDR", 0);
    EXPECT_LE(slow.trials, 30);
}

// A device that passes the line rate: the line named; one that loses at every load: the search
// ends at the lowest load with nothing passed, well within the trial cap.
TEST(SimulatedDevice, TheLineRateAndTheLowestLoadEndTheSearch) {
    const TSearched clean = search(14880, goals(0, 1, 1), shaper(1e9, 0), 0);
    EXPECT_EQ(clean.ndr.lowerFps, 14880);
    EXPECT_EQ(clean.ndr.limitedBy, TLimit::lineRate);
    EXPECT_TRUE(clean.ndr.complete);
    EXPECT_EQ(clean.trials, 2); // a short trial, then the final one

    const TDevice lossy = [](const TTrialRequest& request, std::mt19937&) {
        return lossOf(request, request.loadFps);
    };
    const TSearched nothing = search(1e6, goals(0, 1, 1), lossy, 0);
    EXPECT_TRUE(nothing.ended);
    EXPECT_EQ(nothing.ndr.lowerFps, 0);
    EXPECT_LE(nothing.ndr.upperFps, MINIMUM_LOAD_FPS);
    EXPECT_LE(nothing.trials, 30);
}

// The trial cap cuts the search off: the rates say that they are not complete.
TEST(SimulatedDevice, ASearchCutOffSaysSo) {
    CRateSearch rates(1e6, true, goals(0, 1, 1), 0.2);
    CSimulatedTrials runner(shaper(1476, 8), 0);
    EXPECT_FALSE(runSearch(rates, runner, 3));
    EXPECT_FALSE(rates.result(0).complete);
    EXPECT_FALSE(rates.result(1).complete);
}

} // namespace
