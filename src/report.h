#ifndef TRAFFICGEN_REPORT_H
#define TRAFFICGEN_REPORT_H

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "trafficgenerator.h"

// One stream's figures over all cycles so far.
struct TStreamAccumulator {
    float minLoss = FLT_MAX;
    float maxLoss = 0.0f;
    float meanLoss = 0.0f;
    std::vector<float> lossHistory;
    std::uint32_t lowestDelay = 0xFFFFFFFFu;
    std::uint32_t highestDelay = 0;
    float meanDelay = 0.0f;
    float meanDelayVariance = 0.0f;
};

// Folds the result of cycle `cycle` (1-based) into the stream's accumulator.
void accumulateResult(TStreamAccumulator& accumulator, const TResult& result, std::uint32_t cycle);

void printCycleTableHead(std::ostream& out);
void printCycleRow(std::ostream& out, std::uint32_t cycle, const TResult& result);
void printCycleTableFoot(std::ostream& out);

// What the cycle table cannot show about a cycle's results: one line per affected
// stream and reason.
void printCycleWarnings(std::ostream& err, std::uint32_t cycle,
                        const std::vector<TResult>& results);

// The loss and the delay statistics tables over all cycles.
void printStatistics(std::ostream& out, const std::vector<TStreamAccumulator>& accumulators,
                     std::uint32_t cycles, float probability, float quantile);

// Cycles 1..getCycles() (the count is read anew before every cycle), the closing rule and,
// after more than one cycle, the statistics. `Generator` is CTrafficGenerator in the program;
// anything with the same getCycles/generate/catchPacket/getConfidenceIntervalProbability/
// getQuantile serves, so the loop can be driven without interfaces.
template <class Generator>
void runCycles(Generator& generator, std::vector<TStreamAccumulator>& accumulators,
               std::ostream& out, std::ostream& err) {
    for (std::uint32_t cycle = 1; cycle <= generator.getCycles(); ++cycle) {
        generator.generate();
        const std::vector<TResult> results = generator.catchPacket();
        for (const TResult& result : results) {
            printCycleRow(out, cycle, result);
            // A result naming a stream the run does not have is shown but must not be
            // written outside the accumulators.
            if (result.stream >= 1 &&
                static_cast<std::size_t>(result.stream) <= accumulators.size()) {
                accumulateResult(accumulators[result.stream - 1], result, cycle);
            }
        }
        printCycleWarnings(err, cycle, results);
        // With the largest possible count the counter would wrap to 0 and the loop never end.
        if (cycle == UINT32_MAX) {
            break;
        }
    }
    printCycleTableFoot(out);
    const std::uint32_t cycles = generator.getCycles();
    if (cycles > 1) {
        printStatistics(out, accumulators, cycles, generator.getConfidenceIntervalProbability(),
                        generator.getQuantile());
    }
}

// The whole run: set-up, cycles, report. Returns the exit status.
int runTrafficGenerator(int argc, char** argv);

#endif
