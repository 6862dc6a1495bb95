#ifndef TRAFFICGEN_REPORT_H
#define TRAFFICGEN_REPORT_H

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "result.h"
#include "results.h"

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
    CDelayHistogram delays; // every frame of every cycle
    // The same delays as measured, in nanoseconds (the mean and variance over cycles as above).
    std::int64_t lowestDelayNs = INT64_MAX;
    std::int64_t highestDelayNs = INT64_MIN;
    double meanDelayNs = 0;
    double meanDelayVarianceNs = 0;
};

// Folds the result of cycle `cycle` (1-based) into the stream's accumulator.
void accumulateResult(TStreamAccumulator& accumulator, const TResult& result, std::uint32_t cycle);

// The confidence intervals of the mean loss and the mean delay, as the statistics tables print
// them.
TInterval lossInterval(const TStreamAccumulator& accumulator, std::uint32_t cycles, float quantile);
TInterval delayInterval(const TStreamAccumulator& accumulator, std::uint32_t cycles,
                        float quantile);

void printCycleTableHead(std::ostream& out);
void printCycleRow(std::ostream& out, std::uint32_t cycle, const TResult& result);
void printCycleTableFoot(std::ostream& out);

// What the cycle table cannot show about a cycle's results: one line per affected
// stream and reason.
// The line that says where a result's delays were stamped at the send end, with the kernel's or
// the hardware's stamps: which frames, how many stamps are missing, and the sender's lag behind
// the stamp (p50, p99, max). Empty for the sender's own stamps.
std::string sendStampLine(std::uint32_t cycle, const TResult& result);

void printCycleWarnings(std::ostream& err, std::uint32_t cycle,
                        const std::vector<TResult>& results);

// The loss and the delay statistics tables over all cycles.
void printStatistics(std::ostream& out, const std::vector<TStreamAccumulator>& accumulators,
                     std::uint32_t cycles, float probability, float quantile);

// Collects what the results file needs, cycle by cycle.
class CResultsRecorder {
  public:
    virtual ~CResultsRecorder() = default;
    virtual void recordCycle(std::uint32_t cycle, const std::vector<TResult>& results) = 0;
};

#endif
