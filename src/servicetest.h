#ifndef TRAFFICGEN_SERVICETEST_H
#define TRAFFICGEN_SERVICETEST_H

// The service activation test's pure logic (--service-test, ITU-T Y.1564): its settings, each
// stream as a service with its rates and acceptance criteria, the verdict of every step, the
// availability counted from per-second intervals, and the exit status a verdict gives. The
// driver that runs the steps is servicetestrun.h.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "intervals.h"

class CConfig;

// ------------------------------------------------------------------ verdicts and exit status

// A verdict a script can act on. A device that failed a criterion outweighs a load the tester
// could not produce elsewhere: the failure is a finding, the tester's limit is only a gap.
enum class TVerdict { passed, deviceFailed, testerLimit };

constexpr int EXIT_PASSED = 0;
constexpr int EXIT_DEVICE_FAILED = 2;
constexpr int EXIT_TESTER_LIMIT = 3;

// The verdict of several: any device failure, else any tester limit, else passed.
TVerdict combinedVerdict(const std::vector<TVerdict>& verdicts);
int exitStatusOf(TVerdict verdict);
// "passed", "device failed", "tester limit".
const char* verdictText(TVerdict verdict);

// ------------------------------------------------------------------ services and settings

// What a service must meet; an unset delay criterion is not judged.
struct TServiceCriteria {
    double flrPercent = 0;             // the largest frame loss ratio
    std::optional<double> ftdUs;       // the largest mean frame transfer delay
    std::optional<double> fdvUs;       // the largest frame delay variation
    double availabilityPercent = 99.9; // the least availability in the performance test
};

struct TService {
    std::uint32_t stream = 0; // 1-based
    double cirBps = 0;        // committed information rate
    double eirBps = 0;        // excess information rate (0: none)
    TServiceCriteria criteria;
};

struct TServiceTestSettings {
    std::vector<double> stepsPercent{25, 50, 75, 100}; // of the CIR
    std::uint32_t stepDurationUs = 10000000;
    std::uint32_t performanceDurationS = 900; // 0: no performance test
    // Delay variation: this percentile of the delays minus the lowest delay.
    double fdvPercentile = 99.9;
    // The policing step offers CIR + (100 + overshoot) % of the EIR (of the CIR without one) and
    // passes when what arrives is at most CIR + EIR plus this tolerance.
    double overshootPercent = 25;
    double policingTolerancePercent = 5;
};

// The settings' option names (with dashes; the keys have spaces in their place).
extern const char* const SERVICE_TEST_KEYS[6];

// Applies one setting by its option name or key; a value it cannot read ends the run.
void applyServiceTestSetting(TServiceTestSettings& settings, const std::string& name,
                             const std::string& text);
void applyServiceTestKeys(TServiceTestSettings& settings, const CConfig& config);

// The services from the configuration's [STREAM n] sections: `CIR` (bit/s, k/M/G allowed,
// required), `EIR`, `FLR` (%), `FTD` and `FDV` (us), `availability` (%). A missing or unreadable
// key ends the run with a message naming it.
std::vector<TService> readServices(const CConfig& config, std::uint32_t streams);

// ------------------------------------------------------------------ steps

enum class TStepKind {
    cir,       // a percentage of the CIR: every criterion applies
    cirAndEir, // CIR + EIR: only the CIR part must arrive within the loss criterion
    overshoot  // above CIR + EIR: the device must not pass more than CIR + EIR
};

// What a step measured of one service.
struct TStepFigures {
    bool loadKept = true; // the tester offered what the step asked (a valid trial)
    // The counts are the device's alone: known, nothing refused by the local system and nothing
    // dropped by the capture. A sender that fell behind leaves them trusted: what the device lost
    // of a lower load it would have lost of the full one.
    bool countsTrusted = true;
    double offeredBps = 0;
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    double receivedBps = 0; // the information rate that arrived
    bool delaysKnown = false;
    double meanDelayUs = 0;
    double fdvUs = 0; // the percentile of the delays minus the lowest
};

struct TStepVerdict {
    TVerdict verdict = TVerdict::passed;
    std::string failure; // the figure that failed it, with its limit; empty when passed
};

double lossPercentOf(const TStepFigures& figures);

// The information rate of a load in frames/s of frames of `frameBytes` (check sequence included).
double informationRateBps(double fps, double frameBytes);
double framesPerSecond(double bps, double frameBytes);

// The load of a step in bit/s.
double stepLoadBps(const TService& service, TStepKind kind, double percent,
                   const TServiceTestSettings& settings);

// A device that failed a criterion at the load the tester managed failed it; one that passed a
// load below the step's, or whose counts are not its own, is judged only as far as the tester goes.
TStepVerdict judgeStep(const TService& service, TStepKind kind, const TStepFigures& figures,
                       const TServiceTestSettings& settings);

// ------------------------------------------------------------------ availability

// Availability from per-second severely errored seconds (SES), as ITU-T counts it for packet
// networks: ten consecutive SES begin unavailable time, those ten seconds included; ten
// consecutive seconds that are not SES begin available time again, those ten included. SES are
// counted in available time only; a run of fewer than ten at either state's end changes nothing.
struct TAvailability {
    std::uint32_t seconds = 0;
    std::uint32_t severelyErrored = 0; // SES in available time
    std::uint32_t unavailable = 0;     // seconds of unavailable time
    double availabilityPercent = 100;
};

constexpr std::uint32_t AVAILABILITY_RUN = 10;

TAvailability countAvailability(const std::vector<bool>& severelyErroredSeconds);

// A second is severely errored when its loss ratio exceeds the loss criterion; a second in which
// nothing was sent is not.
bool severelyErrored(std::uint64_t sent, std::uint64_t received, double flrPercent);

// The performance test's verdict of a service over the whole test.
TStepVerdict judgePerformance(const TService& service, const TStepFigures& figures,
                              const TAvailability& availability);

// ------------------------------------------------------------------ results

struct TServiceStepResult {
    std::uint32_t stream = 0;
    TStepKind kind = TStepKind::cir;
    double percent = 100; // of the CIR, for a CIR step
    double loadBps = 0;
    TStepFigures figures;
    TStepVerdict verdict;
};

struct TServicePerformanceResult {
    std::uint32_t stream = 0;
    TStepFigures figures;
    TAvailability availability;
    TStepVerdict verdict;
    std::vector<TIntervalFigures> seconds;
};

struct TServiceTestResults {
    TServiceTestSettings settings;
    std::vector<TService> services;
    std::vector<TServiceStepResult> steps;
    std::vector<TServicePerformanceResult> performance; // empty when it did not run
    std::vector<TVerdict> serviceVerdicts;              // one per service
    TVerdict verdict = TVerdict::passed;
    double totalSeconds = 0;
};

// Each service's verdict from its steps and its performance, and the overall one.
void decideVerdicts(TServiceTestResults& results);

// "25 % CIR", "CIR+EIR", "nad CIR+EIR".
std::string stepName(const TServiceStepResult& step);

#endif
