#include "histogram.h"

#include <cmath>
#include <limits>

namespace {

// Percentiles as parts per ten thousand, so that ranks are computed in integers: 0.9 * 10 is
// 9.000000000000002 in floating point, and its ceiling would pick the wrong frame.
constexpr std::uint64_t PER_TEN_THOUSAND[] = {5000, 9000, 9900, 9990, 9999};

std::uint64_t rankOf(std::uint64_t perTenThousand, std::uint64_t count) {
    const std::uint64_t rank = (count * perTenThousand + 9999) / 10000;
    return rank == 0 ? 1 : rank;
}

} // namespace

std::uint64_t CDelayHistogram::bucketLowest(std::size_t bucket) {
    if (bucket < 2 * HALF_RANGE) {
        return bucket;
    }
    const std::size_t shift = bucket / HALF_RANGE - 1;
    return static_cast<std::uint64_t>(bucket - shift * HALF_RANGE) << shift;
}

std::uint64_t CDelayHistogram::bucketWidth(std::size_t bucket) {
    return bucket < 2 * HALF_RANGE ? 1 : std::uint64_t{1} << (bucket / HALF_RANGE - 1);
}

void CDelayHistogram::merge(const CDelayHistogram& other) {
    for (std::size_t i = 0; i < BUCKET_COUNT; ++i) {
        counts[i] += other.counts[i];
    }
    total += other.total;
    lowest = other.lowest < lowest ? other.lowest : lowest;
    highest = other.highest > highest ? other.highest : highest;
}

double CDelayHistogram::valueAtRank(std::uint64_t rank) const {
    std::uint64_t seen = 0;
    std::size_t bucket = 0;
    for (; bucket + 1 < BUCKET_COUNT; ++bucket) {
        seen += counts[bucket];
        if (seen >= rank) {
            break;
        }
    }
    // The centre of the integers the bucket holds; the end buckets may hold values well
    // inside them only, which the lowest and highest delay tell.
    const double centre = static_cast<double>(bucketLowest(bucket)) +
                          static_cast<double>(bucketWidth(bucket) - 1) / 2.0;
    if (centre < lowest) {
        return lowest;
    }
    return centre > highest ? highest : centre;
}

double CDelayHistogram::percentile(double percent) const {
    if (total == 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // In parts per million, for the same reason as above.
    const auto perMillion = static_cast<std::uint64_t>(std::llround(percent * 10000.0));
    const std::uint64_t rank = (total * perMillion + 999999) / 1000000;
    return valueAtRank(rank == 0 ? 1 : rank);
}

TPercentiles CDelayHistogram::percentiles() const {
    if (total == 0) {
        const double none = std::numeric_limits<double>::quiet_NaN();
        return {none, none, none, none, none};
    }
    double values[5];
    for (std::size_t i = 0; i < 5; ++i) {
        values[i] = valueAtRank(rankOf(PER_TEN_THOUSAND[i], total));
    }
    return {values[0], values[1], values[2], values[3], values[4]};
}
