#include "benchmark.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "config.h"
#include "fail.h"
#include "pacing.h"
#include "textparsing.h"

namespace {

constexpr double BITS_PER_BYTE = 8.0;
// A stream's achieved mean gap may be this share above its schedule's.
constexpr double SENT_SHARE = 0.99;
// A sender may fall behind its schedule by the larger of these: a burst of at most half a
// millisecond of frames at once, or four frames (a short queue holds them; a stall of a
// millisecond or more, which the pacing's catch-up allows, does not pass).
constexpr double LAG_BOUND_US = 500;
constexpr double LAG_BOUND_GAPS = 4;
// Trials shorter than this say little; longer than the sender's count can hold are refused.
constexpr std::uint32_t SHORTEST_TRIAL_US = 10000;
constexpr std::uint32_t LONGEST_TRIAL_US = 3600000000u;
constexpr std::int64_t NS_PER_US = 1000;
constexpr double LONGEST_SCALED_GAP_NS = 10e9;
constexpr std::uint32_t MOST_LEARNING_FRAMES = 100;
constexpr std::uint32_t MOST_REPETITIONS = 1000;
constexpr double US_PER_S = 1e6;

// A number written as decimal digits with at most one decimal point.
bool readNumber(const std::string& text, double& value) {
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(text.begin(), text.end(), '.') > 1 || text == ".") {
        return false;
    }
    value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value);
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A comma-separated list of numbers within minimum..maximum; false when any item is not.
bool readNumberList(const std::string& text, double minimum, double maximum,
                    std::vector<double>& values) {
    values.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        double value = 0;
        if (!readNumber(trimmed(text.substr(start, comma - start)), value) || value < minimum ||
            value > maximum) {
            return false;
        }
        values.push_back(value);
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

bool readFrameSizes(const std::string& text, std::vector<std::uint32_t>& sizes) {
    std::vector<double> values;
    if (!readNumberList(text, SMALLEST_BENCHMARK_FRAME, LARGEST_TAGGED_BENCHMARK_FRAME, values)) {
        return false;
    }
    sizes.clear();
    for (double value : values) {
        if (value != std::floor(value)) {
            return false;
        }
        sizes.push_back(static_cast<std::uint32_t>(value));
    }
    return true;
}

bool readPercent(const std::string& text, double minimum, double& value) {
    return readNumber(text, value) && value >= minimum && value <= 100.0;
}

// The name as the message shows it: the configuration key, with spaces.
std::string keyName(std::string name) {
    std::replace(name.begin(), name.end(), '-', ' ');
    return name;
}

} // namespace

TFrameSizeRange benchmarkFrameRange(const TFrameLayout& layout) {
    TFrameSizeRange range;
    range.smallest =
        std::max(SMALLEST_BENCHMARK_FRAME,
                 static_cast<std::uint32_t>(shortestFrame(layout, false) + FCS_LENGTH));
    range.largest =
        LARGEST_BENCHMARK_FRAME + static_cast<std::uint32_t>(layout.tags * VLAN_TAG_SIZE);
    return range;
}

std::uint64_t lineRateFps(double lineBps, double frameSize) {
    return static_cast<std::uint64_t>(
        std::floor(lineBps / (BITS_PER_BYTE * (frameSize + WIRE_OVERHEAD))));
}

double frameBitsPerSecond(double fps, double frameSize) {
    return fps * BITS_PER_BYTE * frameSize;
}

double wireBitsPerSecond(double fps, double frameSize) {
    return fps * BITS_PER_BYTE * (frameSize + WIRE_OVERHEAD);
}

double percentOfLine(double fps, double lineFps) {
    return lineFps > 0 ? fps / lineFps * 100.0 : std::numeric_limits<double>::quiet_NaN();
}

double rateScale(double targetFps, const std::vector<double>& meanGapsUs) {
    double baseFps = 0;
    for (double gap : meanGapsUs) {
        baseFps += 1e6 / gap;
    }
    return targetFps / baseFps;
}

