#include "rfc2544tests.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

#include "benchmark.h"
#include "fail.h"
#include "textparsing.h"

namespace {

constexpr double LOSS_STEP_PERCENT = 10;
constexpr std::uint32_t MOST_BURST_REPETITIONS = 1000;
constexpr std::uint32_t SHORTEST_DURATION_US = 10000;
constexpr std::uint32_t LONGEST_DURATION_US = 3600000000u;
// The recovery's two phases are one trial, whose length must fit its 32-bit count.
constexpr std::uint32_t LONGEST_PHASE_US = LONGEST_DURATION_US / 2;
// RFC 2544's overload: 110 % of the throughput, then half of that.
constexpr double OVERLOAD_SHARE = 1.1;
constexpr double DROP_FACTOR = 0.5;
// The first steps of a search from a hint: this many resolutions away from it.
constexpr double HINT_STEP_RESOLUTIONS = 2;

// The items of a comma-separated list, without their spaces.
std::vector<std::string> listItems(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c == ',') {
            items.push_back(item);
            item.clear();
        } else if (c != ' ') {
            item += c;
        }
    }
    return items;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A trial, tried again while the tester spoils it.
TTrialAnswer runAttempts(CBenchmarkTrials& trials, const TTrialAsk& ask) {
    TTrialAnswer answer = trials.run(ask);
    for (int attempt = 1; attempt < BENCHMARK_TEST_ATTEMPTS && !answer.valid && !trials.stopped();
         ++attempt) {
        answer = trials.run(ask);
    }
    return answer;
}

} // namespace

const char* const BENCHMARK_TEST_KEYS[6] = {"benchmark tests",   "burst repetitions",
                                            "burst duration",    "overload duration",
                                            "recovery duration", "expect rate"};

bool readBenchmarkTests(const std::string& text, TBenchmarkTests& tests) {
    tests = TBenchmarkTests{false, false, false, false, false};
    const std::map<std::string, bool TBenchmarkTests::*> names = {
        {"throughput", &TBenchmarkTests::throughput},
        {"latency", &TBenchmarkTests::latency},
        {"frame-loss", &TBenchmarkTests::frameLoss},
        {"back-to-back", &TBenchmarkTests::backToBack},
        {"recovery", &TBenchmarkTests::recovery}};
    for (const std::string& item : listItems(text)) {
        const auto name = names.find(item);
        if (name == names.end()) {
            return false;
        }
        tests.*(name->second) = true;
    }
    return true;
}

bool readExpectedRates(const std::string& text, std::vector<TExpectedRate>& rates) {
    rates.clear();
    for (const std::string& item : listItems(text)) {
        TExpectedRate rate;
        const std::size_t equals = item.find('=');
        if (equals != std::string::npos) {
            std::uint32_t size = 0;
            if (!readDecimal(item.substr(0, equals), SMALLEST_BENCHMARK_FRAME,
                             LARGEST_TAGGED_BENCHMARK_FRAME, size)) {
                return false;
            }
            rate.frameSize = size;
        }
        const std::string fps = equals == std::string::npos ? item : item.substr(equals + 1);
        if (!readLineRate(fps, rate.fps)) {
            return false;
        }
        // One expectation per size: a second would leave it unclear which one counts.
        for (const TExpectedRate& earlier : rates) {
            if (earlier.frameSize == rate.frameSize) {
                return false;
            }
        }
        rates.push_back(rate);
    }
    return true;
}

bool applyBenchmarkTestSetting(TBenchmarkTestSettings& settings, const std::string& key,
                               const std::string& value) {
    bool ok = false;
    if (key == "benchmark tests") {
        ok = readBenchmarkTests(value, settings.tests);
        settings.testsGiven = true;
    } else if (key == "burst repetitions") {
        ok = readDecimal(value, 1, MOST_BURST_REPETITIONS, settings.burstRepetitions);
    } else if (key == "burst duration") {
        ok =
            readDecimal(value, SHORTEST_DURATION_US, LONGEST_DURATION_US, settings.burstDurationUs);
    } else if (key == "overload duration") {
        ok =
            readDecimal(value, SHORTEST_DURATION_US, LONGEST_PHASE_US, settings.overloadDurationUs);
    } else if (key == "recovery duration") {
        ok =
            readDecimal(value, SHORTEST_DURATION_US, LONGEST_PHASE_US, settings.recoveryDurationUs);
    } else if (key == "expect rate") {
        ok = readExpectedRates(value, settings.expectedRates);
    } else {
        return false;
    }
    if (!ok) {
        fail("Neplatna hodnota " + key + ": " + value);
    }
    return true;
}

bool needsThroughput(const TBenchmarkTestSettings& settings) {
    const TBenchmarkTests& tests = settings.tests;
    return tests.throughput || tests.latency || tests.backToBack || tests.recovery ||
           !settings.expectedRates.empty();
}

