#include "benchmarkrun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <unistd.h>

#include "benchmarkreport.h"
#include "fail.h"
#include "report.h"
#include "resultsfile.h"
#include "rfc2544report.h"
#include "sendstamps.h"
#include "testercounters.h"
#include "trafficgenerator.h"

namespace {

// A search that has not ended after this many trials of one frame size is stopped where it is.
constexpr std::size_t MAX_SEARCH_TRIALS = 60;

std::optional<double> interfaceLineRate(const char* interface) {
    if (interface == nullptr) {
        return std::nullopt;
    }
    std::ifstream file(std::string("/sys/class/net/") + interface + "/speed");
    std::string text;
    if (!file || !std::getline(file, text)) {
        return std::nullopt;
    }
    return lineRateFromSpeedText(text);
}

TDelayFigures delayFigures(const TTrialFigures& figures) {
    TDelayFigures delay;
    delay.known = figures.delayCount > 0;
    delay.ns = {delay.known,          figures.minDelayNs,          figures.maxDelayNs,
                figures.meanDelayNs,  figures.delayVariance * 1e6, figures.delays.percentiles(),
                figures.jitter * 1000};
    delay.stampSource = stampSourceName(figures.stamps.source);
    if (figures.stamps.source != TStampSource::user) {
        delay.sendStamps = sendStampReport(figures.stamps);
    }
    delay.min = figures.minDelay;
    delay.max = figures.maxDelay;
    delay.mean = figures.meanDelay;
    delay.variance = figures.delayVariance;
    delay.percentiles = inMicroseconds(figures.delays.percentiles());
    delay.jitter = figures.jitter;
    return delay;
}

// What the trial's results say about its own validity.
TTrialEvidence evidenceOf(const std::vector<TResult>& results) {
    TTrialEvidence evidence;
    evidence.interrupted = CTrafficGenerator::interrupted != 0;
    evidence.streams = static_cast<std::uint32_t>(results.size());
    evidence.lagBoundUs = results.empty() ? 0 : scheduleLagBoundUs(0);
    for (const TResult& result : results) {
        evidence.countsKnown = evidence.countsKnown && result.sentKnown;
        // A single frame (the shortest burst) has no gap to keep.
        evidence.schedulesKept =
            evidence.schedulesKept && (achievedSchedule(result.offered) || result.sent == 1);
        const double lagBound = scheduleLagBoundUs(result.offered.drawnMeanGapUs);
        if (result.offered.largestLagUs - lagBound > evidence.largestLagUs - evidence.lagBoundUs) {
            evidence.largestLagUs = result.offered.largestLagUs;
            evidence.lagBoundUs = lagBound;
        }
        evidence.sent += result.sent;
        evidence.scheduled += result.scheduled;
        evidence.refused += result.refused;
        // Every stream shows the capture's drops of the cycle: counted once.
        evidence.captureDropped = result.captureDropped;
    }
    return evidence;
}

// A trial as the results file keeps it.
TBenchmarkTrial trialRecord(std::uint32_t number, const char* phase, double loadFps,
                            std::uint32_t durationUs, const TTrialFigures& figures,
                            const TTrialEvidence& evidence, TTrialVerdict verdict) {
    TBenchmarkTrial trial;
    trial.queueDrops = evidence.testerDrops.queueDrops;
    trial.queueOverlimits = evidence.testerDrops.queueOverlimits;
    trial.interfaceDrops = evidence.testerDrops.interfaceDrops;
    trial.backlogDrops = evidence.testerDrops.backlogDrops;
    trial.largestLagUs = evidence.largestLagUs;
    trial.trial = number;
    trial.phase = phase;
    trial.targetFps = loadFps;
    trial.durationUs = durationUs;
    trial.achievedFps = figures.achievedFps;
    trial.sent = figures.sent;
    trial.scheduled = figures.scheduled;
    trial.received = figures.received;
    trial.lossPercent = figures.lossPercent;
    trial.delay = delayFigures(figures);
    if (figures.numbered) {
        trial.duplicates = figures.duplicates;
        trial.reordered = figures.reordered;
    }
    // A trial cut short by the interrupt says that, whatever else went wrong in it.
    trial.invalidReason =
        verdictName(CTrafficGenerator::interrupted != 0 ? TTrialVerdict::interrupted : verdict);
    return trial;
}

class CBenchmarkRun {
  public:
    CBenchmarkRun(CTrafficGenerator& generator, const TBenchmarkSettings& settings,
                  std::ostream* progress)
        : generator(generator), settings(settings), progress(progress),
          meanGaps(generator.meanGapsUs()) {
        for (std::size_t i = 0; i < meanGaps.size(); ++i) {
            if (!(meanGaps[i] > 0)) {
                fail("Tok " + std::to_string(i + 1) +
                     " ma vsechny mezery mezi odeslanimi 0: jeho rychlost nelze skalovat");
            }
        }
    }

