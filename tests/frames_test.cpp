// Tagged, IPv6 and multi-flow frames: built, stamped, filtered and accounted as the receiver
// sees them; the keys that set them.

#include "frames.h"
#include "testframe.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <string>
#include <vector>

#include "accounting.h"
#include "benchmark.h"
#include "config.h"

namespace {

const unsigned char MACS[12] = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1};

TIpAddress address(const char* text) {
    TIpAddress read;
    EXPECT_TRUE(readIpAddress(text, read)) << text;
    return read;
}

struct TLayoutCase {
    const char* name;
    std::uint16_t tag;
    std::uint16_t outerTag;
    bool ipv6;
};

const TLayoutCase LAYOUTS[] = {{"tagged", 10, 0, false},
                               {"QinQ", 20, 300, false},
                               {"IPv6", 0, 0, true},
                               {"tagged IPv6", 4094, 0, true}};

TStreamFrames framesOf(const TLayoutCase& layout) {
    TStreamFrames frames;
    frames.tag.id = layout.tag;
    frames.tag.priority = 5;
    frames.outerTag.id = layout.outerTag;
    frames.ipv6 = layout.ipv6;
    return frames;
}

TFrameTemplate templateOf(const TStreamFrames& frames) {
    return frames.ipv6 ? makeFrameTemplate(frames, MACS, address("fd00::1"), address("fd00::2"))
                       : makeFrameTemplate(frames, MACS, address("10.0.0.1"), address("10.0.0.2"));
}

// A frame as the sender sends it: built, numbered, stamped, finished.
std::vector<unsigned char> sentFrame(const TFrameTemplate& frames, std::size_t length,
                                     unsigned int stream, std::uint32_t number,
                                     const timeval& sent) {
    std::vector<unsigned char> frame(length);
    buildFlowFrame(frame.data(), length, frames, 0xB8, stream,
                   flowOfFrame(frames, 1, stream, number));
    const std::size_t shift = frames.layout.payloadShift();
    stampSendTime(frame.data() + shift, sent);
    stampSequenceNumber(frame.data() + shift, length - shift, number);
    finishFrame(frame.data(), length, frames.layout);
    return frame;
}

// The UDP checksum of an IPv6 frame recomputed from scratch: 0 when it is right.
std::uint16_t udpChecksumResidue(const std::vector<unsigned char>& frame,
                                 const TFrameLayout& layout) {
    std::uint32_t sum = 0;
    const auto add = [&sum](const unsigned char* bytes, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            sum += i % 2 == 0 ? bytes[i] << 8 : bytes[i];
        }
    };
    add(frame.data() + layout.ipOffset() + 8, 32);
    sum += static_cast<std::uint32_t>(frame.size() - layout.udpOffset()) + 17;
    add(frame.data() + layout.udpOffset(), frame.size() - layout.udpOffset());
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

bool passes(const std::string& filterText, const std::vector<unsigned char>& frame) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 2048);
    bpf_program program;
    EXPECT_EQ(pcap_compile(dead, &program, filterText.c_str(), 1, PCAP_NETMASK_UNKNOWN), 0)
        << filterText;
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    const bool pass = pcap_offline_filter(&program, &header, frame.data()) != 0;
    pcap_freecode(&program);
    pcap_close(dead);
    return pass;
}

