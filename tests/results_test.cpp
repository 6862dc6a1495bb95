#include "atomicfile.h"
#include "results.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using nlohmann::json;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInfinity = std::numeric_limits<float>::infinity();

TStreamCycleFigures figures(std::uint32_t stream, std::uint32_t received,
                            std::optional<std::uint32_t> sent, float loss) {
    TStreamCycleFigures row;
    row.stream = stream;
    row.received = received;
    row.sent = sent;
    row.loss = loss;
    row.throughput = 1.5f;
    row.minDelay = 3;
    row.maxDelay = 40;
    row.meanDelay = 7.25f;
    row.delayVariance = 2.0f;
    row.percentiles = {5, 9, 30, 40, 40};
    row.jitter = 0.75;
    return row;
}

TRunResults twoCycles() {
    TRunResults run;
    run.started = 1800000000;
    run.ended = 1800000003;
    run.test.operation = 2;
    run.test.cycles = 2;
    run.test.streams = {{1, 184,
                         TDistributionDescription{"normal", {{"mean", 800}, {"variance", 200}}},
                         TDistributionDescription{"constant", {{"value", 1000}}}, std::nullopt}};
    run.cycles = {{1, 0, {figures(1, 33, 80u, 58.7f)}, std::nullopt},
                  {2, 4, {figures(1, 0, std::nullopt, kNaN)}, std::nullopt}};
    run.cycles[1].streams[0].throughput = kInfinity;
    run.cycles[1].streams[0].stragglers = 12;
    TStreamStatistics statistics;
    statistics.stream = 1;
    statistics.meanDelayVariance = kNaN;
    run.statistics = {statistics};
    return run;
}

