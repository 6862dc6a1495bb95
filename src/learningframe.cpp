#include "learningframe.h"

#include <algorithm>

namespace {

constexpr std::size_t MAC_BYTES = 6;
constexpr std::size_t IPV4_BYTES = 4;
constexpr std::size_t SOURCE_OFFSET = 6;
constexpr std::size_t ETHER_TYPE_OFFSET = 12;
constexpr std::size_t SENDER_MAC_OFFSET = 22;
constexpr std::size_t SENDER_IPV4_OFFSET = 28;
constexpr std::size_t TARGET_IPV4_OFFSET = 38;

// EtherType ARP, then the ARP header: Ethernet (1), IPv4 (0x0800), 6-byte and 4-byte
// addresses, operation request (1).
constexpr unsigned char ARP_HEADER[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};

} // namespace

std::vector<unsigned char> buildLearningFrame(const unsigned char* mac, const unsigned char* ipv4) {
    std::vector<unsigned char> frame(LEARNING_FRAME_LENGTH, 0);
    std::fill_n(frame.begin(), MAC_BYTES, 0xFF);
    std::copy_n(mac, MAC_BYTES, frame.begin() + SOURCE_OFFSET);
    std::copy(std::begin(ARP_HEADER), std::end(ARP_HEADER), frame.begin() + ETHER_TYPE_OFFSET);
    std::copy_n(mac, MAC_BYTES, frame.begin() + SENDER_MAC_OFFSET);
    std::copy_n(ipv4, IPV4_BYTES, frame.begin() + SENDER_IPV4_OFFSET);
    std::copy_n(ipv4, IPV4_BYTES, frame.begin() + TARGET_IPV4_OFFSET);
    return frame;
}
