#ifndef TRAFFICGEN_RESULTS_H
#define TRAFFICGEN_RESULTS_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "histogram.h"
#include "randomgenerator.h"
#include "result.h"
#include "rfc2544results.h"
#include "servicetest.h"

// Everything the results file (--json) holds, as plain values. The run fills them from its
// set-up, from every cycle's results and from the statistics; resultsDocument() turns them into
// the text of the file. docs/results.md describes the document key by key.

struct TInterfaceDescription {
    std::string name;
    std::string mac;  // "02:00:00:00:00:01"; empty when unknown
    std::string ipv4; // dotted; empty when the interface has none
};

// A VLAN tag of a stream's frames.
struct TVlanDescription {
    unsigned int id = 0;
    unsigned int priority = 0;
};

// The frames of a stream set with frame keys: tags, IP version, flows, next hop.
struct TStreamFramesDescription {
    std::optional<TVlanDescription> vlan;
    std::optional<TVlanDescription> outerVlan;
    unsigned int ipVersion = 4;
    std::optional<std::uint32_t> flowLabel; // IPv6 only
    std::string sourceIp;                   // of the first flow
    std::uint32_t sourceIpCount = 1;
    std::string destinationIp;
    std::uint32_t destinationIpCount = 1;
    unsigned int sourcePorts[2] = {}; // first and last
    unsigned int destinationPorts[2] = {};
    std::string flowOrder; // "sequential" or "random"
    std::uint64_t flows = 1;
    std::optional<std::string> nextHop;
    std::string destinationMac;
};

struct TStreamDescription {
    std::uint32_t stream = 0; // 1-based
    unsigned int tos = 0;
    // The throughput test draws nothing: it sends 1500-byte frames back to back.
    std::optional<TDistributionDescription> size;
    std::optional<TDistributionDescription> time;
    // None for the plain frames.
    std::optional<TStreamFramesDescription> frames;
};

struct TTestDescription {
    std::int32_t operation = 0;
    TInterfaceDescription sending;
    TInterfaceDescription receiving;
    std::string destinationMac;
    std::string sourceMac;
    std::uint32_t durationUs = 0;
    std::uint32_t cycles = 0;
    float confidenceProbability = 1.0f;
    float quantile = 0.0f;
    std::uint64_t lossTimeoutUs = 0;
    std::vector<TStreamDescription> streams;
    // Settings of further opt-in features go here as std::optional members, written into the
    // "test" object only when set (see testObject in results.cpp).
    std::optional<std::string> pacing;           // "absolute"; none for the default, relative
    std::optional<std::string> sendPath;         // "batched"; none for the default, libpcap
    std::optional<std::string> sendPathMode;     // AF_XDP: "zero-copy" or "copy"
    std::optional<std::string> sendPathFallback; // why the preferred path was not used
    std::optional<std::uint32_t> seed;           // the seed the set-up gave
    std::optional<bool> sequenceNumbers;         // true when the frames carry sequence numbers
    std::optional<std::uint32_t> intervalMs; // the length of the per-interval figures' intervals
    std::optional<std::string> stampSource;  // "kernel" or "hardware"; none for the sender's own
    std::optional<std::string> stampSourceFallback; // why hardware stamps were not used
};

// Delays as measured, in nanoseconds.
struct TNanosecondDelays {
    bool known = false; // false without a frame's delay: every figure is null then
    std::int64_t min = 0;
    std::int64_t max = 0;
    double mean = 0;
    double variance = 0; // ns^2
    TPercentiles percentiles{};
    double jitter = 0;
};

// How the send stamps of a stream's delays were taken, beyond the sender's own: which frames
// carried one, how many that arrived did not get it, and the sender's lag behind it.
struct TSendStampReport {
    std::uint32_t every = 0;
    std::uint64_t expected = 0;
    std::uint64_t missing = 0;
    double lagP50Ns = 0;
    double lagP99Ns = 0;
    double lagMaxNs = 0;
    bool lagKnown = false;
};

