#ifndef TRAFFICGEN_BENCHMARK_H
#define TRAFFICGEN_BENCHMARK_H

// The device benchmark's pure logic (--benchmark): its settings, the rate arithmetic of
// Ethernet frames, the rules that make a trial a device result or not, and the search for the
// non-drop and the partial-drop rate. The driver that runs the trials is benchmarkrun.h.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"
#include "histogram.h"
#include "ratesearch.h"
#include "result.h"
#include "results.h"
#include "rfc2544tests.h"
#include "testercounters.h"

class CConfig;

// ------------------------------------------------------------------ rate arithmetic
//
// Frame sizes are counted as the benchmarking convention counts them: with the 4-byte frame
// check sequence, which the interface adds and the program never writes (a 64-byte frame is 60
// bytes here). On the wire every frame also takes the 8 bytes of preamble and start delimiter
// and the 12 bytes of the inter-frame gap.
constexpr std::uint32_t FCS_LENGTH = 4;
constexpr std::uint32_t WIRE_OVERHEAD = 20;
constexpr std::uint32_t SMALLEST_BENCHMARK_FRAME = 64;
constexpr std::uint32_t LARGEST_BENCHMARK_FRAME = 1518;
// With two VLAN tags; each stream is held to its own largest (benchmarkFrameRange).
constexpr std::uint32_t LARGEST_TAGGED_BENCHMARK_FRAME = 1526;

// The frame sizes a stream's frames can have: at least 64 bytes and its headers with the
// payload, at most 1518 bytes and its tags (1522 with one tag). A size outside cannot be sent
// as that stream's frame and is refused: growing or cutting it would measure another size.
struct TFrameSizeRange {
    std::uint32_t smallest = SMALLEST_BENCHMARK_FRAME;
    std::uint32_t largest = LARGEST_BENCHMARK_FRAME;
};
TFrameSizeRange benchmarkFrameRange(const TFrameLayout& layout);

// The most frames of `frameSize` bytes a line of `lineBps` carries per second, in whole frames
// rounded down as the published tables give it (1 Gbit/s, 64 bytes: 1488095).
std::uint64_t lineRateFps(double lineBps, double frameSize);
// A frame rate as bits per second of the frames' own bytes, and as bits per second on the wire.
double frameBitsPerSecond(double fps, double frameSize);
double wireBitsPerSecond(double fps, double frameSize);
// A frame rate as a percentage of the line's maximum frame rate.
double percentOfLine(double fps, double lineFps);

// The factor that scales the streams' departure rates (the gaps are divided by it) so that
// together they offer `targetFps`, from the mean drawn gap of each stream (microseconds).
double rateScale(double targetFps, const std::vector<double>& meanGapsUs);
// A drawn gap of `drawnUs` microseconds divided by `scale`, in whole nanoseconds; an infinite
// scale gives 0 (back to back).
std::int64_t scaledGapNs(std::uint32_t drawnUs, double scale);

// ------------------------------------------------------------------ settings

struct TBenchmarkSettings {
    // Frame sizes with the frame check sequence; empty: the frames the set-up configures.
    std::vector<std::uint32_t> frameSizes;
    std::uint32_t trialDurationUs = 1000000;
    std::uint32_t finalDurationUs = 10000000;
    double pdrLossPercent = 0.5;
    double precisionPercent = 1.0;
    std::vector<double> latencyLoadsPercent{10, 50, 90, 100};
    // Bits per second; none: read from the interfaces, or unknown.
    std::optional<double> lineRateBps;
    // Learning frames sent from the receiving interface before the trials of each frame size.
    std::uint32_t learningFrames = 3;
    // The goals' share of trial time that may exceed their loss (percent), the trial time a
    // load needs before its verdict is final (none: two final trials), and the width in
    // frames/s at which a search ends whatever its relative width (0: none).
    double exceedPercent = 50;
    std::optional<std::uint32_t> durationSumUs;
    double widthFloorFps = 0;
    // Searches of every frame size, each rate given with its minimum, median and maximum.
    std::uint32_t repetitions = 1;
    // The tests to run beyond the default ones, their settings and the expected rates.
    TBenchmarkTestSettings further;
};

// The goals of the non-drop rate (loss 0) and of the partial-drop rate, in that order.
std::vector<TSearchGoal> searchGoals(const TBenchmarkSettings& settings);

// The pause between two trials that lets the device empty its queues.
constexpr std::uint32_t SETTLE_PAUSE_US = 500000;

// The settings' names: the options without their dashes, the configuration keys with spaces
// ("frame-sizes" and "frame sizes").
extern const char* const BENCHMARK_KEYS[12];

// Applies one setting given by its option name (with dashes) or its key (with spaces); a value
// it cannot read ends the run with a message naming the setting.
void applyBenchmarkSetting(TBenchmarkSettings& settings, const std::string& name,
                           const std::string& text);
// Applies every benchmark key the configuration has among its global keys.
void applyBenchmarkKeys(TBenchmarkSettings& settings, const CConfig& config);

