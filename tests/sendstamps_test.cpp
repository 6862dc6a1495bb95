// Which frames carry a send stamp, and how the capture of departures picks them out.

#include "sendstamps.h"

#include <gtest/gtest.h>

#include "interfaces.h"

TEST(SendStamps, SampleStaysWithinTheBudgetAsAPowerOfTwo) {
    EXPECT_EQ(stampEvery(1000), 1u);
    EXPECT_EQ(stampEvery(STAMP_BUDGET_PER_SECOND), 1u);
    EXPECT_EQ(stampEvery(STAMP_BUDGET_PER_SECOND + 1), 2u);
    EXPECT_EQ(stampEvery(600000), 32u);
    // Back to back: the highest rate assumed.
    EXPECT_EQ(stampEvery(0), stampEvery(UNPLANNED_FRAMES_PER_SECOND));
    EXPECT_EQ(stampEvery(1e12), 1u << 20);
}

TEST(SendStamps, DepartureFilterTestsTheNumbersLowBitsWhereverTheFrameKeepsIt) {
    const std::string plain = "dst port 33333";
    EXPECT_EQ(departureFilterText(1, plain, false), plain);
    EXPECT_EQ(departureFilterText(32, plain, false),
              "dst port 33333 and ((len >= 63 and ether[59] & 31 = 0) or "
              "(len < 63 and ether[55] & 31 = 0))");
    EXPECT_EQ(departureFilterText(1024, "dst port 1 or dst port 2", false),
              "(dst port 1 or dst port 2) and ((len >= 63 and ether[59] = 0 and ether[60] & 3 = 0) "
              "or (len < 63 and ether[55] = 0 and ether[56] & 3 = 0))");
    // Tagged or IPv6 frames: all of them, picked by the receiver.
    EXPECT_EQ(departureFilterText(1024, "dst port 33333 or (vlan and dst port 33333)", true),
              "dst port 33333 or (vlan and dst port 33333)");
}

TEST(SendStamps, HardwareStampsNeedBothEndsStampingInHardwareWithOneClock) {
    const TStampingAbilities nic{true, true, true, 0};
    EXPECT_EQ(hardwareStampObstacle("a", nic, "b", nic), "");
    TStampingAbilities hostTime = nic;
    hostTime.rawHardware = false;
    EXPECT_EQ(hardwareStampObstacle("a", hostTime, "b", nic),
              "a neumi hardwarove znacky odeslanych paketu");
    TStampingAbilities receiveOnly = nic;
    receiveOnly.hardwareTransmit = false;
    EXPECT_EQ(hardwareStampObstacle("a", receiveOnly, "b", receiveOnly),
              "a neumi hardwarove znacky odeslanych paketu");
    EXPECT_EQ(hardwareStampObstacle("a", nic, "b", receiveOnly), "");
    EXPECT_EQ(hardwareStampObstacle("a", nic, "b", hostTime),
              "b neumi hardwarove znacky prijatych paketu");
    TStampingAbilities otherClock = nic;
    otherClock.clock = 1;
    EXPECT_EQ(hardwareStampObstacle("a", nic, "b", otherClock),
              "a a b nemaji spolecne hodiny (PHC 0 a 1)");
    TStampingAbilities noClock = nic;
    noClock.clock = -1;
    EXPECT_EQ(hardwareStampObstacle("a", noClock, "b", noClock),
              "a a b nemaji spolecne hodiny (PHC -1 a -1)");
}
