#include "trafficgenerator.h"
