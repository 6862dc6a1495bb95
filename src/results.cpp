#include "results.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

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

Json testObject(const TTestDescription& test) {
    Json streams = Json::array();
    for (const TStreamDescription& stream : test.streams) {
        streams.push_back({{"stream", stream.stream},
                           {"tos", stream.tos},
                           {"size", distributionObject(stream.size)},
                           {"time", distributionObject(stream.time)}});
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
    if (test.seed) {
        object["seed"] = *test.seed;
    }
    if (test.sequenceNumbers) {
        object["sequence_numbers"] = *test.sequenceNumbers;
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
                           {"delay_us", cycleDelayObject(figures)}});
        if (figures.offered) {
            streams.back()["offered"] = offeredObject(*figures.offered);
        }
        if (figures.sequence) {
            putSequenceCounts(streams.back(), *figures.sequence);
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

Json statisticsObject(const TStreamStatistics& statistics) {
    Json loss = {{"min", number(statistics.minLoss)},
                 {"max", number(statistics.maxLoss)},
                 {"mean", number(statistics.meanLoss)},
                 {"ci", intervalArray(statistics.lossInterval)}};
    const Json none = nullptr;
    Json delay = {{"min", statistics.delaysKnown ? Json(statistics.lowestDelay) : none},
                  {"max", statistics.delaysKnown ? Json(statistics.highestDelay) : none},
                  {"mean", number(statistics.meanDelay)},
                  {"variance", number(statistics.meanDelayVariance)},
                  {"ci", intervalArray(statistics.delayInterval)}};
    putPercentiles(delay, statistics.percentiles);
    Json object = {{"stream", statistics.stream}, {"loss_percent", loss}, {"delay_us", delay}};
    if (statistics.sequence) {
        object["received"] = statistics.received;
        putSequenceCounts(object, *statistics.sequence);
    }
    return object;
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
    if (results.test.cycles > 1) {
        Json statistics = Json::array();
        for (const TStreamStatistics& stream : results.statistics) {
            statistics.push_back(statisticsObject(stream));
        }
        document["statistics"] = statistics;
    }
    return document.dump(2) + "\n";
}