    TBenchmarkSize runSize(std::optional<std::uint32_t> frameSize,
                           std::optional<double> lineRateBps);
    TTrialOutcome runSearchTrial(TBenchmarkSize& size, double loadFps, std::uint32_t durationUs) {
        return runTrial(size, loadFps, durationUs, "search");
    }

    // A trial of the further tests: its load dropping during it, its intervals, as asked.
    TTrialAnswer runAskedTrial(TBenchmarkSize& size, const TTrialAsk& ask);

  private:
    TTrialOutcome runTrial(TBenchmarkSize& size, double loadFps, std::uint32_t durationUs,
                           const char* phase, TTrialFigures* figures = nullptr,
                           const TTrialAsk* ask = nullptr);
    void runFurtherTests(TBenchmarkSize& size, const TTopRate& top);
    void findRates(TBenchmarkSize& size, double top, bool topIsLineRate);
    TTrialOutcome runLatencyTrial(TBenchmarkSize& size, double loadFps, TTrialFigures& figures);
    std::optional<TBenchmarkLatency> measureLoad(TBenchmarkSize& size, double percent,
                                                 std::uint32_t repeats);
    void measureLatency(TBenchmarkSize& size);

    CTrafficGenerator& generator;
    const TBenchmarkSettings& settings;
    std::ostream* progress;
    const std::vector<double> meanGaps;
    std::uint32_t frameLength = 0;
    bool firstTrial = true;
    const std::uint32_t userIntervalUs = generator.getInterval();
    std::vector<std::vector<TIntervalFigures>> askedIntervals;
};

TTrialAnswer CBenchmarkRun::runAskedTrial(TBenchmarkSize& size, const TTrialAsk& ask) {
    generator.setInterval(ask.intervalUs != 0 ? ask.intervalUs : userIntervalUs);
    TTrialFigures figures;
    const TTrialOutcome outcome =
        runTrial(size, ask.loadFps, ask.durationUs, ask.phase, &figures, &ask);
    generator.setInterval(userIntervalUs);
    TTrialAnswer answer;
    answer.valid = outcome.verdict == TTrialVerdict::valid;
    answer.sent = figures.sent;
    answer.received = figures.received;
    answer.lossPercent = figures.lossPercent;
    answer.achievedFps = figures.achievedFps;
    answer.intervals = std::move(askedIntervals);
    return answer;
}

// The further tests' trials on the network.
class CAskedTrials : public CBenchmarkTrials {
  public:
    CAskedTrials(CBenchmarkRun& benchmark, TBenchmarkSize& size)
        : benchmark(benchmark), size(size) {}
    TTrialAnswer run(const TTrialAsk& ask) override { return benchmark.runAskedTrial(size, ask); }
    bool stopped() const override { return CTrafficGenerator::interrupted != 0; }