std::int64_t scaledGapNs(std::uint32_t drawnUs, double scale) {
    if (std::isinf(scale)) {
        return 0;
    }
    const double gap = static_cast<double>(drawnUs) * NS_PER_US / scale;
    return static_cast<std::int64_t>(std::llround(std::min(gap, LONGEST_SCALED_GAP_NS)));
}

const char* const BENCHMARK_KEYS[12] = {"frame sizes",  "trial duration",  "final duration",
                                        "pdr loss",     "precision",       "latency loads",
                                        "line rate",    "learning frames", "exceed ratio",
                                        "duration sum", "width floor",     "repetitions"};

void applyBenchmarkSetting(TBenchmarkSettings& settings, const std::string& name,
                           const std::string& text) {
    const std::string key = keyName(name);
    const std::string value = trimmed(text);
    if (applyBenchmarkTestSetting(settings.further, key, value)) {
        return;
    }
    bool ok = false;
    double number = 0;
    if (key == "frame sizes") {
        ok = readFrameSizes(value, settings.frameSizes);
    } else if (key == "trial duration") {
        ok = readDecimal(value, SHORTEST_TRIAL_US, LONGEST_TRIAL_US, settings.trialDurationUs);
    } else if (key == "final duration") {
        ok = readDecimal(value, SHORTEST_TRIAL_US, LONGEST_TRIAL_US, settings.finalDurationUs);
    } else if (key == "pdr loss") {
        ok = readPercent(value, 0.0, settings.pdrLossPercent);
    } else if (key == "precision") {
        ok = readPercent(value, 0.01, number) && number <= 50.0;
        settings.precisionPercent = number;
    } else if (key == "latency loads") {
        ok = readNumberList(value, 0.1, 100.0, settings.latencyLoadsPercent);
    } else if (key == "learning frames") {
        ok = readDecimal(value, 0, MOST_LEARNING_FRAMES, settings.learningFrames);
    } else if (key == "exceed ratio") {
        // 100 % would let every load pass.
        ok = readPercent(value, 0.0, settings.exceedPercent) && settings.exceedPercent < 100.0;
    } else if (key == "duration sum") {
        std::uint32_t sum = 0;
        ok = readDecimal(value, SHORTEST_TRIAL_US, LONGEST_TRIAL_US, sum);
        settings.durationSumUs = sum;
    } else if (key == "width floor") {
        ok = readNumber(value, settings.widthFloorFps);
    } else if (key == "repetitions") {
        ok = readDecimal(value, 1, MOST_REPETITIONS, settings.repetitions);
    } else if (key == "line rate") {
        ok = readLineRate(value, number);
        settings.lineRateBps = number;
    }
    if (!ok) {
        fail("Neplatna hodnota " + key + ": " + text);
    }
}

std::vector<TSearchGoal> searchGoals(const TBenchmarkSettings& settings) {
    TSearchGoal ndr;
    ndr.exceedRatio = settings.exceedPercent / 100.0;
    ndr.finalDurationS = settings.finalDurationUs / US_PER_S;
    // Never less than one final trial: a shorter sum would decide on less than one.
    ndr.durationSumS =
        std::max(ndr.finalDurationS, settings.durationSumUs ? *settings.durationSumUs / US_PER_S
                                                            : 2 * ndr.finalDurationS);
    ndr.relativeWidth = settings.precisionPercent / 100.0;
    ndr.widthFloorFps = settings.widthFloorFps;
    TSearchGoal pdr = ndr;
    pdr.lossRatio = settings.pdrLossPercent / 100.0;
    return {ndr, pdr};
}

void applyBenchmarkKeys(TBenchmarkSettings& settings, const CConfig& config) {
    for (const char* key : BENCHMARK_KEYS) {
        if (config.hasKey(key, "")) {
            applyBenchmarkSetting(settings, key, config.getString(key, ""));
        }
    }
    for (const char* key : BENCHMARK_TEST_KEYS) {
        if (config.hasKey(key, "")) {
            applyBenchmarkSetting(settings, key, config.getString(key, ""));
        }
    }
}

