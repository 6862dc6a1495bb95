#include "learningframe.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// An ARP announcement of 10.1.2.3 at 02:00:00:00:00:02, as tcpdump shows one from a host that
// has just taken its address: "ARP, Request who-has 10.1.2.3 tell 10.1.2.3".
TEST(LearningFrame, IsAnArpAnnouncementOfTheInterfacesOwnAddresses) {
    const unsigned char mac[] = {0x02, 0, 0, 0, 0, 0x02};
    const unsigned char ipv4[] = {10, 1, 2, 3};
    std::vector<unsigned char> expected = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 0x08, 0x06,
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02,
        10,   1,    2,    3,    0,    0,    0,    0,    0,    0,    10,   1,    2,    3};
    expected.resize(60, 0);
    EXPECT_EQ(buildLearningFrame(mac, ipv4), expected);
}

} // namespace