std::string scratchDirectory() {
    char name[] = "/tmp/results_test.XXXXXX";
    return mkdtemp(name);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(ResultsDocument, NumbersExactNoValueAsNullStatisticsOnlyOverSeveralCycles) {
    TRunResults run = twoCycles();
    const json document = json::parse(resultsDocument(run));
    EXPECT_EQ(document["schema"], "trafficgen-results/1");
    EXPECT_EQ(document["started"], "2027-01-15T08:00:00Z");
    EXPECT_EQ(document["test"]["streams"][0]["size"]["parameters"]["variance"], 200.0);
    EXPECT_TRUE(document["test"]["streams"][0]["time"]["parameters"].contains("value"));

    const json& first = document["cycles"][0]["streams"][0];
    // The float the table rounds to 58.7, in the fewest digits that give it back.
    EXPECT_EQ(first["loss_percent"].get<double>(), 58.7);
    EXPECT_EQ(static_cast<float>(first["loss_percent"].get<double>()), 58.7f);
    EXPECT_EQ(first["throughput_bps"].get<double>(), 1.5 * 8 * 1048576);
    EXPECT_EQ(first["delay_us"]["p99_9"], 40.0);
    EXPECT_EQ(first["delay_us"]["jitter"], 0.75);

    // An unknown sent count, NaN loss, infinite rate and a cycle without frames: null.
    const json& second = document["cycles"][1];
    EXPECT_EQ(second["capture_dropped"], 4);
    EXPECT_EQ(second["streams"][0]["stragglers"], 12);
    EXPECT_TRUE(second["streams"][0]["sent"].is_null());
    EXPECT_TRUE(second["streams"][0]["loss_percent"].is_null());
    EXPECT_TRUE(second["streams"][0]["throughput_MBps"].is_null());
    for (const auto& [key, value] : second["streams"][0]["delay_us"].items()) {
        EXPECT_TRUE(value.is_null()) << key;
    }
    const json& statistics = document["statistics"][0];
    EXPECT_TRUE(statistics["delay_us"]["variance"].is_null());
    EXPECT_TRUE(statistics["delay_us"]["min"].is_null()); // no frame in any cycle
    EXPECT_EQ(statistics["loss_percent"]["ci"].size(), 2u);

    run.test.cycles = 1;
    EXPECT_FALSE(json::parse(resultsDocument(run)).contains("statistics"));
}

TEST(ResultsDocument, PacingAndSeedOnlyWhenSetOfferedGapsPerStream) {
    TRunResults run = twoCycles();
    const json plain = json::parse(resultsDocument(run));
    EXPECT_FALSE(plain["test"].contains("pacing"));
    EXPECT_FALSE(plain["test"].contains("seed"));
    EXPECT_FALSE(plain["cycles"][0].contains("seed"));
    EXPECT_FALSE(plain["cycles"][0]["streams"][0].contains("offered"));

    run.test.pacing = "absolute";
    run.test.seed = 4294967295u;
    run.cycles[0].seed = 4294967295u;
    run.cycles[1].seed = 0u;
    run.cycles[1].streams[0].offered = TOfferedGaps{0, 0.0, 0.0, 0};
    const json document = json::parse(resultsDocument(run));
    EXPECT_EQ(document["test"]["seed"], 4294967295u);
    EXPECT_EQ(document["cycles"][0]["seed"], 4294967295u);
    EXPECT_EQ(document["cycles"][1]["seed"], 0u);
    // A single departure has no gap to average.
    const json& single = document["cycles"][1]["streams"][0]["offered"];
    EXPECT_TRUE(single["mean_gap_us"].is_null());
    EXPECT_TRUE(single["drawn_mean_gap_us"].is_null());
}

// The benchmark section (its rates' names are read by the benchmark script): the probe's offered
// load (back to back) and an unknown line rate are null, the test's statistics left out.
TEST(ResultsDocument, BenchmarkSectionUnderItsNames) {
    TRunResults run = twoCycles();
    run.cycles.clear();
    TBenchmarkSize size;
    size.frameSize = 64;
    size.meanFrameSize = 64;
    size.testerMaximumFps = 300000;
    size.ndr.lowerFps = 290000;
    size.pdr = size.ndr;
    TBenchmarkTrial probe;
    probe.trial = 1;
    probe.phase = "probe";
    probe.targetFps = std::numeric_limits<double>::infinity();
    probe.invalidReason = "tester maximum";
    size.trials.push_back(probe);
    TBenchmarkResults benchmark;
    benchmark.sizes.push_back(size);
    run.benchmark = benchmark;
    const json document = json::parse(resultsDocument(run));
    EXPECT_FALSE(document.contains("statistics"));
    const json& section = document["benchmark"];
    EXPECT_TRUE(section["line_rate_bps"].is_null());
    const json& entry = section["sizes"][0];
    EXPECT_TRUE(entry["line_rate_fps"].is_null());
    EXPECT_EQ(entry["ndr"]["lower_wire_bps"], 290000.0 * 8 * 84);
    EXPECT_TRUE(entry["pdr"]["lower_line_percent"].is_null());
    const json& trial = entry["trials"][0];
    EXPECT_TRUE(trial["target_fps"].is_null());
    EXPECT_FALSE(trial["valid"]);
    EXPECT_EQ(trial["invalid_reason"], "tester maximum");
    EXPECT_TRUE(trial["duplicates"].is_null());
}

TEST(AtomicFile, ReplacesTheTargetWithMode0644AndLeavesNothingElse) {
    const std::string directory = scratchDirectory();
    const std::string target = directory + "/results.json";
    const std::string elsewhere = directory + "/elsewhere";
    std::ofstream(elsewhere) << "kept";
    // A link at the target is replaced, the file it points to stays as it was.
    ASSERT_EQ(symlink(elsewhere.c_str(), target.c_str()), 0);
    const mode_t previous = umask(077);
    EXPECT_EQ(writeFileAtomically(target, "{}\n"), "");
    umask(previous);

    struct stat status {};
    ASSERT_EQ(lstat(target.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0644u);
    EXPECT_EQ(readFile(target), "{}\n");
    EXPECT_EQ(readFile(elsewhere), "kept");
    EXPECT_EQ(std::system(("test $(ls -A " + directory + " | wc -l) -eq 2").c_str()), 0);
    std::system(("rm -rf " + directory).c_str());
}

TEST(AtomicFile, UpFrontCheckNamesMissingDirectoryAndDirectory) {
    const std::string directory = scratchDirectory();
    EXPECT_EQ(checkFileWritable(directory + "/missing/results.json"), "adresar neexistuje");
    EXPECT_EQ(checkFileWritable(directory), "je to adresar");
    EXPECT_EQ(checkFileWritable(directory + "/"), "je to adresar");
    EXPECT_EQ(writeFileAtomically(directory, "x"), "je to adresar");
    EXPECT_EQ(checkFileWritable(directory + "/results.json"), "");
    // The check leaves nothing behind.
    EXPECT_EQ(rmdir(directory.c_str()), 0);
}
