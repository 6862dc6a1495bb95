#include "resultsfile.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "atomicfile.h"
#include "fail.h"
#include "sendstamps.h"
#include "studentt.h"
#include "trafficgenerator.h"

namespace {

void failUnwritable(const std::string& path, const std::string& reason) {
    fail("Soubor s vysledky " + path + " nelze zapsat: " + reason);
}

// A cycle's sequence counts added to the run's: sums, and the largest of each cycle's maxima.
void addSequenceCounts(TSequenceCounts& total, const TSequenceCounts& cycle) {
    total.duplicates += cycle.duplicates;
    total.reordered += cycle.reordered;
    total.reorderExtentMax = std::max(total.reorderExtentMax, cycle.reorderExtentMax);
    total.late += cycle.late;
    total.lossEpisodes += cycle.lossEpisodes;
    total.lostInEpisodes += cycle.lostInEpisodes;
    total.longestLossEpisode = std::max(total.longestLossEpisode, cycle.longestLossEpisode);
}

// The stream's sequence counts of every cycle, summed into its statistics.
void addSequenceStatistics(TStreamStatistics& statistics,
                           const std::vector<TCycleFigures>& cycles) {
    for (const TCycleFigures& cycle : cycles) {
        for (const TStreamCycleFigures& figures : cycle.streams) {
            if (figures.stream != statistics.stream || !figures.sequence) {
                continue;
            }
            if (!statistics.sequence) {
                statistics.sequence.emplace();
            }
            addSequenceCounts(*statistics.sequence, *figures.sequence);
            statistics.received += figures.received;
        }
    }
}

// The intervals of the stream's mean loss and mean delay from its cycles' own figures.
void addIntervalsOverCycles(TStreamStatistics& statistics, const std::vector<TCycleFigures>& cycles,
                            double confidence) {
    std::vector<double> losses;
    std::vector<double> delays;
    std::vector<double> delaysNs;
    for (const TCycleFigures& cycle : cycles) {
        for (const TStreamCycleFigures& figures : cycle.streams) {
            if (figures.stream != statistics.stream) {
                continue;
            }
            losses.push_back(figures.loss);
            if (figures.received > 0) {
                delays.push_back(figures.meanDelay);
                delaysNs.push_back(figures.delayNs.mean);
            }
        }
    }
    const auto asInterval = [](const std::optional<TMeanInterval>& mean) {
        return mean ? std::optional<TInterval>(TInterval{static_cast<float>(mean->lower),
                                                         static_cast<float>(mean->upper)})
                    : std::nullopt;
    };
    statistics.lossOverCycles = asInterval(meanInterval(losses, confidence));
    statistics.delayOverCycles = asInterval(meanInterval(delays, confidence));
    statistics.delayNsOverCycles = asInterval(meanInterval(delaysNs, confidence));
}

} // namespace

void requireWritableResultsPath(const std::string& path) {
    const std::string problem = checkFileWritable(path);
    if (!problem.empty()) {
        failUnwritable(path, problem);
    }
}

CResultsFile::CResultsFile(std::string path, TTestDescription test) : path(std::move(path)) {
    run.test = std::move(test);
    run.started = std::time(nullptr);
}

void CResultsFile::recordCycle(std::uint32_t cycle, const std::vector<TResult>& results) {
    TCycleFigures figures;
    figures.cycle = cycle;
    for (const TResult& result : results) {
        // Every stream shows the capture's drops and the seed of the cycle; they belong to it.
        figures.captureDropped = result.captureDropped;
        figures.seed = result.seed;
        figures.streams.push_back(cycleFigures(result));
        if (run.test.operation == LOSS_AND_DELAY_TEST) {
            figures.streams.back().offered = result.offered;
        }
    }
    run.cycles.push_back(std::move(figures));
}

void CResultsFile::write(const std::vector<TStreamAccumulator>& accumulators, bool interrupted) {
    run.ended = std::time(nullptr);
    run.interrupted = interrupted;
    for (std::size_t k = 0; k < accumulators.size(); ++k) {
        run.statistics.push_back(streamStatistics(accumulators[k],
                                                  static_cast<std::uint32_t>(k + 1),
                                                  run.test.cycles, run.test.quantile));
        addSequenceStatistics(run.statistics.back(), run.cycles);
        addIntervalsOverCycles(run.statistics.back(), run.cycles, run.test.confidenceProbability);
    }
    writeDocument();
}