  private:
    CBenchmarkRun& benchmark;
    TBenchmarkSize& size;
};

void CBenchmarkRun::runFurtherTests(TBenchmarkSize& size, const TTopRate& top) {
    const TBenchmarkTestSettings& further = settings.further;
    CAskedTrials trials(*this, size);
    if (further.tests.frameLoss && !CTrafficGenerator::interrupted) {
        size.frameLoss = runFrameLoss(trials, top, settings.finalDurationUs);
    }
    if (further.tests.backToBack && !CTrafficGenerator::interrupted) {
        size.backToBack = runBackToBack(trials, top, size.ndr.lowerFps, further,
                                        settings.precisionPercent / 100.0);
    }
    if (further.tests.recovery && !CTrafficGenerator::interrupted) {
        size.recovery = runRecovery(trials, top, size.ndr.lowerFps, further);
    }
}

TTrialOutcome CBenchmarkRun::runTrial(TBenchmarkSize& size, double loadFps,
                                      std::uint32_t durationUs, const char* phase,
                                      TTrialFigures* figures, const TTrialAsk* ask) {
    if (!firstTrial) {
        sleepUnlessStopped(SETTLE_PAUSE_US * 1000LL, CTrafficGenerator::interrupted);
    }
    firstTrial = false;
    const auto number = static_cast<std::uint32_t>(size.trials.size() + 1);
    if (progress != nullptr) {
        *progress << trialProgressText(size, number, loadFps) << std::flush;
    }
    const double scale = std::isinf(loadFps) ? std::numeric_limits<double>::infinity()
                                             : rateScale(loadFps, meanGaps);
    // The latency trials' delays start at the kernel's stamps unless the set-up chose a source;
    // the search's trials count frames only and keep the sender's stamps unless chosen too.
    if (!generator.stampSourceChosen()) {
        generator.setStampSource(std::string(phase) == "latency" ? TStampSource::kernel
                                                                 : TStampSource::user);
    }
    TTrialPlan plan{scale, frameLength, {}};
    if (ask != nullptr) {
        plan.dropAfterUs = ask->dropAfterUs;
        plan.dropFactor = ask->dropFactor;
    }
    generator.setTrial(plan, durationUs);
    const TTesterCounters before =
        readTesterCounters(generator.getSendingInterface(), generator.getReceivingInterface());
    generator.generate();
    const std::vector<TResult> results = generator.catchPacket();
    const TTesterCounters after =
        readTesterCounters(generator.getSendingInterface(), generator.getReceivingInterface());
    TTrialEvidence evidence = evidenceOf(results);
    evidence.testerDrops = {
        after.queueDrops - before.queueDrops, after.queueOverlimits - before.queueOverlimits,
        after.interfaceDrops - before.interfaceDrops, after.backlogDrops - before.backlogDrops};
    TTrialFigures combined = combineResults(results);
    // The device's loss, of the frames that were sent: a sender's shortfall is judged apart.
    evidence.lost = combined.received < combined.sent;
    const TTrialVerdict verdict =
        std::isinf(loadFps) ? TTrialVerdict::testerMaximum : judgeTrial(evidence);
    size.trials.push_back(
        trialRecord(number, phase, loadFps, durationUs, combined, evidence, verdict));
    for (const TResult& result : results) {
        if (!result.intervals.empty()) {
            size.trials.back().intervals.push_back(result.intervals);
        }
    }
    if (ask != nullptr) {
        askedIntervals = std::move(size.trials.back().intervals);
        // Intervals asked by the test alone stay out of the trial's record.
        if (userIntervalUs != 0) {
            size.trials.back().intervals = askedIntervals;
        }
    }
    if (progress != nullptr) {
        *progress << trialOutcomeText(size.trials.back()) << std::endl;
    }
    if (figures != nullptr) {
        *figures = combined;
    }
    // What reached the wire: the frames the tester did not refuse.
    const double accepted =
        combined.sent > 0
            ? static_cast<double>(combined.sent - std::min(combined.sent, evidence.refused)) /
                  static_cast<double>(combined.sent)
            : 0;
    return {loadFps, verdict, combined.lossPercent, combined.achievedFps,
            combined.achievedFps * accepted};
}

// The search's trials on the network: each a cycle of the generator.
class CNetworkTrials : public CTrialRunner {
  public:
    CNetworkTrials(CBenchmarkRun& run, TBenchmarkSize& size) : run(run), size(size) {}

    TSearchTrial runTrial(const TTrialRequest& request) override {
        const auto durationUs = static_cast<std::uint32_t>(std::llround(request.durationS * 1e6));
        const TTrialOutcome outcome = run.runSearchTrial(size, request.loadFps, durationUs);
        TSearchTrial trial;
        trial.loadFps = request.loadFps;
        trial.durationS = request.durationS;
        trial.valid = outcome.verdict == TTrialVerdict::valid;
        trial.lossRatio = outcome.lossPercent / 100.0;
        trial.offeredFps = outcome.offeredFps;
        return trial;
    }
    bool stopped() const override { return CTrafficGenerator::interrupted != 0; }

