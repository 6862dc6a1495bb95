#ifndef TRAFFICGEN_BENCHMARKRUN_H
#define TRAFFICGEN_BENCHMARKRUN_H

// The benchmark driver (--benchmark): per frame size the search's trials, each a cycle of the
// test generator at one offered load, then the latency trials; the tables at the end.

#include <ostream>

#include "benchmark.h"
#include "results.h"

class CTrafficGenerator;

// Runs the benchmark on an initialized generator and prints its tables on `out`; a progress
// line per trial goes to `progress` when it is not null. An interrupt ends it with what it has
// found so far.
TBenchmarkResults runBenchmark(CTrafficGenerator& generator, const TBenchmarkSettings& settings,
                               std::ostream& out, std::ostream* progress);

// The line rate the benchmark uses: the setting, or else the slower of the two interfaces'
// speeds that Linux knows; none when neither is known.
std::optional<double> benchmarkLineRate(const TBenchmarkSettings& settings,
                                        const char* sendingInterface,
                                        const char* receivingInterface);

#endif
