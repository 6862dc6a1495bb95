#ifndef TRAFFICGEN_BENCHMARKREPORT_H
#define TRAFFICGEN_BENCHMARKREPORT_H

// The benchmark's tables: per frame size its rates, the latency at the chosen loads and the
// limits the search met; at the end the number of trials and the time they took.

#include <cstddef>
#include <ostream>
#include <string>

#include "results.h"

// The progress line of a trial before it runs: "Ramec 64 B: zatizeni 41666 ramcu/s (50.000 %
// linky), pokus 3" (the probe: "zatizeni maximalni"; without a line rate no share of it).
std::string trialProgressText(const TBenchmarkSize& size, std::size_t trial, double targetFps);
// The end of that line once the trial is over: its loss, and why it is not a device result.
std::string trialOutcomeText(const TBenchmarkTrial& trial);

// "zarizeni", "tester" or "linka" for a rate's limit as the results file names it.
std::string limitText(const std::string& limit);
// The line that names the frame size and the line rate (or the tester's maximum).
void printSizeHeading(std::ostream& out, const TBenchmarkSize& size,
                      const TBenchmarkResults& benchmark);
void printBenchmarkSize(std::ostream& out, const TBenchmarkSize& size,
                        const TBenchmarkResults& benchmark, float probability);
void printBenchmarkEnd(std::ostream& out, const TBenchmarkResults& benchmark, bool interrupted);

// A figure with `decimals` decimals, formatted apart so that the stream keeps its own settings.
std::string fixedDecimals(double value, int decimals);
// The tables' rule: `length` dashes and the end of the line.
void printTableRule(std::ostream& out, int length);

#endif