  private:
    CBenchmarkRun& run;
    TBenchmarkSize& size;
};

// A rate as the results keep it: the goal's result and how the search went.
TBenchmarkRate rateRecord(const TGoalResult& result, const TSearchGoal& goal, bool ended,
                          std::uint32_t trials, double seconds) {
    TBenchmarkRate rate;
    rate.lowerFps = result.lowerFps;
    rate.upperFps = result.upperFps;
    rate.limitedBy = limitName(result.limitedBy);
    rate.goalLossPercent = goal.lossRatio * 100;
    rate.goalExceedPercent = goal.exceedRatio * 100;
    rate.goalFinalDurationS = goal.finalDurationS;
    rate.goalDurationSumS = goal.durationSumS;
    rate.goalWidthPercent = goal.relativeWidth * 100;
    rate.goalWidthFloorFps = goal.widthFloorFps;
    rate.widthReachedPercent = result.widthReached * 100;
    rate.complete = result.complete;
    if (!result.complete && !ended) {
        rate.cutOffBy = CTrafficGenerator::interrupted != 0 ? "interrupt" : "trial cap";
    }
    rate.searchTrials = trials;
    rate.searchSeconds = seconds;
    return rate;
}

TSpread spreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t count = values.size();
    const double median =
        count % 2 == 1 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
    return {values.front(), median, values.back()};
}

// Of several repetitions' rates, the one with the median lower bound (the lower of the two in
// the middle), with the spread of every bound.
TBenchmarkRate medianRate(std::vector<TBenchmarkRate> rates) {
    std::vector<double> lowers;
    std::vector<double> uppers;
    for (const TBenchmarkRate& rate : rates) {
        lowers.push_back(rate.lowerFps);
        uppers.push_back(rate.upperFps);
    }
    std::sort(rates.begin(), rates.end(), [](const TBenchmarkRate& a, const TBenchmarkRate& b) {
        return a.lowerFps < b.lowerFps;
    });
    TBenchmarkRate median = rates[(rates.size() - 1) / 2];
    if (rates.size() > 1) {
        median.lowerRepeated = spreadOf(lowers);
        median.upperRepeated = spreadOf(uppers);
    }
    return median;
}

void CBenchmarkRun::findRates(TBenchmarkSize& size, double top, bool topIsLineRate) {
    const std::vector<TSearchGoal> goals = searchGoals(settings);
    std::vector<TBenchmarkRate> ndrs;
    std::vector<TBenchmarkRate> pdrs;
    for (std::uint32_t repetition = 0;
         repetition < settings.repetitions && (repetition == 0 || !CTrafficGenerator::interrupted);
         ++repetition) {
        const auto started = std::chrono::steady_clock::now();
        const std::size_t trialsBefore = size.trials.size();
        CRateSearch search(top, topIsLineRate, goals, settings.trialDurationUs / 1e6);
        CNetworkTrials runner(*this, size);
        const bool ended = runSearch(search, runner, MAX_SEARCH_TRIALS);
        const auto trials = static_cast<std::uint32_t>(size.trials.size() - trialsBefore);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        ndrs.push_back(rateRecord(search.result(0), goals[0], ended, trials, seconds));
        pdrs.push_back(rateRecord(search.result(1), goals[1], ended, trials, seconds));
    }
    size.ndr = medianRate(ndrs);
    size.pdr = medianRate(pdrs);
}

TTrialOutcome CBenchmarkRun::runLatencyTrial(TBenchmarkSize& size, double loadFps,
                                             TTrialFigures& figures) {
    TTrialOutcome outcome = runTrial(size, loadFps, settings.finalDurationUs, "latency", &figures);
    // A stall of the tester spoils a long trial more often than a short one: once more.
    if (outcome.verdict != TTrialVerdict::valid && !CTrafficGenerator::interrupted) {
        outcome = runTrial(size, loadFps, settings.finalDurationUs, "latency", &figures);
    }
    return outcome;
}

// Adds a trial's delays to those of its load.
void poolDelays(TTrialFigures& pooled, const TTrialFigures& trial) {
    pooled.delays.merge(trial.delays);
    if (trial.delayCount > 0) {
        pooled.delayCount += trial.delayCount;
        pooled.minDelayNs = std::min(pooled.minDelayNs, trial.minDelayNs);
        pooled.maxDelayNs = std::max(pooled.maxDelayNs, trial.maxDelayNs);
    }
}

// With several trials at the load, the delays are those of all their frames and the statistics
// those of the test over its cycles.
void putStatistics(TBenchmarkLatency& latency, const TStreamAccumulator& accumulator,
                   std::uint32_t trials, float quantile) {
    latency.delay.percentiles = inMicroseconds(accumulator.delays.percentiles());
    latency.delay.min = accumulator.lowestDelay;
    latency.delay.max = accumulator.highestDelay;
    latency.delay.mean = accumulator.meanDelay;
    latency.statistics = streamStatistics(accumulator, 1, trials, quantile);
}

