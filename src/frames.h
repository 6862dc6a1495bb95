#ifndef TRAFFICGEN_FRAMES_H
#define TRAFFICGEN_FRAMES_H

// The test frames a stream may send beyond the plain one of utils.h: 802.1Q and 802.1ad tags,
// IPv6 instead of IPv4, and flows (ranges of UDP ports and IP addresses). Every function here
// is pure: a stream's frames are built from its frame template, whatever sends them.
//
// Every such frame keeps the plain frame's payload (stream letter, send time, sequence number,
// filler) and only moves it: the payload begins `payloadShift()` bytes later than in the plain
// frame, so the plain frame's stamping functions work on `frame + payloadShift()`.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "testframe.h"

class CConfig;

constexpr std::uint16_t ETHER_TYPE_VLAN = 0x8100;         // 802.1Q customer tag
constexpr std::uint16_t ETHER_TYPE_SERVICE_VLAN = 0x88A8; // 802.1ad service tag (outer)
constexpr std::uint16_t ETHER_TYPE_IPV6 = 0x86DD;
constexpr std::size_t ETHERNET_HEADER_SIZE = 14;
constexpr std::size_t VLAN_TAG_SIZE = 4;
constexpr std::size_t MAX_VLAN_TAGS = 2;
constexpr std::size_t IPV6_HEADER_SIZE = 40;
constexpr std::size_t UDP_HEADER_SIZE = 8;
constexpr std::size_t IPV6_ADDRESS_SIZE = 16;
// Everything before the payload of the longest header: two tags, IPv6 and UDP.
constexpr std::size_t MAX_FRAME_HEADER_SIZE =
    ETHERNET_HEADER_SIZE + MAX_VLAN_TAGS * VLAN_TAG_SIZE + IPV6_HEADER_SIZE + UDP_HEADER_SIZE;
// The longest frame of all: the benchmark's longest (1514 bytes) with two tags.
constexpr std::size_t MAX_TAGGED_FRAME_LENGTH =
    MAX_BENCHMARK_FRAME_LENGTH + MAX_VLAN_TAGS * VLAN_TAG_SIZE;
constexpr std::uint16_t MAX_VLAN_ID = 4094;
constexpr std::uint8_t MAX_VLAN_PRIORITY = 7;
constexpr std::uint32_t MAX_FLOW_LABEL = 0xFFFFF;

// Where a frame's headers end: its number of VLAN tags and its IP version.
struct TFrameLayout {
    std::size_t tags = 0;
    bool ipv6 = false;

    std::size_t ipOffset() const { return ETHERNET_HEADER_SIZE + tags * VLAN_TAG_SIZE; }
    std::size_t udpOffset() const {
        return ipOffset() + (ipv6 ? IPV6_HEADER_SIZE : IPV4_HEADER_SIZE);
    }
    std::size_t payloadOffset() const { return udpOffset() + UDP_HEADER_SIZE; }
    // How much later than in the plain frame every payload field lies.
    std::size_t payloadShift() const { return payloadOffset() - STREAM_LETTER_OFFSET; }
    bool plain() const { return tags == 0 && !ipv6; }
};

// The layout of a received frame, read from its EtherTypes: up to two tags (802.1Q or
// 802.1ad), then IPv6 or anything else (taken as the plain IPv4 layout). Needs 14 bytes.
TFrameLayout layoutOfFrame(const unsigned char* frame, std::size_t length);

// One VLAN tag; id 0 means none.
struct TVlanTag {
    std::uint16_t id = 0;
    std::uint8_t priority = 0; // PCP
};

// Writes the tags at `at` (the EtherType's place after the MAC addresses): the outer one first,
// ids of 0 left out. Returns the bytes written.
std::size_t putVlanTags(unsigned char* at, const TVlanTag& tag, const TVlanTag& outerTag);

// `frame` (from its destination MAC on) with the tags put in after its MAC addresses.
std::vector<unsigned char> withVlanTags(const std::vector<unsigned char>& frame,
                                        const TVlanTag& tag, const TVlanTag& outerTag);

// A run of `count` consecutive values from `first` (ports, or addresses counted as numbers).
struct TPortRange {
    std::uint16_t first = TEST_PORT;
    std::uint32_t count = 1;
    std::uint16_t last() const { return static_cast<std::uint16_t>(first + count - 1); }
};

// An IPv4 (4 bytes, in front) or IPv6 address.
struct TIpAddress {
    bool ipv6 = false;
    unsigned char bytes[IPV6_ADDRESS_SIZE] = {};
};

