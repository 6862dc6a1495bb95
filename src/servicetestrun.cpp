#include "servicetestrun.h"

#include <chrono>
#include <unistd.h>

#include "benchmark.h"
#include "servicetestreport.h"
#include "trafficgenerator.h"

namespace {

constexpr std::uint32_t SECOND_US = 1000000;

// Whether the tester's senders offered the stream's load: the benchmark's rules for a trial.
bool loadKept(const TResult& result) {
    TTrialEvidence evidence;
    evidence.countsKnown = result.sentKnown;
    evidence.schedulesKept = achievedSchedule(result.offered);
    evidence.sent = result.sent;
    evidence.scheduled = result.scheduled;
    evidence.refused = result.refused;
    evidence.captureDropped = result.captureDropped;
    return judgeTrial(evidence) == TTrialVerdict::valid;
}

class CServiceTestRun {
  public:
    CServiceTestRun(CTrafficGenerator& generator, const TServiceTestSettings& settings,
                    std::optional<double> lineRateBps, std::ostream* progress)
        : generator(generator), settings(settings), lineRateBps(lineRateBps), progress(progress),
          meanGaps(generator.meanGapsUs()), frameBytes(generator.meanFrameLengths()) {
        for (double& bytes : frameBytes) {
            bytes += FCS_LENGTH;
        }
    }

    void configurationTest(const TService& service, TServiceTestResults& results);
    void performanceTest(TServiceTestResults& results);

  private:
    std::vector<TResult> runLoads(const std::vector<double>& bps, std::uint32_t durationUs);
    bool lineCarries(const std::vector<double>& bps) const;
    TStepFigures figuresOf(const TResult& result, double loadBps, std::uint32_t durationUs) const;
    void runStep(const TService& service, TStepKind kind, double percent,
                 TServiceTestResults& results);

