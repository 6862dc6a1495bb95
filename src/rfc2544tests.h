#ifndef TRAFFICGEN_RFC2544TESTS_H
#define TRAFFICGEN_RFC2544TESTS_H

// The benchmark's tests beyond the throughput search and the latency (--benchmark-tests): the
// frame loss rate, the back-to-back frames and the system recovery (RFC 2544, with RFC 9004's
// corrected buffer time), and the verdict on expected minimum rates (--expect-rate). The pure
// rules first, then the drivers, which ask for trials through CBenchmarkTrials so that they run
// as well against a simulated device as against the network.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "intervals.h"
#include "results.h"
#include "rfc2544results.h"
#include "servicetest.h"

// ------------------------------------------------------------------ settings

// The tests a benchmark runs; by default the throughput search and the latency.
struct TBenchmarkTests {
    bool throughput = true;
    bool latency = true;
    bool frameLoss = false;
    bool backToBack = false;
    bool recovery = false;
};

// A minimum rate the device must forward without loss: of one frame size, or of every size that
// has none of its own.
struct TExpectedRate {
    std::optional<std::uint32_t> frameSize;
    double fps = 0;
};

struct TBenchmarkTestSettings {
    TBenchmarkTests tests;
    bool testsGiven = false;
    std::uint32_t burstRepetitions = 50;
    std::uint32_t burstDurationUs = 2000000; // the longest burst tried, as time at the top rate
    std::uint32_t overloadDurationUs = 60000000;
    std::uint32_t recoveryDurationUs = 10000000; // the lower load after the overload
    std::vector<TExpectedRate> expectedRates;
};

// The keys (the options are the same words joined by dashes).
extern const char* const BENCHMARK_TEST_KEYS[6];

// Applies a setting of these by its key; false when the key is none of them. A value it cannot
// read ends the run with a message naming the setting.
bool applyBenchmarkTestSetting(TBenchmarkTestSettings& settings, const std::string& key,
                               const std::string& value);

// "throughput,latency,frame-loss,back-to-back,recovery", any of them in any order.
bool readBenchmarkTests(const std::string& text, TBenchmarkTests& tests);
// "SIZE=FPS,..." or a bare "FPS" for every size without its own.
bool readExpectedRates(const std::string& text, std::vector<TExpectedRate>& rates);

// The latency, the back-to-back frames, the recovery and the expected rates need the non-drop
// rate: with any of them the throughput search runs too.
bool needsThroughput(const TBenchmarkTestSettings& settings);

// The expected rate of a frame size (none: the set-up's own frames); none when there is none.
std::optional<double> expectedRateOf(const std::vector<TExpectedRate>& rates,
                                     std::optional<std::uint32_t> frameSize);

// ------------------------------------------------------------------ the rules

// The frame loss rate's next step in percent of the top rate: 100 first, then 10 less after each
// step, until two steps in a row were results of the device without loss, or after 10 %.
struct TLossStepOutcome {
    double percent = 0;
    bool valid = true;
    bool lost = false;
};
std::optional<double> nextFrameLossStep(const std::vector<TLossStepOutcome>& done);

// The search for the longest burst the device forwards without loss, between one frame and
// `longest`. Without a hint it tries the longest first and halves the interval; with one (an
// earlier repetition's result) it tries the hint, then moves away from it in steps that double,
// until a burst passes below a failure, and then halves. It ends when the failing burst is at
// most `resolution` (relative) above the passing one, or one frame, or when a burst as sent
// told nothing new (the tester cannot send a burst between the two).
class CBurstSearch {
  public:
    CBurstSearch(std::uint64_t longest, double resolution, std::uint64_t hint = 0);
    std::optional<std::uint64_t> next() const;
    // A burst as sent (which may be a frame longer than asked) and whether it lost nothing.
    void record(std::uint64_t burst, bool lossless);
    std::uint64_t longestPassed() const { return passed; }

  private:
    bool narrow() const;

    std::uint64_t longest;
    double resolution;
    std::uint64_t hint;
    std::uint64_t step;
    bool tried = false;
    bool stalled = false;
    std::uint64_t passed = 0;
    std::optional<std::uint64_t> failed;
};

// The device's buffer time from the mean longest burst at the top rate: the implied one (the
// burst's time on the line) and the corrected one without what the device forwarded during the
// burst at its throughput (RFC 9004): burst / top x (1 - throughput / top).
struct TBufferTimes {
    double impliedS = 0;
    double correctedS = 0;
};
TBufferTimes bufferTimes(double averageBurst, double topFps, double throughputFps);

// The recovery from the streams' intervals of a trial whose load dropped `dropUs` after it began
// and that lasted `endUs`: the time from the drop to the end of the last interval after it in
// which frames departed that never arrived. An interval still losing at the trial's end means
// no recovery within it.
struct TRecoveryTime {
    bool recovered = true;
    double seconds = 0;
    std::uint64_t lostBefore = 0;
    std::uint64_t lostAfter = 0;
};
TRecoveryTime recoveryTime(const std::vector<std::vector<TIntervalFigures>>& streams,
                           std::uint32_t dropUs, std::uint32_t endUs);

// The verdict of a found non-drop rate against its expected minimum: met, the device's
// shortfall, or the tester's limit: the tester or the line stopped the search below it, or a
// search cut off before its end had no failure at or below the minimum.
TVerdict rateVerdict(const TBenchmarkRate& rate, double expectedFps);

// ------------------------------------------------------------------ the drivers

// What a driver asks of one trial: a load for a duration, that load times `dropFactor` from
// `dropAfterUs` after the cycle began (0: no drop), and intervals of `intervalUs` (0: none).
struct TTrialAsk {
    double loadFps = 0;
    std::uint32_t durationUs = 0;
    const char* phase = "";
    std::uint32_t dropAfterUs = 0;
    double dropFactor = 1;
    std::uint32_t intervalUs = 0;
};

struct TTrialAnswer {
    bool valid = true; // a result of the device
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    double lossPercent = 0;
    double achievedFps = 0;
    std::vector<std::vector<TIntervalFigures>> intervals; // per stream, when asked
};

class CBenchmarkTrials {
  public:
    virtual ~CBenchmarkTrials() = default;
    virtual TTrialAnswer run(const TTrialAsk& ask) = 0;
    virtual bool stopped() const { return false; }
};

// A trial the tester spoilt is tried this often in all before it stands as the tester's.
constexpr int BENCHMARK_TEST_ATTEMPTS = 3;
// The recovery's intervals: the resolution of its time.
constexpr std::uint32_t RECOVERY_RESOLUTION_US = 10000;

TFrameLossResult runFrameLoss(CBenchmarkTrials& trials, const TTopRate& top,
                              std::uint32_t durationUs);
TBackToBackResult runBackToBack(CBenchmarkTrials& trials, const TTopRate& top, double throughputFps,
                                const TBenchmarkTestSettings& settings, double resolution);
TRecoveryResult runRecovery(CBenchmarkTrials& trials, const TTopRate& top, double throughputFps,
                            const TBenchmarkTestSettings& settings);

#endif
