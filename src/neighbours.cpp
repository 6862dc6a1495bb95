#include "neighbours.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint16_t ETHER_TYPE_ARP = 0x0806;
constexpr std::size_t SHORTEST_FRAME = 60;
constexpr std::size_t ARP_SIZE = 28;
constexpr std::uint16_t ARP_REQUEST = 1;
constexpr std::uint16_t ARP_REPLY = 2;
constexpr unsigned char ICMPV6 = 58;
constexpr unsigned char NEIGHBOUR_SOLICITATION = 135;
constexpr unsigned char NEIGHBOUR_ADVERTISEMENT = 136;
constexpr unsigned char SOURCE_LINK_ADDRESS = 1;
constexpr unsigned char TARGET_LINK_ADDRESS = 2;
constexpr std::size_t SOLICITATION_SIZE = 32; // ICMPv6 header, target, source address option
constexpr int ATTEMPTS = 3;
constexpr int ANSWER_WAIT_MS = 1000;

void put16(std::vector<unsigned char>& frame, std::uint16_t value) {
    frame.push_back(static_cast<unsigned char>(value >> 8));
    frame.push_back(static_cast<unsigned char>(value & 0xFF));
}

void putBytes(std::vector<unsigned char>& frame, const unsigned char* bytes, std::size_t length) {
    frame.insert(frame.end(), bytes, bytes + length);
}

