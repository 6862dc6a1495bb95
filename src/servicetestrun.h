#ifndef TRAFFICGEN_SERVICETESTRUN_H
#define TRAFFICGEN_SERVICETESTRUN_H

// The service activation test's driver (--service-test): the configuration test, one service at
// a time step by step, then the performance test, every service at its CIR at once; each step a
// cycle of the test generator with every stream's rate set on its own.

#include <optional>
#include <ostream>

#include "servicetest.h"

class CTrafficGenerator;

// Runs the test on an initialized generator and prints its tables on `out`; a line per step
// goes to `progress` when it is not null. An interrupt ends it with what it has measured.
TServiceTestResults runServiceTest(CTrafficGenerator& generator,
                                   const std::vector<TService>& services,
                                   const TServiceTestSettings& settings,
                                   std::optional<double> lineRateBps, std::ostream& out,
                                   std::ostream* progress);

#endif
