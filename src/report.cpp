#include "report.h"

int runTrafficGenerator(int, char**) { return 0; }
