#ifndef TRAFFICGEN_HISTOGRAM_H
#define TRAFFICGEN_HISTOGRAM_H

#include <array>
#include <cstddef>
#include <cstdint>

// The delay percentiles the results file reports; NaN when nothing was recorded.
struct TPercentiles {
    double p50;
    double p90;
    double p99;
    double p99_9;
    double p99_99;
};

// One stream's delays (microseconds) in fixed memory, whatever the number of frames. Below
// 128 us every value has a bucket of its own; above, every power of two is split into 64
// buckets of equal width, so a bucket is never wider than 1/64 of its lowest value and its
// centre is within 1/128 (0.8 %) of any value in it. Counts add up exactly, so the histograms
// of several cycles merge into the one that recording all their frames would give.
class CDelayHistogram {
  public:
    // The 7 leading bits of every value are kept: 128 exact buckets, then 25 groups of 64
    // for the powers of two from 2^7 to 2^31.
    static constexpr unsigned SIGNIFICANT_BITS = 7;
    static constexpr unsigned HALF_RANGE = 1u << (SIGNIFICANT_BITS - 1);
    static constexpr std::size_t BUCKET_COUNT =
        (32 - SIGNIFICANT_BITS) * HALF_RANGE + 2 * HALF_RANGE;

    // Delays below 0 count as 0, those of 2^32 us or more as 2^32 - 1: a frame with a
    // nonsense send time is still one frame of the stream.
    void record(std::int64_t delay) {
        const std::uint32_t value = clampDelay(delay);
        ++counts[bucketOf(value)];
        ++total;
        lowest = value < lowest ? value : lowest;
        highest = value > highest ? value : highest;
    }

    void merge(const CDelayHistogram& other);

    std::uint64_t count() const { return total; }

    // Nearest-rank percentiles: the value of the frame at rank ceil(p * count) in delay order,
    // as the centre of its bucket, kept within the lowest and highest delay recorded.
    TPercentiles percentiles() const;
    // Any nearest-rank percentile (0 < percent <= 100) the same way; NaN when nothing was recorded.
    double percentile(double percent) const;

    static std::uint32_t clampDelay(std::int64_t delay) {
        if (delay < 0) {
            return 0;
        }
        return delay > std::int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<std::uint32_t>(delay);
    }

    // The bucket of a value: the bits below the 7 leading ones are dropped, and the number of
    // dropped bits picks the group of 64 buckets. No loop and no logarithm: one bit scan.
    static std::size_t bucketOf(std::uint32_t value) {
        const unsigned width = 32u - static_cast<unsigned>(__builtin_clz(value | 1u));
        const unsigned shift = width > SIGNIFICANT_BITS ? width - SIGNIFICANT_BITS : 0u;
        return static_cast<std::size_t>(shift) * HALF_RANGE + (value >> shift);
    }
    // The lowest value of a bucket and the number of values it holds.
    static std::uint64_t bucketLowest(std::size_t bucket);
    static std::uint64_t bucketWidth(std::size_t bucket);

  private:
    // Value at `rank` (1-based, at most count()) in delay order.
    double valueAtRank(std::uint64_t rank) const;

    std::array<std::uint64_t, BUCKET_COUNT> counts{};
    std::uint64_t total = 0;
    std::uint32_t lowest = UINT32_MAX;
    std::uint32_t highest = 0;
};

#endif
