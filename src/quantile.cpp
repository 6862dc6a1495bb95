#include "quantile.h"