// Reads IPv4 dotted or IPv6 text; false for anything else.
bool readIpAddress(const std::string& text, TIpAddress& address);
std::string ipAddressText(const TIpAddress& address);
// `address` plus `offset`, the address read as one big-endian number (wrapping).
TIpAddress addressPlus(const TIpAddress& address, std::uint32_t offset);

// How a stream's frames walk through its flows.
enum class TFlowOrder { sequential, random };

// A stream's flows: every combination of its source and destination ports and addresses.
struct TFlows {
    TIpAddress source;
    TIpAddress destination;
    std::uint32_t sourceCount = 1;
    std::uint32_t destinationCount = 1;
    TPortRange sourcePorts;
    TPortRange destinationPorts;
    TFlowOrder order = TFlowOrder::sequential;

    // The number of combinations, at most 2^64 - 1.
    std::uint64_t count() const;
};

// A stream's frame settings; the defaults give the plain frame.
struct TStreamFrames {
    TVlanTag tag;      // 802.1Q, next to the IP header
    TVlanTag outerTag; // 802.1ad, in front of `tag`; only with `tag`
    bool ipv6 = false;
    std::uint32_t flowLabel = 0;
    // The addresses are set in the configuration only when "given"; otherwise they are the
    // interfaces' and make their way into the stream's template.
    TFlows flows;
    bool sourceGiven = false;
    bool destinationGiven = false;
    // The IP address whose MAC address the frames are sent to, in place of the destination MAC.
    std::string nextHop;

    TFrameLayout layout() const;
    // True when the frames are the plain ones: no key of the stream's changes them.
    bool plain() const;
};

// Reads the frame keys of the stream section `section` into `frames`. Returns the message for
// the first key it cannot accept, empty when every key present is fine.
std::string readStreamFrameKeys(const CConfig& config, const std::string& section,
                                TStreamFrames& frames);

// A stream's frame header up to its payload, for flow 0, and what varies from flow to flow.
struct TFrameTemplate {
    TFrameLayout layout;
    unsigned char header[MAX_FRAME_HEADER_SIZE] = {};
    TFlows flows; // with the addresses of flow 0 in use
    std::uint64_t flowCount = 1;
};

// The template of a stream: `macs` holds the destination and source MAC addresses (12 bytes),
// `source` and `destination` the addresses of flow 0 (of the stream's IP version).
TFrameTemplate makeFrameTemplate(const TStreamFrames& frames, const unsigned char* macs,
                                 const TIpAddress& source, const TIpAddress& destination);

// The flow of the stream's frame number `frame` in a cycle drawn with `seed`: the next
// combination in order (source port fastest, then destination port, source address,
// destination address), or a random one repeatable from the seed.
std::uint64_t flowOfFrame(const TFrameTemplate& frames, std::uint32_t seed, unsigned int stream,
                          std::uint64_t frame);

// The shortest and longest frame (without check sequence) of the layout for a drawn size, as
// frameLengthForSize gives them for the plain frame: the tags count, so the longest grows by
// them; the shortest holds the headers and the payload.
std::size_t shortestFrame(const TFrameLayout& layout, bool numbered);
std::size_t streamFrameLength(std::uint32_t size, bool numbered, const TFrameLayout& layout);
// The throughput test's frames: 1500 bytes and the tags.
std::size_t throughputFrameLength(const TFrameLayout& layout);

// Builds a frame of `length` bytes (shortestFrame..MAX_TAGGED_FRAME_LENGTH) of flow `flow`:
// headers, TOS or traffic class, lengths, IPv4 checksum, stream letter, zero send time, filler.
// An IPv6 frame's UDP checksum is left partial until finishFrame.
void buildFlowFrame(unsigned char* frame, std::size_t length, const TFrameTemplate& frames,
                    unsigned char tos, unsigned int streamIndex, std::uint64_t flow);

// Completes an IPv6 frame's UDP checksum over what has been stamped since buildFlowFrame (the
// send time and the sequence number, the STAMPED_BYTES after the stream letter): the last write
// into the frame before it is sent. Does nothing to an IPv4 frame, whose UDP checksum is 0.
constexpr std::size_t STAMPED_BYTES = 32;
void finishFrame(unsigned char* frame, std::size_t length, const TFrameLayout& layout);

// The capture filter: UDP to the streams' destination ports, untagged or under one or two tags.
// Without tags and with only the test port it is the plain frames' filter.
std::string captureFilter(const std::vector<TPortRange>& destinationPorts, bool tagged);

#endif
