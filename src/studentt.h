#ifndef TRAFFICGEN_STUDENTT_H
#define TRAFFICGEN_STUDENTT_H

// The confidence interval of a mean from a handful of values (one per cycle), with Student's t:
// the values' own spread, not that of the frames within them, so that the interval holds for
// the cycles' means however the frames inside a cycle depend on each other.

#include <optional>
#include <vector>

// The quantile t of Student's distribution with `degrees` degrees of freedom at `probability`
// (0.5 < probability < 1): P(T <= t) = probability.
double studentQuantile(double probability, double degrees);

struct TMeanInterval {
    double mean = 0;
    double lower = 0;
    double upper = 0;
};

// mean +- t((1 + confidence) / 2, n - 1) * s / sqrt(n) over the values that are numbers; none
// with fewer than two of them. A confidence of 1 gives an unbounded interval.
std::optional<TMeanInterval> meanInterval(const std::vector<double>& values, double confidence);

#endif
