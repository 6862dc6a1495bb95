#include "learningframe.h"

#include <algorithm>

#include "neighbours.h"

std::vector<unsigned char> buildLearningFrame(const unsigned char* mac, const unsigned char* ipv4) {
    // An ARP announcement: a request whose sender and target are the interface itself.
    TIpAddress own;
    std::copy_n(ipv4, 4, own.bytes);
    return neighbourRequest(mac, own, own, TVlanTag{}, TVlanTag{});
}