std::optional<TBenchmarkLatency> CBenchmarkRun::measureLoad(TBenchmarkSize& size, double percent,
                                                            std::uint32_t repeats) {
    TBenchmarkLatency latency;
    latency.loadPercent = percent;
    latency.offeredFps = std::floor(size.ndr.lowerFps * percent / 100.0);
    TStreamAccumulator accumulator;
    std::uint32_t done = 0;
    double achieved = 0;
    TTrialFigures pooled; // every trial's delays, for RFC 8219's figures
    pooled.minDelayNs = INT64_MAX;
    pooled.maxDelayNs = INT64_MIN;
    while (done < repeats && !CTrafficGenerator::interrupted) {
        TTrialFigures figures;
        const TTrialOutcome outcome = runLatencyTrial(size, latency.offeredFps, figures);
        latency.valid = latency.valid && outcome.verdict == TTrialVerdict::valid;
        accumulateResult(accumulator, asResult(figures), ++done);
        achieved += figures.achievedFps;
        poolDelays(pooled, figures);
        if (done == 1) {
            latency.delay = delayFigures(figures);
        }
    }
    if (done == 0) {
        return std::nullopt;
    }
    latency.rfc8219 = rfc8219Latency(pooled);
    latency.achievedFps = achieved / done;
    latency.lossPercent = accumulator.meanLoss;
    if (done > 1) {
        putStatistics(latency, accumulator, done, generator.getQuantile());
    }
    return latency;
}

void CBenchmarkRun::measureLatency(TBenchmarkSize& size) {
    const std::uint32_t repeats = generator.getCycles() > 1 ? generator.getCycles() : 1;
    for (double percent : settings.latencyLoadsPercent) {
        if (size.ndr.lowerFps <= 0) {
            return;
        }
        const std::optional<TBenchmarkLatency> latency = measureLoad(size, percent, repeats);
        if (!latency) {
            return;
        }
        size.latency.push_back(*latency);
    }
}

TBenchmarkSize CBenchmarkRun::runSize(std::optional<std::uint32_t> frameSize,
                                      std::optional<double> lineRateBps) {
    TBenchmarkSize size;
    size.frameSize = frameSize;
    frameLength = frameSize ? *frameSize - FCS_LENGTH : 0;
    // Numbered frames, at every size, let the receiver count each frame once, copies apart.
    generator.setSequenceNumbers(true);
    size.meanFrameSize = frameSize ? *frameSize : generator.meanFrameLength() + FCS_LENGTH;
    // A learning switch between the interfaces then forwards the trials' frames instead of
    // flooding them; the pause before the first trial lets it settle.
    generator.sendLearningFrames(settings.learningFrames);
    if (settings.learningFrames > 0) {
        firstTrial = false;
    }
    double top = 0;
    if (lineRateBps) {
        size.lineRateFps = lineRateFps(*lineRateBps, size.meanFrameSize);
        top = static_cast<double>(*size.lineRateFps);
    } else {
        // No line rate: the first trial learns the most the tester can send, every stream
        // back to back, and the search stays below it.
        runTrial(size, std::numeric_limits<double>::infinity(), settings.trialDurationUs, "probe");
        size.testerMaximumFps = std::floor(size.trials.back().achievedFps);
        top = *size.testerMaximumFps;
    }
    if (top >= 1 && !CTrafficGenerator::interrupted) {
        if (needsThroughput(settings.further)) {
            findRates(size, top, lineRateBps.has_value());
        }
        if (settings.further.tests.latency) {
            measureLatency(size);
        }
        runFurtherTests(size, {top, lineRateBps.has_value()});
    } else {
        size.ndr.upperFps = top;
        size.ndr.limitedBy = limitName(TLimit::tester);
        size.pdr = size.ndr;
    }
    return size;
}

} // namespace

std::optional<double> benchmarkLineRate(const TBenchmarkSettings& settings,
                                        const char* sendingInterface,
                                        const char* receivingInterface) {
    if (settings.lineRateBps) {
        return settings.lineRateBps;
    }
    const std::optional<double> sending = interfaceLineRate(sendingInterface);
    const std::optional<double> receiving = interfaceLineRate(receivingInterface);
    if (sending && receiving) {
        return std::min(*sending, *receiving);
    }
    return sending ? sending : receiving;
}

