#include "quantile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

// Nearest float of a decimal text, the way a float literal is read.
float decimal(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return std::strtof(text, nullptr);
}

double normalCdf(double z) {
    return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

struct TRow {
    float z;
    float key;
};

// The rows of the table, derived from the normal distribution function rather than copied:
// z in steps of 0.04 up to 2.96 (keys to 3, then 4 decimals), 3.00 (5 decimals), then steps
// of 0.1 up to 4.1 (6 decimals) and up to 5.4 (7 decimals).
std::vector<TRow> expectedRows() {
    std::vector<TRow> rows;
    auto add = [&rows](double z, int zDecimals, int keyDecimals) {
        const double scale = std::pow(10.0, keyDecimals);
        const double key = std::round(normalCdf(z) * scale) / scale;
        rows.push_back({decimal(z, zDecimals), decimal(key, keyDecimals)});
    };
    for (int i = 0; i < 50; ++i)
        add(i * 0.04, 2, 3);
    for (int i = 0; i < 25; ++i)
        add(2.0 + i * 0.04, 2, 4);
    add(3.0, 2, 5);
    for (int i = 0; i < 11; ++i)
        add(3.1 + i * 0.1, 1, 6);
    for (int i = 0; i < 13; ++i)
        add(4.2 + i * 0.1, 1, 7);
    return rows;
}

} // namespace

TEST(Quantile, EveryKeyGivesItsQuantileExactly) {
    for (const TRow& row : expectedRows()) {
        // z = 5.3 shares its key with z = 5.2, which was inserted first.
        const float expected = row.z == 5.3f ? 5.2f : row.z;
        EXPECT_EQ(CQuantile::getQuantile(row.key), expected) << "key " << row.key;
    }
}

TEST(Quantile, InterpolatesBetweenNeighboursInSinglePrecision) {
    // 0.95 lies between 0.949 (1.64) and 0.954 (1.68).
    const float expected95 = 1.64f + (0.95f - 0.949f) * ((1.68f - 1.64f) / (0.954f - 0.949f));
    EXPECT_EQ(CQuantile::getQuantile(0.95f), expected95);
    // Between 0.964 and 0.970 the row 0.967 -> 1.84 is a corner of the line.
    EXPECT_LT(CQuantile::getQuantile(0.966f), 1.84f);
    EXPECT_GT(CQuantile::getQuantile(0.968f), 1.84f);
    // The one float between 0.9999999 (5.2) and 1 (5.4).
    const float between = std::nextafter(0.9999999f, 1.0f);
    ASSERT_LT(between, 1.0f);
    EXPECT_FLOAT_EQ(CQuantile::getQuantile(between), 5.3f);
}

TEST(Quantile, ArgumentsOutsideTheRangeGiveTheNearestEnd) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(CQuantile::getQuantile(nan), 0.0f);
    EXPECT_EQ(CQuantile::getQuantile(0.4999f), 0.0f);
    EXPECT_EQ(CQuantile::getQuantile(-1.0f), 0.0f);
    EXPECT_EQ(CQuantile::getQuantile(-inf), 0.0f);
    EXPECT_EQ(CQuantile::getQuantile(1.0001f), 5.4f);
    EXPECT_EQ(CQuantile::getQuantile(inf), 5.4f);
}
