#include "report.h"
#include "run.h"
#include "trafficgenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string kCycleRule = std::string(152, '-') + "\n";
const std::string kCycleHeading =
    "| No. | Tok | Prijato paketu | Poslano paketu | Ztratovost [%] | Prum. rychl. [MB/s] | "
    "Min. zp. [us] | Max. zp. [us] | Prum. zp. [us] | Rozptyl [us^2] |\n";

TResult makeResult(int stream, std::uint32_t received, std::uint32_t sent, float loss,
                   float throughput, std::uint32_t minDelay, std::uint32_t maxDelay, float avgDelay,
                   float delayVariance) {
    TResult result;
    result.stream = stream;
    result.received = received;
    result.sent = sent;
    result.loss = loss;
    result.throughput = throughput;
    result.minDelay = minDelay;
    result.maxDelay = maxDelay;
    result.avgDelay = avgDelay;
    result.delayVariance = delayVariance;
    return result;
}

// A stream of which nothing was captured: the receiver's untouched starting values.
TResult nothingCaptured(int stream, std::uint32_t sent) {
    return makeResult(stream, 0, sent, sent > 0 ? 100.0f : 0.0f, 0.0f, 0xFFFFFFFFu, 0, 0.0f,
                      std::numeric_limits<float>::quiet_NaN());
}

std::string row(std::uint32_t cycle, const TResult& result) {
    std::ostringstream out;
    printCycleRow(out, cycle, result);
    return out.str();
}

// The two-stream, three-cycle example: per cycle, stream 1 then stream 2.
std::vector<std::vector<TResult>> exampleCycles() {
    return {
        {makeResult(1, 998, 1000, 0.2f, 11.657f, 45, 987, 123.456f, 345.678f),
         makeResult(2, 1000, 1000, 0.0f, 10.0f, 60, 700, 200.0f, 500.0f)},
        {makeResult(1, 995, 1000, 0.5f, 11.0f, 41, 990, 130.0f, 400.0f),
         makeResult(2, 1000, 1000, 0.0f, 10.0f, 58, 650, 210.0f, 450.0f)},
        {makeResult(1, 997, 1000, 0.3f, 11.5f, 50, 900, 120.5f, 300.25f),
         makeResult(2, 985, 1000, 1.5f, 9.0f, 61, 720, 190.0f, 520.0f)},
    };
}

const std::string kExampleStatistics =
    "Statistika ztrat\n"
    "------------------------------------------------------------------------------------------\n"
    "| Tok | Minimalni [%] | Maximalni [%] | Prumerne [%] | Interval spolehlivosti (p=0.9500) |\n"
    "|   1 |           0.2 |           0.5 |        0.333 |                    <0.215, 0.452> |\n"
    "|   2 |             0 |           1.5 |          0.5 |                   <-0.173, 1.173> |\n"
    "------------------------------------------------------------------------------------------\n"
    "\n"
    "Statistika zpozdeni\n"
    "----------------------------------------------------------------------------------------------"
    "----------------\n"
    "| Tok | Minimalni [us] | Maximalni [us] | Prumerne [us] | Rozptyl [us^2] | Interval "
    "spolehlivosti (p=0.9500) |\n"
    "|   1 |             41 |            990 |       124.652 |        348.643 |                "
    "<106.886, 142.418> |\n"
    "|   2 |             58 |            720 |       200.000 |        490.000 |                "
    "<178.938, 221.062> |\n"
    "----------------------------------------------------------------------------------------------"
    "----------------\n"
    "\n";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        result.push_back(line);
    }
    return result;
}

TEST(CycleTable, HeadAndExampleRowMatchCharacterForCharacter) {
    std::ostringstream out;
    printCycleTableHead(out);
    printCycleRow(out, 1, exampleCycles()[0][0]);
    EXPECT_EQ(out.str(), kCycleRule + kCycleHeading +
                             "|   1 |   1 |            998 |           1000 |            0.2 |    "
                             "          11.657 |            45 |           987 |        123.456 | "
                             "       345.678 | \n");
}

TEST(CycleTable, CycleNumbersAboveThreeDigitsWidenTheCellWithoutCutting) {
    const TResult result = makeResult(10, 1, 1, 0.0f, 1.0f, 1, 1, 1.0f, 0.0f);
    EXPECT_EQ(row(999, result).substr(0, 13), "| 999 |  10 |");
    EXPECT_EQ(row(1000, result).substr(0, 14), "| 1000 |  10 |");
    EXPECT_EQ(row(4294967295u, result).substr(0, 20), "| 4294967295 |  10 |");
}