    CTrafficGenerator& generator;
    const TServiceTestSettings& settings;
    std::optional<double> lineRateBps;
    std::ostream* progress;
    const std::vector<double> meanGaps;
    std::vector<double> frameBytes; // each stream's mean frame, check sequence included
    bool firstStep = true;
};

std::vector<TResult> CServiceTestRun::runLoads(const std::vector<double>& bps,
                                               std::uint32_t durationUs) {
    if (!firstStep) {
        sleepUnlessStopped(SETTLE_PAUSE_US * 1000LL, CTrafficGenerator::interrupted);
    }
    firstStep = false;
    TTrialPlan plan;
    for (std::size_t i = 0; i < meanGaps.size(); ++i) {
        const double fps = i < bps.size() ? framesPerSecond(bps[i], frameBytes[i]) : 0;
        plan.streamScales.push_back(fps > 0 ? rateScale(fps, {meanGaps[i]}) : 0);
    }
    generator.setTrial(plan, durationUs);
    generator.generate();
    return generator.catchPacket();
}

// Without a known line rate the tester finds out by trying.
bool CServiceTestRun::lineCarries(const std::vector<double>& bps) const {
    if (!lineRateBps) {
        return true;
    }
    double wire = 0;
    for (std::size_t i = 0; i < bps.size() && i < frameBytes.size(); ++i) {
        wire += wireBitsPerSecond(framesPerSecond(bps[i], frameBytes[i]), frameBytes[i]);
    }
    return wire <= *lineRateBps;
}

TStepFigures CServiceTestRun::figuresOf(const TResult& result, double loadBps,
                                        std::uint32_t durationUs) const {
    TStepFigures figures;
    figures.loadKept = loadKept(result);
    figures.countsTrusted = result.sentKnown && result.refused == 0 && result.captureDropped == 0;
    figures.offeredBps = loadBps;
    figures.sent = result.sent;
    figures.received = result.received;
    std::uint64_t bytes = 0;
    for (const TIntervalFigures& interval : result.intervals) {
        bytes += interval.bytes;
    }
    figures.receivedBps = static_cast<double>(bytes) * 8.0 * 1e6 / durationUs;
    figures.delaysKnown = result.received > 0;
    if (figures.delaysKnown) {
        figures.meanDelayUs = result.avgDelay;
        figures.fdvUs = result.delays.percentile(settings.fdvPercentile) - result.minDelay;
    }
    return figures;
}

void CServiceTestRun::runStep(const TService& service, TStepKind kind, double percent,
                              TServiceTestResults& results) {
    TServiceStepResult step;
    step.stream = service.stream;
    step.kind = kind;
    step.percent = percent;
    step.loadBps = stepLoadBps(service, kind, percent, settings);
    std::vector<double> loads(meanGaps.size(), 0);
    loads[service.stream - 1] = step.loadBps;
    if (!lineCarries(loads)) {
        step.figures.loadKept = false;
        step.figures.offeredBps = step.loadBps;
    } else {
        const std::vector<TResult> measured = runLoads(loads, settings.stepDurationUs);
        if (CTrafficGenerator::interrupted) {
            return;
        }
        step.figures =
            figuresOf(measured[service.stream - 1], step.loadBps, settings.stepDurationUs);
    }
    step.verdict = judgeStep(service, kind, step.figures, settings);
    results.steps.push_back(step);
    if (progress != nullptr) {
        *progress << serviceStepLine(step) << std::endl;
    }
}

void CServiceTestRun::configurationTest(const TService& service, TServiceTestResults& results) {
    for (double percent : settings.stepsPercent) {
        if (CTrafficGenerator::interrupted) {
            return;
        }
        runStep(service, TStepKind::cir, percent, results);
    }
    if (service.eirBps > 0 && !CTrafficGenerator::interrupted) {
        runStep(service, TStepKind::cirAndEir, 100, results);
    }
    if (!CTrafficGenerator::interrupted) {
        runStep(service, TStepKind::overshoot, 100, results);
    }
}

void CServiceTestRun::performanceTest(TServiceTestResults& results) {
    std::vector<double> loads;
    for (const TService& service : results.services) {
        loads.push_back(service.cirBps);
    }
    const std::uint32_t durationUs = settings.performanceDurationS * SECOND_US;
    std::vector<TResult> measured;
    const bool carried = lineCarries(loads);
    if (carried) {
        if (progress != nullptr) {
            *progress << "Test vykonnosti: " << settings.performanceDurationS << " s" << std::endl;
        }
        measured = runLoads(loads, durationUs);
        if (CTrafficGenerator::interrupted) {
            return;
        }
    }
    for (const TService& service : results.services) {
        TServicePerformanceResult performance;
        performance.stream = service.stream;
        if (carried) {
            const TResult& result = measured[service.stream - 1];
            performance.figures = figuresOf(result, service.cirBps, durationUs);
            std::vector<bool> severelyErroredSeconds;
            for (const TIntervalFigures& second : result.intervals) {
                if (second.index < settings.performanceDurationS && second.lengthUs == SECOND_US) {
                    severelyErroredSeconds.push_back(
                        severelyErrored(second.sent, second.received, service.criteria.flrPercent));
                    performance.seconds.push_back(second);
                }
            }
            performance.availability = countAvailability(severelyErroredSeconds);
        } else {
            performance.figures.loadKept = false;
            performance.figures.offeredBps = service.cirBps;
        }
        performance.verdict =
            judgePerformance(service, performance.figures, performance.availability);
        results.performance.push_back(performance);
    }
}

} // namespace

TServiceTestResults runServiceTest(CTrafficGenerator& generator,
                                   const std::vector<TService>& services,
                                   const TServiceTestSettings& settings,
                                   std::optional<double> lineRateBps, std::ostream& out,
                                   std::ostream* progress) {
    const auto started = std::chrono::steady_clock::now();
    TServiceTestResults results;
    results.settings = settings;
    results.services = services;
    // Per-second figures: the performance test's availability and every step's rate.
    generator.setInterval(SECOND_US);
    CServiceTestRun run(generator, settings, lineRateBps, progress);
    for (const TService& service : services) {
        run.configurationTest(service, results);
    }
    if (settings.performanceDurationS > 0 && !CTrafficGenerator::interrupted) {
        run.performanceTest(results);
    }
    decideVerdicts(results);
    results.totalSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printServiceTest(out, results, CTrafficGenerator::interrupted != 0);
    return results;
}