namespace {

// Ends the run before any trial when a frame size does not fit a stream's frames.
void checkFrameSizes(const CTrafficGenerator& generator, const TBenchmarkSettings& settings) {
    for (std::uint32_t size : settings.frameSizes) {
        for (std::uint32_t i = 0; i < generator.getStreams() && i < MAX_STREAMS; ++i) {
            const TFrameSizeRange range = benchmarkFrameRange(generator.streamLayout(i));
            if (size < range.smallest || size > range.largest) {
                fail("Velikost ramce " + std::to_string(size) + " B neni pro tok " +
                     std::to_string(i + 1) + " mozna! Rozsah pouze " +
                     std::to_string(range.smallest) + " - " + std::to_string(range.largest));
            }
        }
    }
    // An expected rate of a size the benchmark does not measure would never be judged.
    for (const TExpectedRate& rate : settings.further.expectedRates) {
        if (rate.frameSize && std::find(settings.frameSizes.begin(), settings.frameSizes.end(),
                                        *rate.frameSize) == settings.frameSizes.end()) {
            fail("Ocekavana rychlost pro velikost ramce " + std::to_string(*rate.frameSize) +
                 " B, ktera se nemeri (frame sizes)");
        }
    }
}

// The names of the tests chosen, as the results file lists them.
std::vector<std::string> testNames(const TBenchmarkTests& tests) {
    std::vector<std::string> names;
    const std::pair<bool, const char*> all[] = {{tests.throughput, "throughput"},
                                                {tests.latency, "latency"},
                                                {tests.frameLoss, "frame loss"},
                                                {tests.backToBack, "back-to-back"},
                                                {tests.recovery, "recovery"}};
    for (const auto& [chosen, name] : all) {
        if (chosen) {
            names.push_back(name);
        }
    }
    return names;
}

// Each size's non-drop rate against its expected minimum, and the verdict of them all.
void judgeRates(TBenchmarkResults& benchmark, const std::vector<TExpectedRate>& expected) {
    std::vector<TVerdict> verdicts;
    for (const TBenchmarkSize& size : benchmark.sizes) {
        const std::optional<double> minimum = expectedRateOf(expected, size.frameSize);
        if (!minimum) {
            continue;
        }
        const TRateVerdict rate{size.frameSize, *minimum, size.ndr.lowerFps, size.ndr.limitedBy,
                                rateVerdict(size.ndr, *minimum)};
        benchmark.rateVerdicts.push_back(rate);
        verdicts.push_back(rate.verdict);
    }
    benchmark.verdict = combinedVerdict(verdicts);
}

} // namespace

TBenchmarkResults runBenchmark(CTrafficGenerator& generator, const TBenchmarkSettings& settings,
                               std::ostream& out, std::ostream* progress) {
    checkFrameSizes(generator, settings);
    const auto started = std::chrono::steady_clock::now();
    TBenchmarkResults benchmark;
    benchmark.lineRateBps = benchmarkLineRate(settings, generator.getSendingInterface(),
                                              generator.getReceivingInterface());
    benchmark.trialDurationUs = settings.trialDurationUs;
    benchmark.finalDurationUs = settings.finalDurationUs;
    benchmark.pdrLossPercent = settings.pdrLossPercent;
    benchmark.precisionPercent = settings.precisionPercent;
    benchmark.latencyLoadsPercent = settings.latencyLoadsPercent;
    benchmark.settleUs = SETTLE_PAUSE_US;
    CBenchmarkRun run(generator, settings, progress);
    std::vector<std::optional<std::uint32_t>> sizes;
    for (std::uint32_t size : settings.frameSizes) {
        sizes.emplace_back(size);
    }
    if (sizes.empty()) {
        sizes.emplace_back();
    }
    for (const std::optional<std::uint32_t>& size : sizes) {
        if (CTrafficGenerator::interrupted) {
            break;
        }
        benchmark.sizes.push_back(run.runSize(size, benchmark.lineRateBps));
    }
    benchmark.totalSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (settings.further.testsGiven) {
        benchmark.tests = testNames(settings.further.tests);
    }
    if (!settings.further.expectedRates.empty()) {
        judgeRates(benchmark, settings.further.expectedRates);
    }
    for (const TBenchmarkSize& size : benchmark.sizes) {
        if (needsThroughput(settings.further)) {
            printBenchmarkSize(out, size, benchmark, generator.getConfidenceIntervalProbability());
        } else {
            printSizeHeading(out, size, benchmark);
        }
        printFurtherTests(out, size);
    }
    printBenchmarkEnd(out, benchmark, CTrafficGenerator::interrupted != 0);
    printRateVerdicts(out, benchmark, CTrafficGenerator::interrupted != 0);
    return benchmark;
}