bool readLineRate(const std::string& text, double& bps) {
    if (text.empty()) {
        return false;
    }
    double unit = 1;
    std::string digits = text;
    switch (text.back()) {
    case 'k':
        unit = 1e3;
        break;
    case 'M':
        unit = 1e6;
        break;
    case 'G':
        unit = 1e9;
        break;
    default:
        break;
    }
    if (unit != 1) {
        digits.pop_back();
    }
    double value = 0;
    if (!readNumber(digits, value) || value <= 0) {
        return false;
    }
    bps = value * unit;
    return true;
}

std::optional<double> lineRateFromSpeedText(const std::string& text) {
    std::string digits = text;
    while (!digits.empty() && isEndLine(digits.back())) {
        digits.pop_back();
    }
    double megabits = 0;
    if (!readNumber(digits, megabits) || megabits <= 0) {
        return std::nullopt;
    }
    return megabits * 1e6;
}

const char* verdictName(TTrialVerdict verdict) {
    switch (verdict) {
    case TTrialVerdict::valid:
        return nullptr;
    case TTrialVerdict::testerMaximum:
        return "tester maximum";
    case TTrialVerdict::senderBehind:
        return "sender behind schedule";
    case TTrialVerdict::refused:
        return "frames refused";
    case TTrialVerdict::queueDropped:
        return "queue dropped";
    case TTrialVerdict::interfaceDropped:
        return "interface dropped";
    case TTrialVerdict::backlogDropped:
        return "backlog dropped";
    case TTrialVerdict::captureDropped:
        return "capture dropped";
    case TTrialVerdict::countUnknown:
        return "count unknown";
    case TTrialVerdict::interrupted:
        return "interrupted";
    }
    return nullptr;
}

TTrialVerdict judgeTrial(const TTrialEvidence& evidence) {
    if (evidence.interrupted) {
        return TTrialVerdict::interrupted;
    }
    if (!evidence.countsKnown) {
        return TTrialVerdict::countUnknown;
    }
    if (evidence.refused > 0) {
        return TTrialVerdict::refused;
    }
    // Frames a queue discipline held back over its rate still left: they spoil a trial only
    // when it lost frames, as the burst after the hold may have caused the loss.
    if (evidence.testerDrops.queueDrops > 0 ||
        (evidence.lost && evidence.testerDrops.queueOverlimits > 0)) {
        return TTrialVerdict::queueDropped;
    }
    if (evidence.testerDrops.interfaceDrops > 0) {
        return TTrialVerdict::interfaceDropped;
    }
    if (evidence.testerDrops.backlogDrops > 0) {
        return TTrialVerdict::backlogDropped;
    }
    if (evidence.captureDropped > 0) {
        return TTrialVerdict::captureDropped;
    }
    if (!evidence.schedulesKept || (evidence.lost && evidence.largestLagUs > evidence.lagBoundUs) ||
        evidence.sent < evidence.scheduled) {
        return TTrialVerdict::senderBehind;
    }
    return TTrialVerdict::valid;
}

double scheduleLagBoundUs(double meanGapUs) {
    return std::max(LAG_BOUND_US, LAG_BOUND_GAPS * meanGapUs);
}