std::optional<double> expectedRateOf(const std::vector<TExpectedRate>& rates,
                                     std::optional<std::uint32_t> frameSize) {
    std::optional<double> every;
    for (const TExpectedRate& rate : rates) {
        if (!rate.frameSize) {
            every = rate.fps;
        } else if (frameSize && *rate.frameSize == *frameSize) {
            return rate.fps;
        }
    }
    return every;
}

std::optional<double> nextFrameLossStep(const std::vector<TLossStepOutcome>& done) {
    if (done.empty()) {
        return 100.0;
    }
    const std::size_t count = done.size();
    if (count >= 2) {
        const TLossStepOutcome& last = done[count - 1];
        const TLossStepOutcome& before = done[count - 2];
        if (last.valid && !last.lost && before.valid && !before.lost) {
            return std::nullopt;
        }
    }
    const double next = done.back().percent - LOSS_STEP_PERCENT;
    return next >= LOSS_STEP_PERCENT - 1e-9 ? std::optional<double>(next) : std::nullopt;
}

CBurstSearch::CBurstSearch(std::uint64_t longest, double resolution, std::uint64_t hint)
    : longest(std::max<std::uint64_t>(1, longest)), resolution(resolution),
      hint(std::min(hint, this->longest)),
      step(std::max<std::uint64_t>(1,
                                   static_cast<std::uint64_t>(HINT_STEP_RESOLUTIONS * resolution *
                                                              static_cast<double>(this->hint)))) {}

bool CBurstSearch::narrow() const {
    if (!failed) {
        return passed >= longest;
    }
    const double width = static_cast<double>(*failed - passed);
    return width <= std::max(1.0, resolution * static_cast<double>(*failed));
}

std::optional<std::uint64_t> CBurstSearch::next() const {
    if (!tried) {
        return hint > 0 ? hint : longest;
    }
    if (stalled || narrow()) {
        return std::nullopt;
    }
    if (!failed) {
        return std::min(longest, passed + step);
    }
    if (passed == 0 && hint > 0 && *failed > step) {
        return *failed - step;
    }
    return passed + (*failed - passed) / 2;
}

void CBurstSearch::record(std::uint64_t burst, bool lossless) {
    const std::uint64_t passedBefore = passed;
    const std::optional<std::uint64_t> failedBefore = failed;
    const bool first = !tried;
    tried = true;
    if (lossless) {
        passed = std::max(passed, failed ? std::min(burst, *failed - 1) : burst);
    } else {
        failed = failed ? std::min(*failed, burst) : burst;
        passed = std::min(passed, *failed - 1);
    }
    step *= 2;
    // A burst sent a frame longer than asked can land on a bound already known: the tester's
    // resolution is reached.
    stalled = !first && passed == passedBefore && failed == failedBefore;
}

TBufferTimes bufferTimes(double averageBurst, double topFps, double throughputFps) {
    TBufferTimes times;
    if (!(topFps > 0)) {
        return times;
    }
    times.impliedS = averageBurst / topFps;
    const double share = std::clamp(throughputFps / topFps, 0.0, 1.0);
    times.correctedS = times.impliedS * (1.0 - share);
    return times;
}

TRecoveryTime recoveryTime(const std::vector<std::vector<TIntervalFigures>>& streams,
                           std::uint32_t dropUs, std::uint32_t endUs) {
    // Every stream's losses by interval, the streams' intervals being the same.
    std::map<std::uint64_t, std::pair<std::uint64_t, std::uint32_t>> lostByStart;
    for (const std::vector<TIntervalFigures>& intervals : streams) {
        for (const TIntervalFigures& interval : intervals) {
            const std::uint64_t lost =
                interval.sent > interval.received ? interval.sent - interval.received : 0;
            auto& entry = lostByStart[interval.startUs];
            entry.first += lost;
            entry.second = std::max(entry.second, interval.lengthUs);
        }
    }
    TRecoveryTime time;
    std::uint64_t lastLossEnd = dropUs;
    for (const auto& [start, entry] : lostByStart) {
        if (start < dropUs) {
            time.lostBefore += entry.first;
        } else if (entry.first > 0) {
            time.lostAfter += entry.first;
            lastLossEnd = start + entry.second;
        }
    }
    time.seconds = static_cast<double>(lastLossEnd - dropUs) / 1e6;
    time.recovered = lastLossEnd < endUs;
    return time;
}

TVerdict rateVerdict(const TBenchmarkRate& rate, double expectedFps) {
    if (rate.lowerFps >= expectedFps) {
        return TVerdict::passed;
    }
    const bool failedBelow = rate.complete || rate.upperFps <= expectedFps;
    return rate.limitedBy == "device" && failedBelow ? TVerdict::deviceFailed
                                                     : TVerdict::testerLimit;
}

