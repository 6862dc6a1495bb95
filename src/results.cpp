#include "results.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "benchmark.h"

namespace {

// Keys in the order the documentation lists them.
using Json = nlohmann::ordered_json;

const char* const SCHEMA = "trafficgen-results/1";

// A number, or null for NaN and the infinities, which JSON cannot hold.
Json number(double value) {
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

// A single-precision figure with the fewest digits that read back as the same float: 58.7
// rather than 58.70000076293945, the double nearest to the float.
Json number(float value) {
    if (!std::isfinite(value)) {
        return nullptr;
    }
    char text[32] = {};
    std::to_chars(text, text + sizeof text - 1, value);
    return Json(std::strtod(text, nullptr));
}

Json interfaceObject(const TInterfaceDescription& interface) {
    return {{"name", interface.name},
            {"mac", interface.mac.empty() ? Json(nullptr) : Json(interface.mac)},
            {"ipv4", interface.ipv4.empty() ? Json(nullptr) : Json(interface.ipv4)}};
}

Json distributionObject(const std::optional<TDistributionDescription>& distribution) {
    if (!distribution) {
        return nullptr;
    }
    Json parameters = Json::object();
    for (const auto& [name, value] : distribution->parameters) {
        parameters[name] = number(value);
    }
    return {{"distribution", distribution->name}, {"parameters", parameters}};
}

Json vlanObject(const std::optional<TVlanDescription>& vlan) {
    return vlan ? Json{{"id", vlan->id}, {"priority", vlan->priority}} : Json(nullptr);
}

Json framesObject(const TStreamFramesDescription& frames) {
    const Json none = nullptr;
    return {{"vlan", vlanObject(frames.vlan)},
            {"outer_vlan", vlanObject(frames.outerVlan)},
            {"ip_version", frames.ipVersion},
            {"flow_label", frames.flowLabel ? Json(*frames.flowLabel) : none},
            {"source_ip", frames.sourceIp},
            {"source_ip_count", frames.sourceIpCount},
            {"destination_ip", frames.destinationIp},
            {"destination_ip_count", frames.destinationIpCount},
            {"source_ports", {frames.sourcePorts[0], frames.sourcePorts[1]}},
            {"destination_ports", {frames.destinationPorts[0], frames.destinationPorts[1]}},
            {"flow_order", frames.flowOrder},
            {"flows", frames.flows},
            {"next_hop", frames.nextHop ? Json(*frames.nextHop) : none},
            {"destination_mac", frames.destinationMac}};
}

Json testObject(const TTestDescription& test) {
    Json streams = Json::array();
    for (const TStreamDescription& stream : test.streams) {
        streams.push_back({{"stream", stream.stream},
                           {"tos", stream.tos},
                           {"size", distributionObject(stream.size)},
                           {"time", distributionObject(stream.time)}});
        if (stream.frames) {
            streams.back()["frames"] = framesObject(*stream.frames);
        }
    }
    Json object = {{"operation", test.operation},
                   {"sending_interface", interfaceObject(test.sending)},
                   {"receiving_interface", interfaceObject(test.receiving)},
                   {"destination_mac", test.destinationMac},
                   {"source_mac", test.sourceMac},
                   {"duration_us", test.durationUs},
                   {"cycles", test.cycles},
                   {"confidence_probability", number(test.confidenceProbability)},
                   {"quantile", number(test.quantile)},
                   {"loss_timeout_us", test.lossTimeoutUs}};
    // Settings of further opt-in features: one line each here, only when set.
    if (test.pacing) {
        object["pacing"] = *test.pacing;
    }
    if (test.sendPath) {
        object["send_path"] = *test.sendPath;
    }
    if (test.sendPathMode) {
        object["send_path_mode"] = *test.sendPathMode;
    }
    if (test.sendPathFallback) {
        object["send_path_fallback"] = *test.sendPathFallback;
    }
    if (test.seed) {
        object["seed"] = *test.seed;
    }
    if (test.sequenceNumbers) {
        object["sequence_numbers"] = *test.sequenceNumbers;
    }
    if (test.stampSource) {
        object["stamp_source"] = *test.stampSource;
    }
    if (test.stampSourceFallback) {
        object["stamp_source_fallback"] = *test.stampSourceFallback;
    }
    if (test.intervalMs) {
        object["interval_ms"] = *test.intervalMs;
    }
    object["streams"] = streams;
    return object;
}

void putPercentiles(Json& object, const TPercentiles& percentiles) {
    object["p50"] = number(percentiles.p50);
    object["p90"] = number(percentiles.p90);
    object["p99"] = number(percentiles.p99);
    object["p99_9"] = number(percentiles.p99_9);
    object["p99_99"] = number(percentiles.p99_99);
}

Json cycleDelayObject(const TStreamCycleFigures& figures) {
    Json delay = {{"min", figures.minDelay},
                  {"max", figures.maxDelay},
                  {"mean", number(figures.meanDelay)},
                  {"variance", number(figures.delayVariance)}};
    putPercentiles(delay, figures.percentiles);
    delay["jitter"] = number(figures.jitter);
    if (figures.received == 0) {
        // Without a frame the row's delays are placeholders (4294967295, 0, 0.000, nan).
        for (Json& value : delay) {
            value = nullptr;
        }
    }
    return delay;
}

Json nanosecondDelayObject(const TNanosecondDelays& delays) {
    Json delay = {{"min", delays.min},
                  {"max", delays.max},
                  {"mean", number(delays.mean)},
                  {"variance", number(delays.variance)}};
    putPercentiles(delay, delays.percentiles);
    delay["jitter"] = number(delays.jitter);
    if (!delays.known) {
        for (Json& value : delay) {
            value = nullptr;
        }
    }
    return delay;
}

Json sendStampObject(const TSendStampReport& stamps) {
    const Json none = nullptr;
    return {{"every", stamps.every},
            {"expected", stamps.expected},
            {"missing", stamps.missing},
            {"lag_ns",
             {{"p50", stamps.lagKnown ? number(stamps.lagP50Ns) : none},
              {"p99", stamps.lagKnown ? number(stamps.lagP99Ns) : none},
              {"max", stamps.lagKnown ? number(stamps.lagMaxNs) : none}}}};
}

// Without two departures there is no gap to average: both means are null then.
Json offeredObject(const TOfferedGaps& offered) {
    const Json none = nullptr;
    return {{"mean_gap_us", offered.gaps > 0 ? number(offered.meanGapUs) : none},
            {"drawn_mean_gap_us", offered.gaps > 0 ? number(offered.drawnMeanGapUs) : none},
            {"restarts", offered.restarts}};
}

// What the sequence numbers told, into a stream's object; the mean episode is null without one.
void putSequenceCounts(Json& object, const TSequenceCounts& counts) {
    const Json none = nullptr;
    const double mean = counts.lossEpisodes > 0 ? static_cast<double>(counts.lostInEpisodes) /
                                                      static_cast<double>(counts.lossEpisodes)
                                                : 0.0;
    object["duplicates"] = counts.duplicates;
    object["reordered"] = counts.reordered;
    object["reorder_extent_max"] = counts.reorderExtentMax;
    object["late"] = counts.late;
    object["loss_episodes"] = {{"count", counts.lossEpisodes},
                               {"mean_length", counts.lossEpisodes > 0 ? Json(mean) : none},
                               {"max_length", counts.longestLossEpisode}};
}

Json intervalsArray(const std::vector<TIntervalFigures>& intervals) {
    const Json none = nullptr;
    Json array = Json::array();
    for (const TIntervalFigures& interval : intervals) {
        const bool delays = interval.received > 0;
        array.push_back({{"start_ms", static_cast<double>(interval.startUs) / 1000.0},
                         {"length_us", interval.lengthUs},
                         {"sent", interval.sentKnown ? Json(interval.sent) : none},
                         {"received", interval.received},
                         {"loss_percent", number(intervalLossPercent(interval))},
                         {"rate_bps", number(intervalRateBps(interval))},
                         {"delay_us",
                          {{"min", delays ? Json(interval.minDelay) : none},
                           {"p50", delays ? number(interval.p50) : none},
                           {"p99", delays ? number(interval.p99) : none},
                           {"max", delays ? Json(interval.maxDelay) : none},
                           {"jitter", delays ? number(interval.jitter) : none}}}});
    }
    return array;
}

Json cycleObject(const TCycleFigures& cycle) {
    Json streams = Json::array();
    for (const TStreamCycleFigures& figures : cycle.streams) {
        // Rates as the table has them: MB/s of 2^20 bytes, and the same rate in bits per second.
        const double bitsPerSecond = static_cast<double>(figures.throughput) * 8.0 * 1048576.0;
        streams.push_back({{"stream", figures.stream},
                           {"sent", figures.sent ? Json(*figures.sent) : Json(nullptr)},
                           {"received", figures.received},
                           {"refused", figures.refused},
                           {"stragglers", figures.stragglers},
                           {"loss_percent", number(figures.loss)},
                           {"throughput_MBps", number(figures.throughput)},
                           {"throughput_bps", number(bitsPerSecond)},
                           {"delay_us", cycleDelayObject(figures)},
                           {"delay_ns", nanosecondDelayObject(figures.delayNs)},
                           {"stamp_source", figures.stampSource}});
        if (figures.sendStamps) {
            streams.back()["send_stamps"] = sendStampObject(*figures.sendStamps);
        }
        if (figures.offered) {
            streams.back()["offered"] = offeredObject(*figures.offered);
        }
        if (figures.sequence) {
            putSequenceCounts(streams.back(), *figures.sequence);
        }
        if (figures.receivedTagged) {
            streams.back()["received_tagged"] = *figures.receivedTagged;
            streams.back()["received_untagged"] = figures.receivedUntagged.value_or(0);
        }
        if (figures.intervals) {
            streams.back()["intervals"] = intervalsArray(*figures.intervals);
        }
    }
    Json object = {{"cycle", cycle.cycle}, {"capture_dropped", cycle.captureDropped}};
    if (cycle.seed) {
        object["seed"] = *cycle.seed;
    }
    object["streams"] = streams;
    return object;
}

Json intervalArray(const TInterval& interval) {
    return Json::array({number(interval.lower), number(interval.upper)});
}

Json optionalInterval(const std::optional<TInterval>& interval) {
    return interval ? intervalArray(*interval) : Json(nullptr);
}

Json statisticsObject(const TStreamStatistics& statistics) {
    Json loss = {{"min", number(statistics.minLoss)},
                 {"max", number(statistics.maxLoss)},
                 {"mean", number(statistics.meanLoss)},
                 {"ci", intervalArray(statistics.lossInterval)}};
    loss["ci_over_cycles"] = optionalInterval(statistics.lossOverCycles);
    const Json none = nullptr;
    Json delay = {{"min", statistics.delaysKnown ? Json(statistics.lowestDelay) : none},
                  {"max", statistics.delaysKnown ? Json(statistics.highestDelay) : none},
                  {"mean", number(statistics.meanDelay)},
                  {"variance", number(statistics.meanDelayVariance)},
                  {"ci", intervalArray(statistics.delayInterval)}};
    delay["ci_over_cycles"] = optionalInterval(statistics.delayOverCycles);
    putPercentiles(delay, statistics.percentiles);
    Json delayNs = nanosecondDelayObject(statistics.delayNs);
    delayNs.erase("jitter");
    delayNs["ci_over_cycles"] = optionalInterval(statistics.delayNsOverCycles);
    Json object = {{"stream", statistics.stream},
                   {"loss_percent", loss},
                   {"delay_us", delay},
                   {"delay_ns", delayNs}};
    if (statistics.sequence) {
        object["received"] = statistics.received;
        putSequenceCounts(object, *statistics.sequence);
    }
    return object;
}

// A frame rate, none when it is not known.
Json optionalNumber(const std::optional<double>& value) {
    return value ? number(*value) : Json(nullptr);
}

Json delayFiguresObject(const TDelayFigures& figures) {
    Json delay = {{"min", figures.min},
                  {"max", figures.max},
                  {"mean", number(figures.mean)},
                  {"variance", number(figures.variance)}};
    putPercentiles(delay, figures.percentiles);
    delay["jitter"] = number(figures.jitter);
    if (!figures.known) {
        for (Json& value : delay) {
            value = nullptr;
        }
    }
    return delay;
}

// The rate in frames/s, and its lower end also in bit/s of the frames, on the wire and in % of
// the line rate (null without one).
Json spreadObject(const std::optional<TSpread>& spread) {
    if (!spread) {
        return nullptr;
    }
    return {{"min", number(spread->min)},
            {"median", number(spread->median)},
            {"max", number(spread->max)}};
}

Json rateObject(const TBenchmarkRate& rate, const TBenchmarkSize& size) {
    const double lineFps = size.lineRateFps ? static_cast<double>(*size.lineRateFps) : 0;
    const Json goal = {{"loss_percent", number(rate.goalLossPercent)},
                       {"exceed_percent", number(rate.goalExceedPercent)},
                       {"final_duration_s", number(rate.goalFinalDurationS)},
                       {"duration_sum_s", number(rate.goalDurationSumS)},
                       {"width_percent", number(rate.goalWidthPercent)},
                       {"width_floor_fps", number(rate.goalWidthFloorFps)}};
    return {{"lower_fps", number(rate.lowerFps)},
            {"upper_fps", number(rate.upperFps)},
            {"limited_by", rate.limitedBy},
            {"lower_bps", number(frameBitsPerSecond(rate.lowerFps, size.meanFrameSize))},
            {"lower_wire_bps", number(wireBitsPerSecond(rate.lowerFps, size.meanFrameSize))},
            {"lower_line_percent", number(percentOfLine(rate.lowerFps, lineFps))},
            {"goal", goal},
            {"width_percent", number(rate.widthReachedPercent)},
            {"complete", rate.complete},
            {"cut_off_by", rate.cutOffBy.empty() ? Json(nullptr) : Json(rate.cutOffBy)},
            {"search_trials", rate.searchTrials},
            {"search_time_s", number(rate.searchSeconds)},
            {"lower_fps_repeated", spreadObject(rate.lowerRepeated)},
            {"upper_fps_repeated", spreadObject(rate.upperRepeated)}};
}

// The delays' nanosecond twin and where they were stamped, into a trial's or a load's object.
void putStampedDelays(Json& object, const TDelayFigures& delay) {
    object["delay_ns"] = nanosecondDelayObject(delay.ns);
    object["stamp_source"] = delay.stampSource;
    if (delay.sendStamps) {
        object["send_stamps"] = sendStampObject(*delay.sendStamps);
    }
}

Json trialObject(const TBenchmarkTrial& trial) {
    Json object = {{"trial", trial.trial},
                   {"phase", trial.phase},
                   {"target_fps", number(trial.targetFps)},
                   {"duration_us", trial.durationUs},
                   {"achieved_fps", number(trial.achievedFps)},
                   {"sent", trial.sent},
                   {"scheduled", trial.scheduled},
                   {"received", trial.received},
                   {"loss_percent", number(trial.lossPercent)},
                   {"duplicates", trial.duplicates ? Json(*trial.duplicates) : Json(nullptr)},
                   {"reordered", trial.reordered ? Json(*trial.reordered) : Json(nullptr)},
                   {"delay_us", delayFiguresObject(trial.delay)},
                   {"tester_drops",
                    {{"queue", trial.queueDrops},
                     {"queue_overlimits", trial.queueOverlimits},
                     {"interface", trial.interfaceDrops},
                     {"backlog", trial.backlogDrops}}},
                   {"largest_lag_us", number(trial.largestLagUs)},
                   {"valid", trial.invalidReason == nullptr},
                   {"invalid_reason",
                    trial.invalidReason != nullptr ? Json(trial.invalidReason) : Json(nullptr)}};
    putStampedDelays(object, trial.delay);
    if (!trial.intervals.empty()) {
        Json streams = Json::array();
        for (std::size_t k = 0; k < trial.intervals.size(); ++k) {
            streams.push_back(
                {{"stream", k + 1}, {"intervals", intervalsArray(trial.intervals[k])}});
        }
        object["intervals"] = streams;
    }
    return object;
}

Json latencyObject(const TBenchmarkLatency& latency) {
    Json object = {{"load_percent", number(latency.loadPercent)},
                   {"offered_fps", number(latency.offeredFps)},
                   {"achieved_fps", number(latency.achievedFps)},
                   {"loss_percent", number(latency.lossPercent)},
                   {"delay_us", delayFiguresObject(latency.delay)},
                   {"valid", latency.valid}};
    putStampedDelays(object, latency.delay);
    if (latency.rfc8219) {
        const TRfc8219Latency& figures = *latency.rfc8219;
        object["rfc8219"] = {{"min_ns", number(figures.minNs)},
                             {"median_ns", number(figures.medianNs)},
                             {"p99_9_ns", number(figures.p99_9Ns)},
                             {"max_ns", number(figures.maxNs)},
                             {"pdv_ns", number(figures.pdvNs)}};
    }
    if (latency.statistics) {
        const Json statistics = statisticsObject(*latency.statistics);
        object["statistics"] = {{"loss_percent", statistics["loss_percent"]},
                                {"delay_us", statistics["delay_us"]}};
    }
    return object;
}

Json topObject(const TTopRate& top) {
    return {{"fps", number(top.fps)}, {"is", top.lineRate ? "line rate" : "tester maximum"}};
}

Json frameLossObject(const TFrameLossResult& result) {
    Json steps = Json::array();
    for (const TFrameLossStep& step : result.steps) {
        steps.push_back({{"percent", number(step.percent)},
                         {"offered_fps", number(step.offeredFps)},
                         {"achieved_fps", number(step.achievedFps)},
                         {"sent", step.sent},
                         {"received", step.received},
                         {"loss_percent", number(step.lossPercent)},
                         {"valid", step.valid}});
    }
    return {{"top", topObject(result.top)},
            {"duration_us", result.durationUs},
            {"steps", steps},
            {"time_s", number(result.seconds)}};
}

Json backToBackObject(const TBackToBackResult& result) {
    return {{"top", topObject(result.top)},
            {"throughput_fps", number(result.throughputFps)},
            {"longest_burst", result.longestBurst},
            {"bursts", result.bursts},
            {"average_burst", number(result.averageBurst)},
            {"implied_buffer_s", number(result.impliedBufferS)},
            {"corrected_buffer_s", number(result.correctedBufferS)},
            {"longest_passed", result.longestPassed},
            {"tester_limited", result.testerLimited},
            {"trials", result.trials},
            {"time_s", number(result.seconds)}};
}

Json recoveryObject(const TRecoveryResult& result) {
    return {{"throughput_fps", number(result.throughputFps)},
            {"overload_fps", number(result.overloadFps)},
            {"overload_capped", result.overloadCapped},
            {"low_fps", number(result.lowFps)},
            {"overload_us", result.overloadUs},
            {"low_us", result.lowUs},
            {"resolution_us", result.resolutionUs},
            {"lost_in_overload", result.lostInOverload},
            {"lost_after_drop", result.lostAfterDrop},
            {"recovered", result.recovered},
            {"recovery_s", number(result.recoveryS)},
            {"valid", result.valid},
            {"not_run", result.note.empty() ? Json(nullptr) : Json(result.note)}};
}

// Only the further tests that ran, so that a benchmark without them keeps its document.
void putFurtherTests(Json& object, const TBenchmarkSize& size) {
    if (size.frameLoss) {
        object["frame_loss"] = frameLossObject(*size.frameLoss);
    }
    if (size.backToBack) {
        object["back_to_back"] = backToBackObject(*size.backToBack);
    }
    if (size.recovery) {
        object["recovery"] = recoveryObject(*size.recovery);
    }
}

Json sizeObject(const TBenchmarkSize& size) {
    Json latency = Json::array();
    for (const TBenchmarkLatency& entry : size.latency) {
        latency.push_back(latencyObject(entry));
    }
    Json trials = Json::array();
    for (const TBenchmarkTrial& trial : size.trials) {
        trials.push_back(trialObject(trial));
    }
    Json object = {{"frame_size", size.frameSize ? Json(*size.frameSize) : Json(nullptr)},
                   {"mean_frame_size", number(size.meanFrameSize)},
                   {"line_rate_fps", size.lineRateFps ? Json(*size.lineRateFps) : Json(nullptr)},
                   {"tester_maximum_fps", optionalNumber(size.testerMaximumFps)},
                   {"ndr", rateObject(size.ndr, size)},
                   {"pdr", rateObject(size.pdr, size)},
                   {"latency", latency},
                   {"trials", trials}};
    putFurtherTests(object, size);
    return object;
}

// The verdict on the expected rates, with each size's.
Json rateVerdictsObject(const TBenchmarkResults& benchmark) {
    Json sizes = Json::array();
    for (const TRateVerdict& rate : benchmark.rateVerdicts) {
        sizes.push_back({{"frame_size", rate.frameSize ? Json(*rate.frameSize) : Json(nullptr)},
                         {"expected_fps", number(rate.expectedFps)},
                         {"found_fps", number(rate.foundFps)},
                         {"limited_by", rate.limitedBy},
                         {"verdict", verdictText(rate.verdict)}});
    }
    return {{"sizes", sizes},
            {"verdict", verdictText(*benchmark.verdict)},
            {"exit_status", exitStatusOf(*benchmark.verdict)}};
}

Json benchmarkObject(const TBenchmarkResults& benchmark) {
    Json sizes = Json::array();
    for (const TBenchmarkSize& size : benchmark.sizes) {
        sizes.push_back(sizeObject(size));
    }
    Json loads = Json::array();
    for (double load : benchmark.latencyLoadsPercent) {
        loads.push_back(number(load));
    }
    Json object = {{"line_rate_bps", optionalNumber(benchmark.lineRateBps)},
                   {"trial_duration_us", benchmark.trialDurationUs},
                   {"final_duration_us", benchmark.finalDurationUs},
                   {"pdr_loss_percent", number(benchmark.pdrLossPercent)},
                   {"precision_percent", number(benchmark.precisionPercent)},
                   {"latency_loads_percent", loads},
                   {"settle_us", benchmark.settleUs},
                   {"total_time_s", number(benchmark.totalSeconds)},
                   {"sizes", sizes}};
    if (!benchmark.tests.empty()) {
        object["tests"] = benchmark.tests;
    }
    if (benchmark.verdict) {
        object["expected_rates"] = rateVerdictsObject(benchmark);
    }
    return object;
}

Json optionalDelay(const std::optional<double>& value) {
    return value ? number(*value) : Json(nullptr);
}

Json stepFiguresObject(const TStepFigures& figures, double loadBps) {
    const Json none = nullptr;
    return {{"offered_bps", number(loadBps)},
            {"load_kept", figures.loadKept},
            {"sent", figures.sent},
            {"received", figures.received},
            {"loss_percent", number(lossPercentOf(figures))},
            {"received_bps", number(figures.receivedBps)},
            {"ftd_us", figures.delaysKnown ? number(figures.meanDelayUs) : none},
            {"fdv_us", figures.delaysKnown ? number(figures.fdvUs) : none}};
}

void putVerdict(Json& object, const TStepVerdict& verdict) {
    object["verdict"] = verdictText(verdict.verdict);
    object["failure"] = verdict.failure.empty() ? Json(nullptr) : Json(verdict.failure);
}

const char* stepKindName(TStepKind kind) {
    switch (kind) {
    case TStepKind::cirAndEir:
        return "cir+eir";
    case TStepKind::overshoot:
        return "overshoot";
    case TStepKind::cir:
        break;
    }
    return "cir";
}

Json serviceObject(const TServiceTestResults& test, std::size_t index) {
    const TService& service = test.services[index];
    Json steps = Json::array();
    for (const TServiceStepResult& step : test.steps) {
        if (step.stream != service.stream) {
            continue;
        }
        Json object = {
            {"step", stepKindName(step.kind)},
            {"percent", step.kind == TStepKind::cir ? number(step.percent) : Json(nullptr)}};
        object.update(stepFiguresObject(step.figures, step.loadBps));
        putVerdict(object, step.verdict);
        steps.push_back(object);
    }
    Json performance = nullptr;
    for (const TServicePerformanceResult& result : test.performance) {
        if (result.stream != service.stream) {
            continue;
        }
        performance = stepFiguresObject(result.figures, service.cirBps);
        performance["seconds"] = result.availability.seconds;
        performance["severely_errored_seconds"] = result.availability.severelyErrored;
        performance["unavailable_seconds"] = result.availability.unavailable;
        performance["availability_percent"] = number(result.availability.availabilityPercent);
        putVerdict(performance, result.verdict);
        performance["intervals"] = intervalsArray(result.seconds);
    }
    const TServiceCriteria& criteria = service.criteria;
    return {{"stream", service.stream},
            {"cir_bps", number(service.cirBps)},
            {"eir_bps", number(service.eirBps)},
            {"criteria",
             {{"flr_percent", number(criteria.flrPercent)},
              {"ftd_us", optionalDelay(criteria.ftdUs)},
              {"fdv_us", optionalDelay(criteria.fdvUs)},
              {"availability_percent", number(criteria.availabilityPercent)}}},
            {"configuration", steps},
            {"performance", performance},
            {"verdict", index < test.serviceVerdicts.size()
                            ? Json(verdictText(test.serviceVerdicts[index]))
                            : Json(nullptr)}};
}

Json serviceTestObject(const TServiceTestResults& test) {
    Json steps = Json::array();
    for (double percent : test.settings.stepsPercent) {
        steps.push_back(number(percent));
    }
    Json services = Json::array();
    for (std::size_t i = 0; i < test.services.size(); ++i) {
        services.push_back(serviceObject(test, i));
    }
    return {{"steps_percent", steps},
            {"step_duration_us", test.settings.stepDurationUs},
            {"performance_duration_s", test.settings.performanceDurationS},
            {"fdv_percentile", number(test.settings.fdvPercentile)},
            {"overshoot_percent", number(test.settings.overshootPercent)},
            {"policing_tolerance_percent", number(test.settings.policingTolerancePercent)},
            {"total_time_s", number(test.totalSeconds)},
            {"services", services},
            {"verdict", verdictText(test.verdict)},
            {"exit_status", exitStatusOf(test.verdict)}};
}

} // namespace

std::string isoUtcTime(std::time_t time) {
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string resultsDocument(const TRunResults& results) {
    Json document = {{"schema", SCHEMA},
                     {"version", TRAFFICGEN_VERSION},
                     {"started", isoUtcTime(results.started)},
                     {"ended", isoUtcTime(results.ended)},
                     {"interrupted", results.interrupted},
                     {"test", testObject(results.test)}};
    Json cycles = Json::array();
    for (const TCycleFigures& cycle : results.cycles) {
        cycles.push_back(cycleObject(cycle));
    }
    document["cycles"] = cycles;
    // A benchmark's statistics are those of its latency trials, in its own section.
    if (results.test.cycles > 1 && !results.benchmark) {
        Json statistics = Json::array();
        for (const TStreamStatistics& stream : results.statistics) {
            statistics.push_back(statisticsObject(stream));
        }
        document["statistics"] = statistics;
    }
    if (results.benchmark) {
        document["benchmark"] = benchmarkObject(*results.benchmark);
    }
    if (results.serviceTest) {
        document["service_test"] = serviceTestObject(*results.serviceTest);
    }
    return document.dump(2) + "\n";
}