TEST(CycleTable, LossIsGeneralEvenAfterFixedOutputOnTheSameStream) {
    std::ostringstream out;
    out << std::fixed; // left behind by a previous row's fixed cells or by the statistics
    printCycleRow(out, 1, makeResult(1, 3, 3, 0.0f, 1.0f, 1, 2, 1.5f, 0.25f));
    printCycleRow(out, 1, makeResult(2, 2, 3, 100.0f / 3.0f, 1.0f, 1, 2, 1.5f, 0.25f));
    printCycleRow(out, 1, makeResult(3, 0, 3, 100.0f, 1.0f, 1, 2, 1.5f, 0.25f));
    printCycleRow(out, 1, makeResult(4, 1, 3, 200.0f / 3.0f, 1.0f, 1, 2, 1.5f, 0.25f));
    const std::vector<std::string> printed = lines(out.str());
    ASSERT_EQ(printed.size(), 4u);
    EXPECT_EQ(printed[0].substr(47, 17), "              0 |");
    EXPECT_EQ(printed[1].substr(47, 17), "           33.3 |");
    EXPECT_EQ(printed[2].substr(47, 17), "            100 |");
    EXPECT_EQ(printed[3].substr(47, 17), "           66.7 |");
    // The fixed cells stay fixed with 3 decimals.
    EXPECT_NE(printed[1].find("|          1.500 |          0.250 | "), std::string::npos);
}

TEST(CycleTable, StreamThatCapturedNothingAndSingleFrameRow) {
    EXPECT_EQ(row(2, nothingCaptured(3, 50)),
              "|   2 |   3 |              0 |             50 |            100 |               "
              "0.000 |    4294967295 |             0 |          0.000 |            nan | \n");
    TResult single =
        makeResult(1, 1, 1, 0.0f, std::numeric_limits<float>::infinity(), 7, 7, 7.0f, 0.0f);
    EXPECT_EQ(row(1, single),
              "|   1 |   1 |              1 |              1 |              0 |                 "
              "inf |             7 |             7 |          7.000 |          0.000 | \n");
}

TEST(Accumulator, CycleThatCapturedNothingKeepsDelayExtremesAndPoisonsVariance) {
    TStreamAccumulator stream;
    accumulateResult(stream, makeResult(1, 10, 10, 0.0f, 1.0f, 40, 80, 60.0f, 100.0f), 1);
    accumulateResult(stream, nothingCaptured(1, 10), 2);
    EXPECT_EQ(stream.lowestDelay, 40u);
    EXPECT_EQ(stream.highestDelay, 80u);
    EXPECT_EQ(stream.meanDelay, 30.0f); // pulled towards the empty cycle's 0
    EXPECT_EQ(stream.maxLoss, 100.0f);
    EXPECT_EQ(stream.meanLoss, 50.0f);
    accumulateResult(stream, makeResult(1, 10, 10, 0.0f, 1.0f, 20, 90, 60.0f, 100.0f), 3);
    EXPECT_TRUE(std::isnan(stream.meanDelayVariance)); // for the rest of the run
    EXPECT_EQ(stream.lowestDelay, 20u);
    EXPECT_EQ(stream.highestDelay, 90u);
    EXPECT_EQ(stream.minLoss, 0.0f);
}

TEST(Statistics, ExampleOfTwoStreamsOverThreeCycles) {
    std::vector<TStreamAccumulator> accumulators(2);
    std::uint32_t cycle = 1;
    for (const auto& results : exampleCycles()) {
        for (const TResult& result : results) {
            accumulateResult(accumulators[result.stream - 1], result, cycle);
        }
        ++cycle;
    }
    std::ostringstream out;
    printStatistics(out, accumulators, 3, 0.95f, 1.648f);
    EXPECT_EQ(out.str(), kExampleStatistics);
}

