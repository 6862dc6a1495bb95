#include <cmath>
#include <gtest/gtest.h>

#include "studentt.h"

namespace {

// Student's t against the published table, and the interval of a mean from its values.
TEST(StudentT, QuantilesMatchTheTable) {
    const struct {
        double probability;
        double degrees;
        double t;
    } table[] = {{0.975, 1, 12.706}, {0.975, 4, 2.776}, {0.995, 10, 3.169}, {0.95, 30, 1.697}};
    for (const auto& row : table) {
        EXPECT_NEAR(studentQuantile(row.probability, row.degrees), row.t, 0.001)
            << row.probability << " " << row.degrees;
    }
}

TEST(StudentT, MeanIntervalFromTheValuesThatAreNumbers) {
    // Mean 7, s = sqrt(2), n = 2: 7 +- 12.706 * 1.
    const auto interval = meanInterval({6, NAN, 8}, 0.95);
    ASSERT_TRUE(interval);
    EXPECT_NEAR(interval->lower, 7 - 12.706, 0.001);
    EXPECT_NEAR(interval->upper, 7 + 12.706, 0.001);
    EXPECT_FALSE(meanInterval({5}, 0.95));
    const auto constant = meanInterval({3, 3, 3}, 1.0);
    EXPECT_EQ(constant->lower, 3);
    EXPECT_EQ(constant->upper, 3);
}

} // namespace