// One stream's figures of one cycle: its table row, unrounded, and what the table cannot show.
struct TStreamCycleFigures {
    std::uint32_t stream = 0;
    std::optional<std::uint64_t> sent; // none when the sender's count could not be collected
    std::uint64_t received = 0;
    std::uint64_t refused = 0; // frames the local system refused to send
    // Frames sent before the cycle began that arrived during it; left out of every figure.
    std::uint64_t stragglers = 0;
    // A tagged stream's frames received with and without their tag.
    std::optional<std::uint64_t> receivedTagged;
    std::optional<std::uint64_t> receivedUntagged;
    float loss = 0.0f;       // percent
    float throughput = 0.0f; // MB/s (MB = 2^20 bytes)
    // The delays (us) describe the frames received; without any they are left out (null).
    std::uint32_t minDelay = 0;
    std::uint32_t maxDelay = 0;
    float meanDelay = 0.0f;
    float delayVariance = 0.0f;
    TPercentiles percentiles{};
    double jitter = 0.0;
    TNanosecondDelays delayNs;                  // the same delays as measured
    std::string stampSource = "user";           // where the delays' send end was stamped
    std::optional<TSendStampReport> sendStamps; // with kernel or hardware stamps
    // Figures of further opt-in features (such as what a stream offered) go here as
    // std::optional members, written only when set (see cycleObject in results.cpp).
    std::optional<TOfferedGaps> offered;     // loss-and-delay test: the gaps sent and those drawn
    std::optional<TSequenceCounts> sequence; // with sequence numbers; `received` is distinct
    std::optional<std::vector<TIntervalFigures>> intervals; // with per-interval figures
};

struct TCycleFigures {
    std::uint32_t cycle = 0;
    std::uint64_t captureDropped = 0; // frames the capture dropped during the cycle
    // Per-cycle settings of further opt-in features (such as a cycle's seed) go here as
    // std::optional members, written only when set.
    std::vector<TStreamCycleFigures> streams;
    std::optional<std::uint32_t> seed; // the seed of the cycle's draws, given or derived
};

// A confidence interval of a mean, as the statistics tables print it.
struct TInterval {
    float lower = 0.0f;
    float upper = 0.0f;
};

// One stream over all cycles: the two statistics tables' rows, unrounded, and the percentiles
// of all its frames.
struct TStreamStatistics {
    std::uint32_t stream = 0;
    float minLoss = 0.0f;
    float maxLoss = 0.0f;
    float meanLoss = 0.0f;
    TInterval lossInterval;
    bool delaysKnown = false; // false when no cycle received a frame of the stream
    std::uint32_t lowestDelay = 0;
    std::uint32_t highestDelay = 0;
    float meanDelay = 0.0f;
    float meanDelayVariance = 0.0f;
    TInterval delayInterval;
    TPercentiles percentiles{};
    // With sequence numbers: the distinct frames received and the counts over all cycles (the
    // longest episode and the largest extent of any cycle).
    std::optional<TSequenceCounts> sequence;
    std::uint64_t received = 0;
    // The intervals of the mean over cycles from the cycles' own means (Student's t); none with
    // fewer than two cycles that have the figure.
    std::optional<TInterval> lossOverCycles;
    std::optional<TInterval> delayOverCycles;
    // The delay figures above as measured, in nanoseconds (the variance the mean of the cycles').
    TNanosecondDelays delayNs;
    std::optional<TInterval> delayNsOverCycles;
};

// ------------------------------------------------------------------ the benchmark (--benchmark)

// The delays of a trial's frames; without a frame they are unknown (null).
struct TDelayFigures {
    bool known = false;
    std::uint32_t min = 0;
    std::uint32_t max = 0;
    double mean = 0;
    double variance = 0;
    TPercentiles percentiles{};
    double jitter = 0;
    TNanosecondDelays ns;                       // the same delays as measured
    std::string stampSource = "user";           // where their send end was stamped
    std::optional<TSendStampReport> sendStamps; // with kernel or hardware stamps
};

// RFC 8219's latency figures of a load, of all its trials' frames that gave a delay (ns):
// typical latency (the median), worst-case latency (the 99.9th percentile) and the packet delay
// variation, the 99.9th percentile minus the minimum.
struct TRfc8219Latency {
    double minNs = 0;
    double medianNs = 0;
    double p99_9Ns = 0;
    double maxNs = 0;
    double pdvNs = 0;
};

struct TBenchmarkTrial {
    std::uint32_t trial = 0; // 1-based within its frame size
    std::string phase;       // "probe", "search" or "latency"
    double targetFps = 0;    // the load offered; infinite for the probe (back to back)
    std::uint32_t durationUs = 0;
    double achievedFps = 0; // the load the senders achieved
    std::uint64_t sent = 0;
    std::uint64_t scheduled = 0; // what the senders' schedules held, from their first departures
    std::uint64_t received = 0;
    double lossPercent = 0;
    TDelayFigures delay;
    // With sequence numbers (every frame size but 64-66 bytes): copies, not counted as received,
    // and frames that came out of order.
    std::optional<std::uint64_t> duplicates;
    std::optional<std::uint64_t> reordered;
    const char* invalidReason = nullptr; // null: a result of the device
    // The tester's own counters over the trial (testercounters.h) and how far its senders fell
    // behind their schedules at most.
    std::uint64_t queueDrops = 0;
    std::uint64_t queueOverlimits = 0;
    std::uint64_t interfaceDrops = 0;
    std::uint64_t backlogDrops = 0;
    double largestLagUs = 0;
    // With per-interval figures: each stream's intervals of the trial, in stream order.
    std::vector<std::vector<TIntervalFigures>> intervals;
};