TFrameLossResult runFrameLoss(CBenchmarkTrials& trials, const TTopRate& top,
                              std::uint32_t durationUs) {
    const auto started = std::chrono::steady_clock::now();
    TFrameLossResult result;
    result.top = top;
    result.durationUs = durationUs;
    std::vector<TLossStepOutcome> done;
    for (std::optional<double> percent = nextFrameLossStep(done); percent && !trials.stopped();
         percent = nextFrameLossStep(done)) {
        TFrameLossStep step;
        step.percent = *percent;
        step.offeredFps = std::floor(top.fps * *percent / 100.0);
        const TTrialAnswer answer =
            runAttempts(trials, {step.offeredFps, durationUs, "frame loss"});
        if (trials.stopped()) {
            break;
        }
        step.achievedFps = answer.achievedFps;
        step.sent = answer.sent;
        step.received = answer.received;
        step.lossPercent = answer.lossPercent;
        step.valid = answer.valid;
        result.steps.push_back(step);
        done.push_back({step.percent, step.valid, !(step.lossPercent <= 0)});
    }
    result.seconds = seconds(started);
    return result;
}

namespace {

// One repetition's search; false when the tester could not send a burst.
bool searchBurst(CBenchmarkTrials& trials, const TTopRate& top, CBurstSearch& search,
                 TBackToBackResult& result) {
    for (std::optional<std::uint64_t> burst = search.next(); burst && !trials.stopped();
         burst = search.next()) {
        // Time at the top rate for the burst, the first frame leaving at once: the last one is
        // due half a gap before its end.
        const auto durationUs = static_cast<std::uint32_t>(
            std::ceil((static_cast<double>(*burst) - 0.5) / top.fps * 1e6));
        const TTrialAnswer answer = runAttempts(trials, {top.fps, durationUs, "back-to-back"});
        ++result.trials;
        if (trials.stopped()) {
            return true;
        }
        if (!answer.valid) {
            return false;
        }
        search.record(answer.sent, answer.received >= answer.sent);
    }
    return true;
}

} // namespace

TBackToBackResult runBackToBack(CBenchmarkTrials& trials, const TTopRate& top, double throughputFps,
                                const TBenchmarkTestSettings& settings, double resolution) {
    const auto started = std::chrono::steady_clock::now();
    TBackToBackResult result;
    result.top = top;
    result.throughputFps = throughputFps;
    result.longestBurst = static_cast<std::uint64_t>(
        std::max(1.0, std::floor(top.fps * settings.burstDurationUs / 1e6)));
    std::uint64_t hint = 0;
    for (std::uint32_t repetition = 0; repetition < settings.burstRepetitions && !trials.stopped();
         ++repetition) {
        CBurstSearch search(result.longestBurst, resolution, hint);
        if (!searchBurst(trials, top, search, result)) {
            result.testerLimited = true;
            break;
        }
        if (trials.stopped()) {
            break;
        }
        const std::uint64_t burst = search.longestPassed();
        result.bursts.push_back(burst);
        result.longestPassed = result.longestPassed || burst >= result.longestBurst;
        // The next repetition starts where this one ended (at one frame where none passed).
        hint = std::max<std::uint64_t>(1, burst);
    }
    double sum = 0;
    for (std::uint64_t burst : result.bursts) {
        sum += static_cast<double>(burst);
    }
    result.averageBurst = result.bursts.empty() ? 0 : sum / result.bursts.size();
    const TBufferTimes times = bufferTimes(result.averageBurst, top.fps, throughputFps);
    result.impliedBufferS = times.impliedS;
    result.correctedBufferS = times.correctedS;
    result.seconds = seconds(started);
    return result;
}

TRecoveryResult runRecovery(CBenchmarkTrials& trials, const TTopRate& top, double throughputFps,
                            const TBenchmarkTestSettings& settings) {
    TRecoveryResult result;
    result.throughputFps = throughputFps;
    result.overloadUs = settings.overloadDurationUs;
    result.lowUs = settings.recoveryDurationUs;
    result.resolutionUs = RECOVERY_RESOLUTION_US;
    if (!(throughputFps > 0)) {
        result.valid = false;
        result.note = "no throughput";
        return result;
    }
    result.overloadFps = std::floor(throughputFps * OVERLOAD_SHARE);
    if (result.overloadFps > top.fps) {
        result.overloadFps = top.fps;
        result.overloadCapped = true;
    }
    result.lowFps = std::floor(result.overloadFps * DROP_FACTOR);
    const std::uint32_t endUs = settings.overloadDurationUs + settings.recoveryDurationUs;
    TTrialAsk ask{result.overloadFps, endUs, "recovery"};
    ask.dropAfterUs = settings.overloadDurationUs;
    ask.dropFactor = DROP_FACTOR;
    ask.intervalUs = RECOVERY_RESOLUTION_US;
    const TTrialAnswer answer = runAttempts(trials, ask);
    if (trials.stopped()) {
        result.valid = false;
        result.note = "interrupted";
        return result;
    }
    result.valid = answer.valid;
    const TRecoveryTime time = recoveryTime(answer.intervals, ask.dropAfterUs, endUs);
    result.lostInOverload = time.lostBefore;
    result.lostAfterDrop = time.lostAfter;
    result.recovered = time.recovered;
    result.recoveryS = time.seconds;
    return result;
}
