#include "receivesteering.h"

#include <gtest/gtest.h>

TEST(SteeringAdvice, OnlyForAnUnsteeredVirtualInterfaceWithACoreToSpare) {
    // Advice that names the wrong core (or its mask) would move the work onto the senders.
    EXPECT_EQ(steeringAdvice("rx", {true, false, {0, 1}}),
              "Rada: prijem na rozhrani rx bezi na jadru odesilatele a snizuje strop testeru; "
              "presunte jej na jadro 1: echo 2 > /sys/class/net/rx/queues/rx-0/rps_cpus a spustte "
              "taskset -c 0 trafficgen ...");
    const std::string four = steeringAdvice("rx", {true, false, {2, 3, 5, 6}});
    EXPECT_NE(four.find("na jadro 6: echo 40 > "), std::string::npos) << four;
    EXPECT_NE(four.find("taskset -c 2,3,5 "), std::string::npos) << four;
    EXPECT_EQ(steeringAdvice("eth1", {false, false, {0, 1}}), "");
    EXPECT_EQ(steeringAdvice("rx", {true, true, {0, 1}}), "");
    EXPECT_EQ(steeringAdvice("rx", {true, false, {0}}), "");
}