double scheduledLossPercent(std::uint64_t sent, std::uint64_t scheduled, std::uint64_t received) {
    const double required = static_cast<double>(std::max(sent, scheduled));
    if (required <= 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return (required - static_cast<double>(received)) / required * 100.0;
}

bool achievedSchedule(const TOfferedGaps& offered) {
    return offered.gaps > 0 && gapsKeptPace(offered);
}

TTrialFigures combineResults(const std::vector<TResult>& results) {
    TTrialFigures figures;
    figures.minDelay = 0xFFFFFFFFu;
    figures.minDelayNs = INT64_MAX;
    figures.maxDelayNs = INT64_MIN;
    double delaySum = 0;
    for (const TResult& result : results) {
        figures.sent += result.sent;
        figures.scheduled += std::max(result.sent, result.scheduled);
        figures.received += result.received;
        if (result.offered.gaps > 0 && result.offered.meanGapUs > 0) {
            figures.achievedFps += 1e6 / result.offered.meanGapUs;
        }
        // The delays of the frames that gave one: with sampled send stamps, fewer than received.
        if (result.delayCount > 0) {
            figures.minDelay = std::min(figures.minDelay, result.minDelay);
            figures.maxDelay = std::max(figures.maxDelay, result.maxDelay);
            figures.minDelayNs = std::min(figures.minDelayNs, result.minDelayNs);
            figures.maxDelayNs = std::max(figures.maxDelayNs, result.maxDelayNs);
            delaySum += result.meanDelayNs * static_cast<double>(result.delayCount);
            figures.delayCount += result.delayCount;
        }
        figures.jitter = std::max(figures.jitter, result.jitter);
        figures.delays.merge(result.delays);
        figures.numbered = figures.numbered || result.numbered;
        figures.duplicates += result.sequence.duplicates;
        figures.reordered += result.sequence.reordered;
        figures.stamps.source = result.stamps.source;
        figures.stamps.every = result.stamps.every;
        figures.stamps.expected += result.stamps.expected;
        figures.stamps.missing += result.stamps.missing;
        figures.stamps.lags.merge(result.stamps.lags);
    }
    const double delayed = static_cast<double>(figures.delayCount);
    figures.meanDelayNs = delayed > 0 ? delaySum / delayed : 0;
    figures.meanDelay = figures.meanDelayNs / 1000.0;
    // Pooled: each stream's variance about its own mean plus its mean's distance from the whole.
    double spread = 0;
    for (const TResult& result : results) {
        if (result.delayCount > 0) {
            const double offset = (result.meanDelayNs - figures.meanDelayNs) / 1000.0;
            spread += static_cast<double>(result.delayCount) *
                      (result.delayVarianceNs / 1e6 + offset * offset);
        }
    }
    figures.delayVariance = delayed > 0 ? spread / delayed : 0;
    // Against the frames the schedules required: a sender that fell short does not make the
    // device look better.
    figures.lossPercent = scheduledLossPercent(figures.sent, figures.scheduled, figures.received);
    return figures;
}

std::optional<TRfc8219Latency> rfc8219Latency(const TTrialFigures& figures) {
    if (figures.delayCount == 0) {
        return std::nullopt;
    }
    const TPercentiles percentiles = figures.delays.percentiles();
    TRfc8219Latency latency;
    latency.minNs = static_cast<double>(figures.minDelayNs);
    latency.maxNs = static_cast<double>(figures.maxDelayNs);
    latency.medianNs = percentiles.p50;
    latency.p99_9Ns = percentiles.p99_9;
    latency.pdvNs = latency.p99_9Ns - latency.minNs;
    return latency;
}

TResult asResult(const TTrialFigures& figures) {
    TResult result;
    result.stream = 1;
    result.sent = figures.scheduled;
    result.received = figures.received;
    result.loss = static_cast<float>(figures.lossPercent);
    result.minDelay = figures.minDelay;
    result.maxDelay = figures.maxDelay;
    result.avgDelay = static_cast<float>(figures.meanDelay);
    result.delayVariance = static_cast<float>(figures.delayVariance);
    result.delays = figures.delays;
    result.jitter = figures.jitter;
    result.delayCount = figures.delayCount;
    result.minDelayNs = figures.minDelayNs;
    result.maxDelayNs = figures.maxDelayNs;
    result.meanDelayNs = figures.meanDelayNs;
    result.delayVarianceNs = figures.delayVariance * 1e6;
    result.stamps = figures.stamps;
    return result;
}