// The least, the median and the greatest of a figure over a benchmark's repetitions.
struct TSpread {
    double min = 0;
    double median = 0;
    double max = 0;
};

struct TBenchmarkRate {
    double lowerFps = 0;
    double upperFps = 0;
    std::string limitedBy; // "device", "tester" or "line rate"
    // The goal the rate was searched for.
    double goalLossPercent = 0;
    double goalExceedPercent = 0;
    double goalFinalDurationS = 0;
    double goalDurationSumS = 0;
    double goalWidthPercent = 0;
    double goalWidthFloorFps = 0;
    // How the search ended: the width reached ((upper - lower) / upper, percent), whether the
    // goal was met, or else what cut the search off ("trial cap" or "interrupt"), and the trials
    // of the search (of both rates together) and their time, pauses included.
    double widthReachedPercent = 100;
    bool complete = false;
    std::string cutOffBy;
    std::uint32_t searchTrials = 0;
    double searchSeconds = 0;
    // With more than one repetition: the bounds over all of them.
    std::optional<TSpread> lowerRepeated;
    std::optional<TSpread> upperRepeated;
};

struct TBenchmarkLatency {
    double loadPercent = 0; // of the non-drop rate
    double offeredFps = 0;
    double achievedFps = 0;
    double lossPercent = 0;
    TDelayFigures delay; // of the first trial at the load, or of all of them pooled
    bool valid = true;   // every trial at the load was a result of the device
    std::optional<TRfc8219Latency> rfc8219; // none without a frame's delay
    // With more than one trial per load: the statistics over them, as the test's statistics.
    std::optional<TStreamStatistics> statistics;
};

struct TBenchmarkSize {
    std::optional<std::uint32_t> frameSize; // none: the set-up's own frames
    double meanFrameSize = 0;               // with the check sequence
    std::optional<std::uint64_t> lineRateFps;
    std::optional<double> testerMaximumFps; // learnt by the probe when the line rate is unknown
    TBenchmarkRate ndr;
    TBenchmarkRate pdr;
    std::vector<TBenchmarkLatency> latency;
    std::vector<TBenchmarkTrial> trials;
    // The further tests, where they were chosen.
    std::optional<TFrameLossResult> frameLoss;
    std::optional<TBackToBackResult> backToBack;
    std::optional<TRecoveryResult> recovery;
};

// A frame size's non-drop rate against the minimum expected of it.
struct TRateVerdict {
    std::optional<std::uint32_t> frameSize;
    double expectedFps = 0;
    double foundFps = 0;
    std::string limitedBy;
    TVerdict verdict = TVerdict::passed;
};

struct TBenchmarkResults {
    std::optional<double> lineRateBps;
    std::uint32_t trialDurationUs = 0;
    std::uint32_t finalDurationUs = 0;
    double pdrLossPercent = 0;
    double precisionPercent = 0;
    std::vector<double> latencyLoadsPercent;
    std::uint32_t settleUs = 0;
    double totalSeconds = 0;
    std::vector<TBenchmarkSize> sizes;
    // The tests chosen, when chosen ("throughput", "latency", "frame loss", "back-to-back",
    // "recovery"); empty: the default ones.
    std::vector<std::string> tests;
    // With expected rates: each size's verdict and the whole benchmark's.
    std::vector<TRateVerdict> rateVerdicts;
    std::optional<TVerdict> verdict;
};

struct TRunResults {
    std::time_t started = 0;
    std::time_t ended = 0;
    bool interrupted = false;
    TTestDescription test;
    std::vector<TCycleFigures> cycles;
    // Written when the test has more than one cycle.
    std::vector<TStreamStatistics> statistics;
    // Written only for a benchmark.
    std::optional<TBenchmarkResults> benchmark;
    // Written only for a service test.
    std::optional<TServiceTestResults> serviceTest;
};

// The document, indented, ending with a line end. Numbers keep every digit of the value the
// tables round; NaN and infinities are null.
std::string resultsDocument(const TRunResults& results);

// "2026-12-08T12:08:00Z".
std::string isoUtcTime(std::time_t time);

#endif