std::uint16_t read16(const unsigned char* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

// Destination and source MAC, the tags, the EtherType.
void putEthernetHeader(std::vector<unsigned char>& frame, const unsigned char* destination,
                       const unsigned char* source, const TVlanTag& tag, const TVlanTag& outerTag,
                       std::uint16_t type) {
    putBytes(frame, destination, MAC_LENGTH);
    putBytes(frame, source, MAC_LENGTH);
    unsigned char tags[MAX_VLAN_TAGS * VLAN_TAG_SIZE];
    putBytes(frame, tags, putVlanTags(tags, tag, outerTag));
    put16(frame, type);
}

// The ICMPv6 checksum of `message` between `source` and `destination` (RFC 4443).
std::uint16_t icmpv6Checksum(const unsigned char* source, const unsigned char* destination,
                             const unsigned char* message, std::size_t length) {
    std::uint32_t sum = 0;
    const auto add = [&sum](const unsigned char* bytes, std::size_t count) {
        for (std::size_t i = 0; i + 1 < count; i += 2) {
            sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
        }
        if (count % 2 != 0) {
            sum += static_cast<std::uint32_t>(bytes[count - 1] << 8);
        }
    };
    add(source, IPV6_ADDRESS_SIZE);
    add(destination, IPV6_ADDRESS_SIZE);
    sum += static_cast<std::uint32_t>(length) + ICMPV6;
    add(message, length);
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::vector<unsigned char> arpRequest(const unsigned char* sourceMac, const TIpAddress& source,
                                      const TIpAddress& target, const TVlanTag& tag,
                                      const TVlanTag& outerTag) {
    const unsigned char broadcast[MAC_LENGTH] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const unsigned char unknown[MAC_LENGTH] = {};
    std::vector<unsigned char> frame;
    putEthernetHeader(frame, broadcast, sourceMac, tag, outerTag, ETHER_TYPE_ARP);
    put16(frame, 1);      // Ethernet
    put16(frame, 0x0800); // IPv4
    frame.push_back(MAC_LENGTH);
    frame.push_back(4);
    put16(frame, ARP_REQUEST);
    putBytes(frame, sourceMac, MAC_LENGTH);
    putBytes(frame, source.bytes, 4);
    putBytes(frame, unknown, MAC_LENGTH);
    putBytes(frame, target.bytes, 4);
    return frame;
}

std::vector<unsigned char> neighbourSolicitation(const unsigned char* sourceMac,
                                                 const TIpAddress& source, const TIpAddress& target,
                                                 const TVlanTag& tag, const TVlanTag& outerTag) {
    // The target's solicited-node multicast address ff02::1:ffXX:XXXX and its MAC 33:33:ff:...
    unsigned char group[IPV6_ADDRESS_SIZE] = {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xFF};
    std::memcpy(group + 13, target.bytes + 13, 3);
    const unsigned char groupMac[MAC_LENGTH] = {
        0x33, 0x33, 0xFF, target.bytes[13], target.bytes[14], target.bytes[15]};
    std::vector<unsigned char> message;
    message.push_back(NEIGHBOUR_SOLICITATION);
    message.push_back(0);
    put16(message, 0); // checksum, below
    put16(message, 0); // reserved
    put16(message, 0);
    putBytes(message, target.bytes, IPV6_ADDRESS_SIZE);
    message.push_back(SOURCE_LINK_ADDRESS);
    message.push_back(1); // in units of 8 bytes
    putBytes(message, sourceMac, MAC_LENGTH);
    const std::uint16_t checksum =
        icmpv6Checksum(source.bytes, group, message.data(), message.size());
    message[2] = static_cast<unsigned char>(checksum >> 8);
    message[3] = static_cast<unsigned char>(checksum & 0xFF);

    std::vector<unsigned char> frame;
    putEthernetHeader(frame, groupMac, sourceMac, tag, outerTag, ETHER_TYPE_IPV6);
    frame.push_back(0x60);
    frame.push_back(0);
    put16(frame, 0);
    put16(frame, static_cast<std::uint16_t>(message.size()));
    frame.push_back(ICMPV6);
    frame.push_back(255); // a neighbour discovery message must arrive with 255
    putBytes(frame, source.bytes, IPV6_ADDRESS_SIZE);
    putBytes(frame, group, IPV6_ADDRESS_SIZE);
    putBytes(frame, message.data(), message.size());
    return frame;
}

bool arpAnswer(const unsigned char* arp, std::size_t length, const TIpAddress& target,
               unsigned char* mac) {
    if (length < ARP_SIZE || read16(arp + 6) != ARP_REPLY ||
        std::memcmp(arp + 14, target.bytes, 4) != 0) {
        return false;
    }
    std::memcpy(mac, arp + 8, MAC_LENGTH);
    return true;
}

// A neighbour advertisement for `target`: its target link-layer address option, or else the
// frame's own source address.
bool advertisementAnswer(const unsigned char* frame, const unsigned char* ip, std::size_t length,
                         const TIpAddress& target, unsigned char* mac) {
    const std::size_t messageLength = length - IPV6_HEADER_SIZE;
    const unsigned char* message = ip + IPV6_HEADER_SIZE;
    if (ip[6] != ICMPV6 || messageLength < 24 || message[0] != NEIGHBOUR_ADVERTISEMENT ||
        std::memcmp(message + 8, target.bytes, IPV6_ADDRESS_SIZE) != 0) {
        return false;
    }
    std::memcpy(mac, frame + SOURCE_MAC_OFFSET, MAC_LENGTH);
    for (std::size_t option = 24; option + 8 <= messageLength;) {
        const std::size_t size = message[option + 1] * 8u;
        if (size == 0) {
            break;
        }
        if (message[option] == TARGET_LINK_ADDRESS) {
            std::memcpy(mac, message + option + 2, MAC_LENGTH);
        }
        option += size;
    }
    return true;
}

int monotonicMilliseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

} // namespace

std::vector<unsigned char> neighbourRequest(const unsigned char* sourceMac,
                                            const TIpAddress& source, const TIpAddress& target,
                                            const TVlanTag& tag, const TVlanTag& outerTag) {
    std::vector<unsigned char> frame =
        target.ipv6 ? neighbourSolicitation(sourceMac, source, target, tag, outerTag)
                    : arpRequest(sourceMac, source, target, tag, outerTag);
    if (frame.size() < SHORTEST_FRAME) {
        frame.resize(SHORTEST_FRAME, 0);
    }
    return frame;
}

bool neighbourAnswer(const unsigned char* frame, std::size_t length, const TIpAddress& target,
                     unsigned char* mac) {
    if (length < ETHERNET_HEADER_SIZE) {
        return false;
    }
    // The kernel may have taken a tag off already: the frame is read from its EtherTypes.
    const TFrameLayout layout = layoutOfFrame(frame, length);
    const std::size_t type = ETHER_TYPE_OFFSET + layout.tags * VLAN_TAG_SIZE;
    const std::size_t payload = layout.ipOffset();
    if (type + 2 > length) {
        return false;
    }
    if (!target.ipv6) {
        return read16(frame + type) == ETHER_TYPE_ARP &&
               arpAnswer(frame + payload, length - payload, target, mac);
    }
    return layout.ipv6 && length >= payload + IPV6_HEADER_SIZE &&
           advertisementAnswer(frame, frame + payload, length - payload, target, mac);
}

bool resolveNextHop(const char* interfaceName, const unsigned char* sourceMac,
                    const TIpAddress& source, const TIpAddress& target, const TVlanTag& tag,
                    const TVlanTag& outerTag, unsigned char* mac, std::string& reason) {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(if_nametoindex(interfaceName));
    if (address.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        reason = std::strerror(errno);
        close(fd);
        return false;
    }
    const std::vector<unsigned char> request =
        neighbourRequest(sourceMac, source, target, tag, outerTag);
    unsigned char frame[2048];
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (send(fd, request.data(), request.size(), 0) < 0) {
            reason = std::strerror(errno);
            close(fd);
            return false;
        }
        const int end = monotonicMilliseconds() + ANSWER_WAIT_MS;
        for (int left = ANSWER_WAIT_MS; left > 0; left = end - monotonicMilliseconds()) {
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, left) <= 0) {
                continue;
            }
            const ssize_t got = recv(fd, frame, sizeof frame, 0);
            if (got > 0 && neighbourAnswer(frame, static_cast<std::size_t>(got), target, mac)) {
                close(fd);
                return true;
            }
        }
    }
    close(fd);
    reason = "bez odpovedi";
    return false;
}