// A line rate: decimal digits with an optional k, M or G (powers of 1000), more than 0.
bool readLineRate(const std::string& text, double& bps);

// The line rate an interface's speed file (Mbit/s, as /sys/class/net/IF/speed holds it) gives;
// none for what Linux writes when it does not know (-1, nothing, or no file).
std::optional<double> lineRateFromSpeedText(const std::string& text);

// ------------------------------------------------------------------ trials

// Why a trial is, or is not, a result of the device.
enum class TTrialVerdict {
    valid,
    testerMaximum,    // the probe: every sender back to back, to learn the tester's maximum
    senderBehind,     // a sender did not keep its schedule or sent too few frames
    refused,          // the local stack refused frames
    queueDropped,     // the sending interface's queue disciplines dropped or held back frames
    interfaceDropped, // the sending or the receiving interface dropped frames
    backlogDropped,   // the kernel's per-CPU backlog dropped frames
    captureDropped,   // the capture dropped frames
    countUnknown,     // a sender's count could not be collected
    interrupted       // the benchmark was interrupted during the trial
};

// The results file's text of a verdict: null for a valid trial.
const char* verdictName(TTrialVerdict verdict);

// What the validity of a trial is judged on, summed over its streams.
struct TTrialEvidence {
    bool interrupted = false;
    bool countsKnown = true;
    bool schedulesKept = true; // every stream's achieved gaps within 1 % of its schedule
    std::uint32_t streams = 1;
    std::uint64_t sent = 0;
    // The frames the schedules held from each sender's first departure to its end; a sender
    // that fell behind (its schedule restarted after a stall) sent fewer.
    std::uint64_t scheduled = 0;
    // The most any stream's departures fell behind its schedule, and the most they may.
    double largestLagUs = 0;
    double lagBoundUs = 0;
    bool lost = false; // the device lost frames in the trial
    std::uint64_t refused = 0;
    std::uint64_t captureDropped = 0;
    TTesterCounters testerDrops; // how far the tester's own counters moved in the trial
};

// The furthest a sender may fall behind its schedule (us) at a mean gap of `meanGapUs`: a frame
// that is due leaves at once, so that many microseconds of frames may leave back to back.
double scheduleLagBoundUs(double meanGapUs);

// A trial is the device's result when the tester lost nothing itself, the senders sent every
// frame their schedules held (counted from each one's first departure, so that its start-up is
// not owed), and every stream kept within the lag bound, or nothing was lost: a catch-up burst can
// only make a device lose more, so a trial that passed with one passed without it too.
TTrialVerdict judgeTrial(const TTrialEvidence& evidence);

// The loss of a trial against the frames the schedules required (`scheduled`, or what was sent
// when that is more), in percent; NaN when nothing was required.
double scheduledLossPercent(std::uint64_t sent, std::uint64_t scheduled, std::uint64_t received);

// A stream achieved its schedule when its achieved mean gap is at most 1 % above the mean of its
// scheduled gaps. A restart of the schedule after a stall is allowed as long as it leaves the
// mean within that bound: on a busy machine stalls of a few milliseconds are common.
bool achievedSchedule(const TOfferedGaps& offered);

// One trial's figures, every stream together.
struct TTrialFigures {
    std::uint64_t sent = 0;
    std::uint64_t scheduled = 0; // see TTrialEvidence
    std::uint64_t received = 0;
    double lossPercent = 0;
    double achievedFps = 0;
    std::uint32_t minDelay = 0;
    std::uint32_t maxDelay = 0;
    double meanDelay = 0;
    double delayVariance = 0;
    double jitter = 0;      // the largest of the streams'
    CDelayHistogram delays; // nanoseconds
    // The same delays as measured (nanoseconds), how many frames gave one, and where their send
    // end was stamped: the streams' stamps pooled.
    std::uint64_t delayCount = 0;
    std::int64_t minDelayNs = 0;
    std::int64_t maxDelayNs = 0;
    double meanDelayNs = 0;
    TSendStampFigures stamps;
    // With sequence numbers: the copies left out of `received`, and the frames out of order.
    bool numbered = false;
    std::uint64_t duplicates = 0;
    std::uint64_t reordered = 0;
};

// The streams' results of one trial summed: counts added, delays pooled, the achieved rate the
// sum of the streams' rates from their achieved mean gaps.
TTrialFigures combineResults(const std::vector<TResult>& results);

// RFC 8219's latency figures of the delays pooled in `figures`; none without a delay.
std::optional<TRfc8219Latency> rfc8219Latency(const TTrialFigures& figures);

// The trial's figures as one stream's result, to be accumulated into the statistics.
TResult asResult(const TTrialFigures& figures);

// ------------------------------------------------------------------ the search (ratesearch.h)

// The outcome of one trial as the driver passes it on.
struct TTrialOutcome {
    double loadFps = 0;
    TTrialVerdict verdict = TTrialVerdict::valid;
    double lossPercent = 0;
    double achievedFps = 0; // what the senders achieved
    double offeredFps = 0;  // of that, what the tester did not lose itself
};

#endif
