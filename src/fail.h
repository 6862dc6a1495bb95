#ifndef TRAFFICGEN_FAIL_H
#define TRAFFICGEN_FAIL_H

#include <string>

// Prints one line to standard error and ends the process with status 1.
[[noreturn]] void fail(const std::string& message);

// Test seam: while a handler is set, fail() calls it instead of printing and exiting. The
// handler must not return (a fuzz harness throws its own exception type); if it does, the
// process still ends as usual. Null restores the normal behaviour.
void setFailureHandler(void (*handler)(const std::string& message));

#endif