// Inputs where single-precision rounding shows in the 3-decimal cells. Done in double, stream 1
// would read a mean delay of 1411522.750 and the interval <1144800.500, 1678245.000>, and
// stream 2 (variance divided in double) <54.436, 87.831> and <-819.225, 819.225>, and stream 3
// (squares summed in double) <28.412, 100.455>.
TEST(Statistics, MeansAndIntervalsAreComputedInSinglePrecision) {
    const std::vector<std::vector<TResult>> cycles = {
        {makeResult(1, 1, 1, 33.3333f, 1.0f, 900000, 2500000, 1000000.1f, 12345678901.0f),
         makeResult(2, 1, 1, 70.1f, 1.0f, 10, 20, 0.0f, 524101.0f),
         makeResult(3, 1, 1, 96.4f, 1.0f, 10, 20, 0.0f, 0.0f)},
        {makeResult(1, 1, 1, 0.1f, 1.0f, 950000, 3000000, 2000000.7f, 98765432109.0f),
         makeResult(2, 1, 1, 53.6f, 1.0f, 10, 20, 0.0f, 524101.0f),
         makeResult(3, 1, 1, 21.0f, 1.0f, 10, 20, 0.0f, 0.0f)},
        {makeResult(1, 1, 1, 66.6667f, 1.0f, 990000, 2900000, 1234567.3f, 55555555555.0f),
         makeResult(2, 1, 1, 89.7f, 1.0f, 10, 20, 0.0f, 524101.0f),
         makeResult(3, 1, 1, 75.9f, 1.0f, 10, 20, 0.0f, 0.0f)},
    };
    std::vector<TStreamAccumulator> streams(3);
    for (std::uint32_t cycle = 1; cycle <= 3; ++cycle) {
        for (const TResult& result : cycles[cycle - 1]) {
            accumulateResult(streams[result.stream - 1], result, cycle);
        }
    }
    std::ostringstream out;
    printStatistics(out, streams, 3, 0.95f, 1.96f);
    const std::vector<std::string> printed = lines(out.str());
    ASSERT_EQ(printed.size(), 16u);
    EXPECT_EQ(printed[3], "|   1 |           0.1 |          66.7 |         33.4 |                "
                          "   <2.614, 64.119> |");
    EXPECT_EQ(printed[4], "|   2 |          53.6 |          89.7 |         71.1 |                "
                          "  <54.435, 87.831> |");
    EXPECT_EQ(printed[5], "|   3 |            21 |          96.4 |         64.4 |                "
                          " <28.412, 100.454> |");
    EXPECT_EQ(printed[11],
              "|   1 |         900000 |        3000000 |   1411522.625 |55555555328.000 "
              "|        <1144800.375, 1678244.875> |");
    EXPECT_EQ(printed[12],
              "|   2 |             10 |             20 |         0.000 |     524101.000 "
              "|               <-819.224, 819.224> |");
}

TEST(Statistics, StreamThatNeverCapturedShowsUntouchedMinimumAndNanVariance) {
    TStreamAccumulator stream;
    accumulateResult(stream, nothingCaptured(1, 0), 1);
    accumulateResult(stream, nothingCaptured(1, 0), 2);
    std::ostringstream out;
    printStatistics(out, {stream}, 2, 1.0f, 5.4f);
    const std::vector<std::string> printed = lines(out.str());
    ASSERT_EQ(printed.size(), 12u);
    // No loss at all: zero variance, both bounds at the mean.
    EXPECT_EQ(printed[3], "|   1 |             0 |             0 |            0 |                 "
                          "   <0.000, 0.000> |");
    EXPECT_EQ(printed[9], "|   1 |     4294967295 |              0 |         0.000 |            "
                          "nan |                        <nan, nan> |");
}

TEST(Warnings, TextsPerStreamAndReason) {
    std::vector<TResult> results(4);
    for (int i = 0; i < 4; ++i) {
        results[i].stream = i + 1;
    }
    results[1].sentKnown = false;
    results[2].refused = 7;
    results[3].sentKnown = false;
    results[3].captureDropped = 12345678901ull;
    results[3].stragglers = 35;
    results[0].scheduleKept = false;
    results[0].offered.meanGapUs = 101.0625;
    results[0].offered.drawnMeanGapUs = 100.0;
    results[0].offered.restarts = 2;
    // Numbered: stream 2 saw neither copies nor reordering, stream 3 both, one beyond the window.
    results[1].numbered = true;
    results[2].numbered = true;
    results[2].sequence.duplicates = 2;
    results[2].sequence.reordered = 3000000;
    results[2].sequence.reorderExtentMax = 4;
    results[2].sequence.late = 1;
    std::ostringstream err;
    err << std::setprecision(2);
    printCycleWarnings(err, 1234, results);
    EXPECT_EQ(err.str(),
              "Varovani: tok 1 v cyklu 1234: rozvrh odesilani nedodrzen: prumerna mezera 101.062 "
              "us misto vylosovanych 100.000 us, rozvrh znovu zahajen 2x\n"
              "Varovani: tok 2 v cyklu 1234: pocet odeslanych paketu nelze zjistit, ztratovost "
              "neni platna\n"
              "Varovani: tok 3 v cyklu 1234: lokalni system odmitl odeslat 7 paketu, zachytavani "
              "zahodilo 0 paketu; ztraty nemusi byt jen na trase\n"
              "Varovani: tok 3 v cyklu 1234: prislo 2 duplicitnich paketu (nezapocteny) a "
              "3000000 paketu mimo poradi (nejvetsi posun 4), z toho 1 mimo okno 65536 cisel\n"
              "Varovani: tok 4 v cyklu 1234: pocet odeslanych paketu nelze zjistit, ztratovost "
              "neni platna\n"
              "Varovani: tok 4 v cyklu 1234: lokalni system odmitl odeslat 0 paketu, zachytavani "
              "zahodilo 12345678901 paketu; ztraty nemusi byt jen na trase\n"
              "Varovani: tok 4 v cyklu 1234: prislo 35 opozdenych paketu odeslanych pred "
              "zacatkem cyklu; nebyly zapocteny\n");

    std::ostringstream quiet;
    printCycleWarnings(quiet, 1, {TResult{}});
    EXPECT_EQ(quiet.str(), "");
}

