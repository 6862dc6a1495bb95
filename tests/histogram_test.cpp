#include "histogram.h"
#include "jitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// Nearest-rank percentile of sorted values: the value at rank ceil(share * n).
double exactPercentile(const std::vector<std::int64_t>& sorted, std::uint64_t perTenThousand) {
    const std::uint64_t rank = (sorted.size() * perTenThousand + 9999) / 10000;
    return static_cast<double>(sorted[rank - 1]);
}

// Delays from 0 to about 10^8 us, most of them small, with a long tail (deterministic).
std::vector<std::int64_t> spreadDelays(std::size_t count) {
    std::vector<std::int64_t> delays;
    std::uint64_t state = 12345;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double uniform = static_cast<double>(state >> 11) / 9007199254740992.0;
        delays.push_back(static_cast<std::int64_t>(std::exp(uniform * uniform * 18.5)));
    }
    return delays;
}

void expectWithinBound(const TPercentiles& got, const std::vector<std::int64_t>& delays) {
    std::vector<std::int64_t> sorted = delays;
    std::sort(sorted.begin(), sorted.end());
    const double values[] = {got.p50, got.p90, got.p99, got.p99_9, got.p99_99};
    const std::uint64_t shares[] = {5000, 9000, 9900, 9990, 9999};
    for (int i = 0; i < 5; ++i) {
        const double exact = exactPercentile(sorted, shares[i]);
        EXPECT_LE(std::fabs(values[i] - exact), std::max(0.01 * exact, 1.0))
            << "percentile " << shares[i] / 100.0 << ": exact " << exact;
    }
}

} // namespace

TEST(DelayHistogram, PercentilesWithinOnePercentOrOneMicrosecondAndMergeIsExact) {
    const std::vector<std::int64_t> delays = spreadDelays(200000);
    CDelayHistogram whole;
    CDelayHistogram parts[3];
    for (std::size_t i = 0; i < delays.size(); ++i) {
        whole.record(delays[i]);
        parts[i % 3].record(delays[i]);
    }
    expectWithinBound(whole.percentiles(), delays);

    CDelayHistogram merged;
    for (const CDelayHistogram& part : parts) {
        merged.merge(part);
    }
    EXPECT_EQ(merged.count(), delays.size());
    const TPercentiles a = whole.percentiles();
    const TPercentiles b = merged.percentiles();
    EXPECT_EQ(a.p50, b.p50);
    EXPECT_EQ(a.p90, b.p90);
    EXPECT_EQ(a.p99, b.p99);
    EXPECT_EQ(a.p99_9, b.p99_9);
    EXPECT_EQ(a.p99_99, b.p99_99);

    // Ten frames: the 90th percentile is the 9th value, not the 10th.
    CDelayHistogram ten;
    for (int delay = 1; delay <= 10; ++delay) {
        ten.record(delay * 10);
    }
    EXPECT_EQ(ten.percentiles().p90, 90.0);
    EXPECT_EQ(ten.percentiles().p50, 50.0);
}

TEST(DelayHistogram, EmptyGivesNaNAndOutOfRangeDelaysCountAtTheEnds) {
    const TPercentiles none = CDelayHistogram().percentiles();
    EXPECT_TRUE(std::isnan(none.p50) && std::isnan(none.p99_99));

    CDelayHistogram odd;
    odd.record(-7);
    odd.record(INT64_MAX);
    EXPECT_EQ(odd.count(), 2u);
    EXPECT_EQ(odd.percentiles().p50, 0.0);
    EXPECT_GE(odd.percentiles().p99_99,
              CDelayHistogram::bucketLowest(CDelayHistogram::bucketOf(INT64_MAX)));
    // One constant delay is reported as itself, not as its bucket's centre.
    CDelayHistogram constant;
    constant.record(1000);
    constant.record(1000);
    EXPECT_EQ(constant.percentiles().p99, 1000.0);
}

TEST(Jitter, MovesBySixteenthOfTransitChange) {
    TJitter jitter;
    jitter.update(100);
    EXPECT_EQ(jitter.value, 0.0);
    jitter.update(110);
    EXPECT_DOUBLE_EQ(jitter.value, 10.0 / 16);
    jitter.update(100); // a drop in transit counts like a rise
    EXPECT_DOUBLE_EQ(jitter.value, 0.625 + (10 - 0.625) / 16);
    jitter.update(130);
    EXPECT_DOUBLE_EQ(jitter.value, 1.2109375 + (30 - 1.2109375) / 16);
}
