#include "progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

TEST(Progress, TextShowsCycleTimesAndFrames) {
    EXPECT_EQ(progressText(2, 5, 12345678, 60000000, 1234),
              "Cyklus 2 z 5: 12.3 s z 60.0 s, zachyceno 1234 paketu");
    // Past the duration (the last frames are awaited) the time goes on; never below zero.
    EXPECT_EQ(progressText(1, 1, 2075000, 2000000, 0),
              "Cyklus 1 z 1: 2.1 s z 2.0 s, zachyceno 0 paketu");
    EXPECT_EQ(progressText(4294967295u, 4294967295u, -5, 4294967295u, 18446744073709551615ull),
              "Cyklus 4294967295 z 4294967295: 0.0 s z 4295.0 s, zachyceno 18446744073709551615 "
              "paketu");
}

TEST(Progress, LineIsThrottledPaddedAndCleared) {
    std::ostringstream out;
    CProgressLine line(out, 1000000);
    line.clear(); // nothing shown yet: nothing written
    line.startCycle(1, 3);
    EXPECT_TRUE(line.due(5000000));
    line.update(5000000, 10); // the first update of a cycle draws and starts its time
    const std::int64_t tooSoon = 5000000 + CProgressLine::UPDATE_INTERVAL_US - 1;
    EXPECT_FALSE(line.due(tooSoon));
    line.update(tooSoon, 20);
    line.update(5300000, 30);
    const std::string first = "Cyklus 1 z 3: 0.0 s z 1.0 s, zachyceno 10 paketu";
    const std::string second = "Cyklus 1 z 3: 0.3 s z 1.0 s, zachyceno 30 paketu";
    EXPECT_EQ(out.str(), "\r" + first + "\r" + second);

    // A new cycle draws at once; its shorter text covers the longer one left on the line.
    line.startCycle(2, 3);
    line.update(5400000, 5);
    const std::string third = "Cyklus 2 z 3: 0.0 s z 1.0 s, zachyceno 5 paketu";
    line.clear();
    line.clear();
    EXPECT_EQ(out.str(), "\r" + first + "\r" + second + "\r" + third + " \r" +
                             std::string(third.size(), ' ') + "\r");
}