// Every layout: the receiver finds the stream, its number and its send time behind the headers,
// tagged or with its tags taken off on the way; the IPv6 checksum holds after stamping; the
// capture filter admits the frame, tags inline.
TEST(Frames, EveryLayoutIsAccountedCheckedAndAdmitted) {
    const std::string filter = captureFilter({TPortRange{}}, true);
    for (const TLayoutCase& layoutCase : LAYOUTS) {
        SCOPED_TRACE(layoutCase.name);
        const TFrameTemplate frames = templateOf(framesOf(layoutCase));
        const TFrameLayout layout = frames.layout;
        for (const std::size_t length : {shortestFrame(layout, false), std::size_t{333},
                                         MAX_BENCHMARK_FRAME_LENGTH + layout.tags * 4}) {
            const std::vector<unsigned char> frame =
                sentFrame(frames, length, 2, 7, timeval{1000, 500});
            if (layout.ipv6) {
                EXPECT_EQ(udpChecksumResidue(frame, layout), 0) << length;
            }
            EXPECT_TRUE(passes(filter, frame));
            EXPECT_EQ(layoutOfFrame(frame.data(), frame.size()).payloadShift(),
                      layout.payloadShift());

            std::vector<unsigned char> untagged(frame);
            const std::vector<unsigned char>* untaggedFrame = &untagged;
            untagged.erase(untagged.begin() + ETHER_TYPE_OFFSET,
                           untagged.begin() + ETHER_TYPE_OFFSET + layout.tags * VLAN_TAG_SIZE);
            std::vector<TStreamState> streams(3);
            streams[2].sequence.enable();
            for (const auto* arrived : {&frame, untaggedFrame}) {
                pcap_pkthdr header{};
                header.caplen = header.len = static_cast<bpf_u_int32>(arrived->size());
                header.ts = timeval{1000, 800};
                EXPECT_TRUE(accountFrame(streams, arrived->data(), header, 1000000800000, 0));
            }
            // The second copy of number 7 is a duplicate: counted once, with its delay.
            EXPECT_EQ(streams[2].received, 1u);
            EXPECT_EQ(streams[2].receivedTagged, layout.tags > 0 ? 1u : 0u);
            EXPECT_EQ(streams[2].minDelay, 300000); // ns
            EXPECT_EQ(streams[2].sequence.numbersSeen(), 8u);
        }
    }
    // The plain frames' filter is the one they always had; another port's frames stay out.
    EXPECT_EQ(captureFilter({TPortRange{}, TPortRange{}}, false), "dst port 33333");
    EXPECT_EQ(captureFilter({TPortRange{}, TPortRange{40000, 64}}, true),
              "(dst port 33333 or dst portrange 40000-40063) or (vlan and ((dst port 33333 or dst "
              "portrange 40000-40063) or (vlan and (dst port 33333 or dst portrange "
              "40000-40063))))");
    TStreamFrames other = framesOf(LAYOUTS[1]);
    other.flows.destinationPorts.first = 40064;
    EXPECT_FALSE(passes(captureFilter({TPortRange{}, TPortRange{40000, 64}}, true),
                        sentFrame(templateOf(other), 100, 0, 0, timeval{1, 0})));
}

// The flows in the documented order (the pair script checks the ports' order on the wire): the
// source address carries into the next octet, the last flow is followed by the first; a random
// order repeats with its seed and reaches every flow.
TEST(Frames, FlowsWalkTheirCombinations) {
    TStreamFrames frames;
    frames.flows.sourcePorts = {1000, 2};
    frames.flows.destinationPorts = {2000, 2};
    frames.flows.sourceCount = 2;
    frames.flows.destinationCount = 2;
    TFrameTemplate flows =
        makeFrameTemplate(frames, MACS, address("10.0.0.255"), address("10.0.1.1"));
    ASSERT_EQ(flows.flowCount, 16u);
    std::vector<std::string> seen;
    for (std::uint32_t k = 0; k < 17; ++k) {
        const std::vector<unsigned char> frame = sentFrame(flows, 100, 0, k, timeval{1, 0});
        char text[64];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u>%u.%u.%u.%u:%u", frame[26], frame[27],
                      frame[28], frame[29], frame[34] << 8 | frame[35], frame[30], frame[31],
                      frame[32], frame[33], frame[36] << 8 | frame[37]);
        seen.push_back(text);
    }
    EXPECT_EQ(seen[0], "10.0.0.255:1000>10.0.1.1:2000");
    EXPECT_EQ(seen[4], "10.0.1.0:1000>10.0.1.1:2000");
    EXPECT_EQ(seen[15], "10.0.1.0:1001>10.0.1.2:2001");
    EXPECT_EQ(seen[16], seen[0]);

    flows.flows.order = TFlowOrder::random;
    std::vector<int> hits(16);
    std::vector<std::uint64_t> first;
    for (std::uint64_t k = 0; k < 1600; ++k) {
        ++hits[flowOfFrame(flows, 5, 0, k)];
        if (k < 20) {
            first.push_back(flowOfFrame(flows, 5, 0, k));
            EXPECT_EQ(first.back(), flowOfFrame(flows, 5, 0, k));
        }
    }
    for (int count : hits) {
        EXPECT_GT(count, 50);
    }
    bool other = false;
    for (std::uint64_t k = 0; k < 20; ++k) {
        other = other || flowOfFrame(flows, 6, 0, k) != first[k];
    }
    EXPECT_TRUE(other);
}

