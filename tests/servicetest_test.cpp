#include <gtest/gtest.h>
#include <string>

#include "servicetest.h"

namespace {

// "S" a severely errored second, "." one that is not.
std::vector<bool> seconds(const std::string& pattern) {
    std::vector<bool> result;
    for (char c : pattern) {
        result.push_back(c == 'S');
    }
    return result;
}

// Ten SES in a row begin unavailable time (those ten included), ten good seconds end it (those
// ten available); shorter runs change nothing, and SES count in available time only.
TEST(Availability, TenConsecutiveSecondsChangeTheState) {
    const struct {
        const char* pattern;
        std::uint32_t ses;
        std::uint32_t unavailable;
    } table[] = {
        {"..........", 0, 0},
        {"SSSSSSSSS.", 9, 0},
        {"SSSSSSSSSS", 0, 10},
        {".SSSSSSSSSS.........", 0, 19},   // never ten good seconds again
        {".SSSSSSSSSS..........S", 1, 10}, // available again after ten good ones
        {"SSSSSSSSSS.....S....S..........", 0, 21},
        {"SS.SSSSSSSSSS", 2, 10},
    };
    for (const auto& row : table) {
        const TAvailability availability = countAvailability(seconds(row.pattern));
        EXPECT_EQ(availability.severelyErrored, row.ses) << row.pattern;
        EXPECT_EQ(availability.unavailable, row.unavailable) << row.pattern;
        EXPECT_DOUBLE_EQ(availability.availabilityPercent,
                         100.0 * (availability.seconds - row.unavailable) / availability.seconds);
    }
    EXPECT_TRUE(severelyErrored(100, 98, 1.0));
    EXPECT_FALSE(severelyErrored(100, 99, 1.0));
    EXPECT_FALSE(severelyErrored(0, 0, 0.0));
}

TStepFigures measured(std::uint64_t sent, std::uint64_t received, double receivedBps,
                      double ftd = 100, double fdv = 50) {
    TStepFigures figures;
    figures.sent = sent;
    figures.received = received;
    figures.receivedBps = receivedBps;
    figures.delaysKnown = received > 0;
    figures.meanDelayUs = ftd;
    figures.fdvUs = fdv;
    return figures;
}

// Each step's verdict names the figure that failed it; a load the tester did not offer is its
// own limit, never the device's failure.
TEST(StepVerdict, EachStepJudgesWhatItMustAndNamesTheFailure) {
    TService service;
    service.cirBps = 4e6;
    service.eirBps = 1e6;
    service.criteria.flrPercent = 1;
    service.criteria.ftdUs = 1000;
    service.criteria.fdvUs = 200;
    const TServiceTestSettings settings;
    const struct {
        TStepKind kind;
        TStepFigures figures;
        TVerdict verdict;
        const char* failure;
    } table[] = {
        {TStepKind::cir, measured(1000, 995, 4e6), TVerdict::passed, ""},
        {TStepKind::cir, measured(1000, 980, 4e6), TVerdict::deviceFailed, "FLR 2.000 % > 1.000 %"},
        {TStepKind::cir, measured(1000, 1000, 4e6, 1500), TVerdict::deviceFailed,
         "FTD 1500.0 us > 1000.0 us"},
        {TStepKind::cir, measured(1000, 1000, 4e6, 100, 300), TVerdict::deviceFailed,
         "FDV 300.0 us > 200.0 us"},
        // CIR + EIR: 80 % of the frames are the CIR's; 1 % of those may be lost.
        {TStepKind::cirAndEir, measured(1000, 792, 4e6, 9000, 9000), TVerdict::passed, ""},
        {TStepKind::cirAndEir, measured(1000, 791, 3.9e6), TVerdict::deviceFailed,
         "CIR 3.900 Mbit/s prijato < 4.000 Mbit/s"},
        // Policing: at most CIR + EIR + 5 %.
        {TStepKind::overshoot, measured(1000, 700, 5.25e6), TVerdict::passed, ""},
        {TStepKind::overshoot, measured(1000, 990, 6.2e6), TVerdict::deviceFailed,
         "IR 6.200 Mbit/s > CIR+EIR 5.000 Mbit/s"},
    };
    for (const auto& row : table) {
        const TStepVerdict verdict = judgeStep(service, row.kind, row.figures, settings);
        EXPECT_EQ(verdict.verdict, row.verdict) << row.failure;
        EXPECT_EQ(verdict.failure, row.failure);
    }
    // A sender that fell behind: a loss beyond the criterion is still the device's, a pass is
    // not one of the step's load; counts spoilt by the tester say nothing.
    TStepFigures behind = measured(1000, 900, 3e6);
    behind.loadKept = false;
    EXPECT_EQ(judgeStep(service, TStepKind::cir, behind, settings).verdict, TVerdict::deviceFailed);
    behind.received = 1000;
    EXPECT_EQ(judgeStep(service, TStepKind::cir, behind, settings).verdict, TVerdict::testerLimit);
    behind.loadKept = true;
    behind.countsTrusted = false;
    behind.received = 900;
    EXPECT_EQ(judgeStep(service, TStepKind::cir, behind, settings).verdict, TVerdict::testerLimit);
    // Overshoot: CIR + 125 % of the EIR, or 125 % of the CIR without one.
    EXPECT_DOUBLE_EQ(stepLoadBps(service, TStepKind::overshoot, 100, settings), 5.25e6);
    service.eirBps = 0;
    EXPECT_DOUBLE_EQ(stepLoadBps(service, TStepKind::overshoot, 100, settings), 5e6);
}

TEST(Verdict, ADeviceFailureOutweighsTheTestersLimit) {
    using V = TVerdict;
    EXPECT_EQ(exitStatusOf(combinedVerdict({})), 0);
    EXPECT_EQ(exitStatusOf(combinedVerdict({V::passed, V::testerLimit})), 3);
    EXPECT_EQ(exitStatusOf(combinedVerdict({V::testerLimit, V::deviceFailed, V::passed})), 2);

    TServiceTestResults results;
    results.services.resize(2);
    results.services[0].stream = 1;
    results.services[1].stream = 2;
    results.steps.push_back({1, TStepKind::cir, 25, 1e6, {}, {V::passed, ""}});
    results.steps.push_back({2, TStepKind::cir, 25, 1e6, {}, {V::testerLimit, "x"}});
    TServicePerformanceResult performance;
    performance.stream = 1;
    performance.verdict = {V::deviceFailed, "dostupnost"};
    results.performance.push_back(performance);
    decideVerdicts(results);
    EXPECT_EQ(results.serviceVerdicts, (std::vector<V>{V::deviceFailed, V::testerLimit}));
    EXPECT_EQ(results.verdict, V::deviceFailed);
}

} // namespace