// Stands in for CTrafficGenerator: hands out prepared results, one vector per cycle.
struct FakeGenerator {
    std::vector<std::vector<TResult>> cycles;
    std::uint32_t cycleCount = 0;
    std::uint32_t generated = 0;
    std::uint32_t caught = 0;
    std::uint32_t countReads = 0;

    std::uint32_t getCycles() {
        ++countReads;
        return cycleCount;
    }
    void generate() { ++generated; }
    std::vector<TResult> catchPacket() { return cycles.at(caught++); }
    float getConfidenceIntervalProbability() const { return 0.95f; }
    float getQuantile() const { return 1.648f; }
};

// One cycle: its rows, no statistics; a result of an unknown stream is shown, not accumulated.
TEST(RunCycles, OneCyclePrintsRowsAndNoStatistics) {
    FakeGenerator generator;
    generator.cycleCount = 1;
    const TResult stray = makeResult(3, 1, 1, 0.0f, 1.0f, 5, 5, 5.0f, 0.0f);
    const TResult negative = makeResult(0, 1, 1, 0.0f, 1.0f, 5, 5, 5.0f, 0.0f);
    generator.cycles = {{exampleCycles()[0][1], stray, negative}};
    std::vector<TStreamAccumulator> accumulators(2);
    std::ostringstream out, err;
    runCycles(generator, accumulators, out, err);
    EXPECT_EQ(out.str(),
              row(1, exampleCycles()[0][1]) + row(1, stray) + row(1, negative) + kCycleRule + "\n");
    EXPECT_TRUE(accumulators[0].lossHistory.empty());
    EXPECT_EQ(accumulators[1].lossHistory.size(), 1u);
}

TEST(RunCycles, SeveralCyclesPrintRowsInOrderThenBothStatisticsTables) {
    FakeGenerator generator;
    generator.cycleCount = 3;
    generator.cycles = exampleCycles();
    generator.cycles[1][1].sentKnown = false;
    std::vector<TStreamAccumulator> accumulators(2);
    std::ostringstream out, err;
    runCycles(generator, accumulators, out, err);

    const std::vector<std::vector<TResult>> results = exampleCycles();
    std::string expected;
    for (std::uint32_t cycle = 1; cycle <= 3; ++cycle) {
        for (const TResult& result : results[cycle - 1]) {
            expected += row(cycle, result);
        }
    }
    expected += kCycleRule + "\n" + kExampleStatistics;
    EXPECT_EQ(out.str(), expected);
    EXPECT_EQ(err.str(), "Varovani: tok 2 v cyklu 2: pocet odeslanych paketu nelze zjistit, "
                         "ztratovost neni platna\n");
    EXPECT_EQ(generator.generated, 3u);
    // Read before each of the 3 cycles, at the failing fourth test and once for the report.
    EXPECT_EQ(generator.countReads, 5u);
}

TEST(Interrupt, HandlerOnlySetsTheFlagAndStaysInstalledWithRestart) {
    // A terminal's interrupt key, the usual stop of a service manager or timeout, a hang-up.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        CTrafficGenerator::interrupted = 0;
        installInterruptHandler();
        struct sigaction action {};
        ASSERT_EQ(sigaction(signal, nullptr, &action), 0);
        // Capture and sleeps in progress must resume rather than fail with EINTR.
        EXPECT_TRUE(action.sa_flags & SA_RESTART) << signal;
        EXPECT_FALSE(action.sa_flags & SA_RESETHAND) << signal;

        EXPECT_EQ(std::raise(signal), 0);
        EXPECT_EQ(CTrafficGenerator::interrupted, 1) << signal;
        EXPECT_EQ(std::raise(signal), 0); // a second interrupt must not end the process either
        EXPECT_EQ(CTrafficGenerator::interrupted, 1) << signal;
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, SIG_DFL);
    }
    CTrafficGenerator::interrupted = 0;
    CTrafficGenerator::interruptedAlone = 0;
}

} // namespace