// The keys of a stream section: each refused value names the key and the section.
TEST(Frames, StreamKeysAreCheckedOneByOne) {
    const struct {
        const char* keys;
        const char* key; // the refused key, or none
        const char* rule;
    } cases[] = {
        {"VLAN ID = 4095\n", "VLAN ID", "Rozsah pouze 1 - 4094"},
        {"VLAN ID = 0\n", "VLAN ID", "Rozsah pouze 1 - 4094"},
        {"VLAN ID = 5\nVLAN priority = 8\n", "VLAN priority", "Rozsah pouze 0 - 7"},
        {"VLAN priority = 3\n", "VLAN priority", "Chybi VLAN ID"},
        {"outer VLAN ID = 7\n", "outer VLAN ID", "Chybi VLAN ID"},
        {"IP version = 5\n", "IP version", "Pouze 4 nebo 6"},
        {"flow label = 1\n", "flow label", "Pouze pro IP version 6"},
        {"IP version = 6\nsource IP = 10.0.0.1\n", "source IP", "Pouze adresa IPv6"},
        {"destination ports = 2000-1999\n", "destination ports",
         "Pouze port nebo rozsah portu P-Q v rozsahu 1 - 65535"},
        {"source IP count = 0\n", "source IP count", "Rozsah pouze 1 - 65536"},
        {"flow order = shuffled\n", "flow order", "Pouze sequential nebo random"},
        {"IP version = 6\nVLAN ID = 4094\nVLAN priority = 7\nouter VLAN ID = 1\nflow label = "
         "1048575\nsource IP = fd00::10\nsource IP count = 65536\nsource ports = 1-65535\n"
         "flow order = random\nnext hop = fd00::fe\n",
         nullptr, ""},
    };
    for (const auto& test : cases) {
        TStreamFrames frames;
        const CConfig config = CConfig::fromText(std::string("[STREAM 2]\n") + test.keys);
        const std::string message = test.key ? "Neplatna hodnota " + std::string(test.key) +
                                                   " pod sekci STREAM 2! " + test.rule
                                             : "";
        EXPECT_EQ(readStreamFrameKeys(config, "STREAM 2", frames), message) << test.keys;
    }
    TStreamFrames plain;
    EXPECT_EQ(readStreamFrameKeys(CConfig::fromText("[STREAM 1]\nTOS = 3\n"), "STREAM 1", plain),
              "");
    EXPECT_TRUE(plain.plain());
}

// The benchmark refuses a size a stream's frames cannot have, by its headers and its tags.
TEST(Frames, BenchmarkSizesFitEachLayout) {
    const struct {
        TLayoutCase layout;
        std::uint32_t smallest;
        std::uint32_t largest;
    } cases[] = {{{"plain", 0, 0, false}, 64, 1518},
                 {LAYOUTS[0], 67, 1522},
                 {LAYOUTS[1], 71, 1526},
                 {LAYOUTS[2], 83, 1518},
                 {LAYOUTS[3], 87, 1522}};
    for (const auto& test : cases) {
        const TFrameSizeRange range = benchmarkFrameRange(framesOf(test.layout).layout());
        EXPECT_EQ(range.smallest, test.smallest) << test.layout.name;
        EXPECT_EQ(range.largest, test.largest) << test.layout.name;
    }
}

} // namespace
