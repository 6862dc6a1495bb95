#ifndef TRAFFICGEN_RUN_H
#define TRAFFICGEN_RUN_H

// The run driver: the set-up, then cycle after cycle with its rows, then the statistics; and
// the interrupt that ends a run early but in order.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "progress.h"
#include "report.h"
#include "result.h"

// Cycles 1..getCycles() (the count is read anew before every cycle), the closing rule and,
// after more than one cycle, the statistics. `Generator` is CTrafficGenerator in the program;
// anything with the same getCycles/generate/catchPacket/getConfidenceIntervalProbability/
// getQuantile serves, so the loop can be driven without interfaces. A progress line, when
// given, is told each cycle and wiped before the cycle's rows; a recorder, when given, gets
// every cycle's results after its rows.
template <class Generator>
void runCycles(Generator& generator, std::vector<TStreamAccumulator>& accumulators,
               std::ostream& out, std::ostream& err, CProgressLine* progress = nullptr,
               CResultsRecorder* recorder = nullptr) {
    // Said after the table, which keeps its rows together.
    std::vector<std::string> stampLines;
    for (std::uint32_t cycle = 1; cycle <= generator.getCycles(); ++cycle) {
        if (progress != nullptr) {
            progress->startCycle(cycle, generator.getCycles());
        }
        generator.generate();
        const std::vector<TResult> results = generator.catchPacket();
        if (progress != nullptr) {
            progress->clear();
        }
        for (const TResult& result : results) {
            printCycleRow(out, cycle, result);
            // A result naming a stream the run does not have is shown but must not be
            // written outside the accumulators.
            if (result.stream >= 1 &&
                static_cast<std::size_t>(result.stream) <= accumulators.size()) {
                accumulateResult(accumulators[result.stream - 1], result, cycle);
            }
        }
        printCycleWarnings(err, cycle, results);
        for (const TResult& result : results) {
            const std::string line = sendStampLine(cycle, result);
            if (!line.empty()) {
                stampLines.push_back(line);
            }
        }
        // On a terminal (where the progress line shows) every interval gets a line of its own.
        if (progress != nullptr) {
            for (const TResult& result : results) {
                for (const TIntervalFigures& interval : result.intervals) {
                    err << intervalLine(static_cast<std::uint32_t>(result.stream), interval)
                        << '\n';
                }
            }
        }
        if (recorder != nullptr) {
            recorder->recordCycle(cycle, results);
        }
        // With the largest possible count the counter would wrap to 0 and the loop never end.
        if (cycle == UINT32_MAX) {
            break;
        }
    }
    printCycleTableFoot(out);
    for (const std::string& line : stampLines) {
        out << line << '\n';
    }
    const std::uint32_t cycles = generator.getCycles();
    if (cycles > 1) {
        printStatistics(out, accumulators, cycles, generator.getConfidenceIntervalProbability(),
                        generator.getQuantile());
    }
}

// The whole run: set-up, cycles, report. Returns the exit status.
int runTrafficGenerator(int argc, char** argv);

// From now on SIGINT, SIGTERM and SIGHUP only set CTrafficGenerator::interrupted: the senders
// stop, the cycles that remain send nothing and the run ends with its report. The handler stays
// installed and interrupted system calls are restarted; the senders forked later inherit it.
void installInterruptHandler();

#endif
