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

TEST(Progress, LineIsThrottledPaddedClearedAndSilentWhenDisabled) {
    std::ostringstream out;
    CProgressLine line(out, true);
    line.startCycle(1, 3, 1000000, 5000000);
    EXPECT_TRUE(line.due(5000000));
    line.update(5000000, 10);
    line.update(5000000 + CProgressLine::UPDATE_INTERVAL_US - 1, 20); // too soon: not drawn
    EXPECT_FALSE(line.due(5000000 + CProgressLine::UPDATE_INTERVAL_US - 1));
    const std::string first = "Cyklus 1 z 3: 0.0 s z 1.0 s, zachyceno 10 paketu";
    EXPECT_EQ(out.str(), "\r" + first);

    // A new cycle draws at once; its shorter text covers the longer one left on the line.
    line.startCycle(2, 3, 1000000, 9000000);
    line.update(9000000, 5);
    const std::string second = "Cyklus 2 z 3: 0.0 s z 1.0 s, zachyceno 5 paketu";
    EXPECT_EQ(out.str(), "\r" + first + "\r" + second + " ");
    line.clear();
    line.clear(); // nothing shown any more: nothing written
    EXPECT_EQ(out.str(),
              "\r" + first + "\r" + second + " \r" + std::string(second.size(), ' ') + "\r");

    std::ostringstream silent;
    CProgressLine disabled(silent, false);
    disabled.startCycle(1, 1, 1000000, 0);
    EXPECT_FALSE(disabled.due(0));
    disabled.update(0, 1);
    disabled.clear();
    EXPECT_EQ(silent.str(), "");
}