void CResultsFile::writeBenchmark(const TBenchmarkResults& benchmark, bool interrupted) {
    run.ended = std::time(nullptr);
    run.interrupted = interrupted;
    run.benchmark = benchmark;
    writeDocument();
}

void CResultsFile::writeServiceTest(const TServiceTestResults& test, bool interrupted) {
    run.ended = std::time(nullptr);
    run.interrupted = interrupted;
    run.serviceTest = test;
    writeDocument();
}

void CResultsFile::writeDocument() {
    const std::string problem = writeFileAtomically(path, resultsDocument(run));
    if (!problem.empty()) {
        failUnwritable(path, problem);
    }
}

TSendStampReport sendStampReport(const TSendStampFigures& stamps) {
    TSendStampReport report;
    report.every = stamps.every;
    report.expected = stamps.expected;
    report.missing = stamps.missing;
    report.lagKnown = stamps.lags.count() > 0;
    const TPercentiles lags = stamps.lags.percentiles();
    report.lagP50Ns = lags.p50;
    report.lagP99Ns = lags.p99;
    report.lagMaxNs = static_cast<double>(stamps.lags.maximum());
    return report;
}

TStreamCycleFigures cycleFigures(const TResult& result) {
    TStreamCycleFigures figures;
    figures.stream = static_cast<std::uint32_t>(result.stream);
    if (result.sentKnown) {
        figures.sent = result.sent;
    }
    figures.received = result.received;
    figures.refused = result.refused;
    figures.stragglers = result.stragglers;
    figures.loss = result.loss;
    figures.throughput = result.throughput;
    figures.minDelay = result.minDelay;
    figures.maxDelay = result.maxDelay;
    figures.meanDelay = result.avgDelay;
    figures.delayVariance = result.delayVariance;
    figures.percentiles = inMicroseconds(result.delays.percentiles());
    figures.jitter = result.jitter;
    figures.delayNs = {result.delayCount > 0, result.minDelayNs,      result.maxDelayNs,
                       result.meanDelayNs,    result.delayVarianceNs, result.delays.percentiles(),
                       result.jitterNs};
    figures.stampSource = stampSourceName(result.stamps.source);
    if (result.stamps.source != TStampSource::user) {
        figures.sendStamps = sendStampReport(result.stamps);
    }
    if (result.numbered) {
        figures.sequence = result.sequence;
    }
    if (result.tagged) {
        figures.receivedTagged = result.receivedTagged;
        figures.receivedUntagged = result.receivedUntagged;
    }
    if (!result.intervals.empty()) {
        figures.intervals = result.intervals;
    }
    return figures;
}

TStreamStatistics streamStatistics(const TStreamAccumulator& accumulator, std::uint32_t stream,
                                   std::uint32_t cycles, float quantile) {
    TStreamStatistics statistics;
    statistics.stream = stream;
    statistics.minLoss = accumulator.minLoss;
    statistics.maxLoss = accumulator.maxLoss;
    statistics.meanLoss = accumulator.meanLoss;
    statistics.lossInterval = lossInterval(accumulator, cycles, quantile);
    statistics.delaysKnown = accumulator.delays.count() > 0;
    statistics.lowestDelay = accumulator.lowestDelay;
    statistics.highestDelay = accumulator.highestDelay;
    statistics.meanDelay = accumulator.meanDelay;
    statistics.meanDelayVariance = accumulator.meanDelayVariance;
    statistics.delayInterval = delayInterval(accumulator, cycles, quantile);
    statistics.percentiles = inMicroseconds(accumulator.delays.percentiles());
    statistics.delayNs = {statistics.delaysKnown,
                          accumulator.lowestDelayNs,
                          accumulator.highestDelayNs,
                          accumulator.meanDelayNs,
                          accumulator.meanDelayVarianceNs,
                          accumulator.delays.percentiles(),
                          0};
    return statistics;
}
