#include "benchmarkrun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <unistd.h>

#include "benchmarkreport.h"
#include "report.h"
#include "resultsfile.h"
#include "trafficgenerator.h"
#include "utils.h"

namespace {

// A search that has not ended after this many trials of one frame size is stopped where it is.
constexpr std::size_t MAX_SEARCH_TRIALS = 60;
constexpr std::uint32_t SLEEP_STEP_US = 10000;

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

// Sleeps in short steps so that an interrupt ends the pause at once.
void settle(std::uint32_t microseconds) {
    for (std::uint32_t slept = 0; slept < microseconds && !CTrafficGenerator::interrupted;
         slept += SLEEP_STEP_US) {
        usleep(SLEEP_STEP_US);
    }
}

TDelayFigures delayFigures(const TTrialFigures& figures) {
    TDelayFigures delay;
    delay.known = figures.received > 0;
    delay.min = figures.minDelay;
    delay.max = figures.maxDelay;
    delay.mean = figures.meanDelay;
    delay.variance = figures.delayVariance;
    delay.percentiles = figures.delays.percentiles();
    delay.jitter = figures.jitter;
    return delay;
}

// What the trial's results say about its own validity.
TTrialEvidence evidenceOf(const std::vector<TResult>& results, std::uint32_t durationUs) {
    TTrialEvidence evidence;
    evidence.interrupted = CTrafficGenerator::interrupted != 0;
    for (const TResult& result : results) {
        evidence.countsKnown = evidence.countsKnown && result.sentKnown;
        evidence.schedulesKept = evidence.schedulesKept && achievedSchedule(result.offered);
        evidence.sent += result.sent;
        evidence.refused += result.refused;
        // Every stream shows the capture's drops of the cycle: counted once.
        evidence.captureDropped = result.captureDropped;
        if (result.offered.drawnMeanGapUs > 0) {
            evidence.expectedSent += durationUs / result.offered.drawnMeanGapUs;
        }
    }
    return evidence;
}

// A trial as the results file keeps it.
TBenchmarkTrial trialRecord(std::uint32_t number, const char* phase, double loadFps,
                            const TTrialFigures& figures, TTrialVerdict verdict) {
    TBenchmarkTrial trial;
    trial.trial = number;
    trial.phase = phase;
    trial.targetFps = loadFps;
    trial.achievedFps = figures.achievedFps;
    trial.sent = figures.sent;
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

  private:
    TTrialOutcome runTrial(TBenchmarkSize& size, double loadFps, std::uint32_t durationUs,
                           const char* phase, TTrialFigures* figures = nullptr);
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
};

TTrialOutcome CBenchmarkRun::runTrial(TBenchmarkSize& size, double loadFps,
                                      std::uint32_t durationUs, const char* phase,
                                      TTrialFigures* figures) {
    if (!firstTrial) {
        settle(SETTLE_PAUSE_US);
    }
    firstTrial = false;
    const auto number = static_cast<std::uint32_t>(size.trials.size() + 1);
    if (progress != nullptr) {
        *progress << trialProgressText(size, number, loadFps) << std::flush;
    }
    const double scale = std::isinf(loadFps) ? std::numeric_limits<double>::infinity()
                                             : rateScale(loadFps, meanGaps);
    generator.setTrial({scale, frameLength}, durationUs);
    generator.generate();
    const std::vector<TResult> results = generator.catchPacket();
    const TTrialFigures combined = combineResults(results);
    const TTrialVerdict verdict = std::isinf(loadFps) ? TTrialVerdict::testerMaximum
                                                      : judgeTrial(evidenceOf(results, durationUs));
    size.trials.push_back(trialRecord(number, phase, loadFps, combined, verdict));
    if (progress != nullptr) {
        *progress << trialOutcomeText(size.trials.back()) << std::endl;
    }
    if (figures != nullptr) {
        *figures = combined;
    }
    return {loadFps, verdict, combined.lossPercent, combined.achievedFps};
}

void CBenchmarkRun::findRates(TBenchmarkSize& size, double top, bool topIsLineRate) {
    CRateSearch search(top, topIsLineRate, settings.precisionPercent, settings.pdrLossPercent);
    for (std::size_t trials = 0; trials < MAX_SEARCH_TRIALS && !CTrafficGenerator::interrupted;
         ++trials) {
        const double load = search.nextLoad();
        if (load <= 0) {
            break;
        }
        search.record(runTrial(size, load, settings.trialDurationUs, "search"));
    }
    const TRateInterval ndr = search.ndr();
    const TRateInterval pdr = search.pdr();
    size.ndr = {ndr.lowerFps, ndr.upperFps, limitName(ndr.limitedBy)};
    size.pdr = {pdr.lowerFps, pdr.upperFps, limitName(pdr.limitedBy)};
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

// With several trials at the load, the delays are those of all their frames and the statistics
// those of the test over its cycles.
void putStatistics(TBenchmarkLatency& latency, const TStreamAccumulator& accumulator,
                   std::uint32_t trials, float quantile) {
    latency.delay.percentiles = accumulator.delays.percentiles();
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
    while (done < repeats && !CTrafficGenerator::interrupted) {
        TTrialFigures figures;
        const TTrialOutcome outcome = runLatencyTrial(size, latency.offeredFps, figures);
        latency.valid = latency.valid && outcome.verdict == TTrialVerdict::valid;
        accumulateResult(accumulator, asResult(figures), ++done);
        achieved += figures.achievedFps;
        if (done == 1) {
            latency.delay = delayFigures(figures);
        }
    }
    if (done == 0) {
        return std::nullopt;
    }
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
    // Numbered frames let the receiver count each frame once, copies apart; a frame too short
    // for its number (64 to 66 bytes, more with tags or IPv6) goes without.
    std::size_t shift = 0;
    for (std::uint32_t i = 0; i < generator.getStreams() && i < MAX_STREAMS; ++i) {
        shift = std::max(shift, generator.streamLayout(i).payloadShift());
    }
    generator.setSequenceNumbers(frameLength == 0 ||
                                 frameLength >= MIN_NUMBERED_FRAME_LENGTH + shift);
    size.meanFrameSize = frameSize ? *frameSize : generator.meanFrameLength() + FCS_LENGTH;
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
        findRates(size, top, lineRateBps.has_value());
        measureLatency(size);
    } else {
        size.ndr = {0, top, limitName(TLimit::tester)};
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
    for (const TBenchmarkSize& size : benchmark.sizes) {
        printBenchmarkSize(out, size, benchmark, generator.getConfidenceIntervalProbability());
    }
    printBenchmarkEnd(out, benchmark, CTrafficGenerator::interrupted != 0);
    return benchmark;
}
