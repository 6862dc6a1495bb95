#ifndef TRAFFICGEN_SERVICETESTREPORT_H
#define TRAFFICGEN_SERVICETESTREPORT_H

// The service activation test's tables: the configuration test's steps, the performance test,
// the verdict of every service and the overall one.

#include <ostream>
#include <string>

#include "servicetest.h"

void printServiceTest(std::ostream& out, const TServiceTestResults& results, bool interrupted);

// The line a step gets on a terminal when it is done.
std::string serviceStepLine(const TServiceStepResult& step);

// "vyhovuje", "nevyhovuje", "limit testeru".
const char* verdictWord(TVerdict verdict);

#endif
