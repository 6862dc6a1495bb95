#ifndef TRAFFICGEN_RFC2544REPORT_H
#define TRAFFICGEN_RFC2544REPORT_H

// The tables of the benchmark's further tests (rfc2544tests.h) for one frame size, and the
// verdict on the expected rates at the end.

#include <ostream>

#include "results.h"

void printFurtherTests(std::ostream& out, const TBenchmarkSize& size);
// Nothing without expected rates.
void printRateVerdicts(std::ostream& out, const TBenchmarkResults& benchmark, bool interrupted);

#endif
