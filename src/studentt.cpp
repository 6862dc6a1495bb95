#include "studentt.h"

#include <cmath>
#include <limits>

namespace {

// The continued fraction of the regularized incomplete beta function (modified Lentz).
double betaFraction(double a, double b, double x) {
    constexpr double TINY = 1e-300;
    constexpr double EPSILON = 1e-15;
    double c = 1.0;
    double d = 1.0 - (a + b) * x / (a + 1.0);
    d = 1.0 / (std::fabs(d) < TINY ? TINY : d);
    double fraction = d;
    for (int m = 1; m <= 300; ++m) {
        const double m2 = 2.0 * m;
        double term = m * (b - m) * x / ((a + m2 - 1.0) * (a + m2));
        d = 1.0 + term * d;
        d = 1.0 / (std::fabs(d) < TINY ? TINY : d);
        c = 1.0 + term / (std::fabs(c) < TINY ? TINY : c);
        fraction *= d * c;
        term = -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0));
        d = 1.0 + term * d;
        d = 1.0 / (std::fabs(d) < TINY ? TINY : d);
        c = 1.0 + term / (std::fabs(c) < TINY ? TINY : c);
        const double step = d * c;
        fraction *= step;
        if (std::fabs(step - 1.0) < EPSILON) {
            break;
        }
    }
    return fraction;
}

// I_x(a, b).
double incompleteBeta(double a, double b, double x) {
    if (x <= 0) {
        return 0;
    }
    if (x >= 1) {
        return 1;
    }
    const double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) +
                                  a * std::log(x) + b * std::log(1.0 - x));
    if (x < (a + 1.0) / (a + b + 2.0)) {
        return front * betaFraction(a, b, x) / a;
    }
    return 1.0 - front * betaFraction(b, a, 1.0 - x) / b;
}

// P(T <= t) for t >= 0.
double studentDistribution(double t, double degrees) {
    return 1.0 - 0.5 * incompleteBeta(degrees / 2.0, 0.5, degrees / (degrees + t * t));
}

} // namespace

double studentQuantile(double probability, double degrees) {
    if (!(probability > 0.5) || !(degrees > 0)) {
        return probability == 0.5 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    }
    if (probability >= 1) {
        return std::numeric_limits<double>::infinity();
    }
    // The distribution is increasing: bisection to full precision, bracketed by doubling.
    double low = 0;
    double high = 1;
    while (studentDistribution(high, degrees) < probability && high < 1e300) {
        low = high;
        high *= 2;
    }
    for (int i = 0; i < 200 && high - low > 1e-12 * high; ++i) {
        const double middle = (low + high) / 2;
        if (studentDistribution(middle, degrees) < probability) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return (low + high) / 2;
}

std::optional<TMeanInterval> meanInterval(const std::vector<double>& values, double confidence) {
    double sum = 0;
    double count = 0;
    for (double value : values) {
        if (std::isfinite(value)) {
            sum += value;
            ++count;
        }
    }
    if (count < 2) {
        return std::nullopt;
    }
    const double mean = sum / count;
    double squares = 0;
    for (double value : values) {
        if (std::isfinite(value)) {
            squares += (value - mean) * (value - mean);
        }
    }
    const double standardError = std::sqrt(squares / (count - 1) / count);
    const double t = studentQuantile((1.0 + confidence) / 2.0, count - 1);
    // With no spread the interval is the mean itself, even where t is unbounded.
    const double half = standardError == 0 ? 0.0 : t * standardError;
    return TMeanInterval{mean, mean - half, mean + half};
}
