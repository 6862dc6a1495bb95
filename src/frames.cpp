#include "frames.h"

#include <arpa/inet.h>
#include <cstring>

#include "config.h"
#include "testframe.h"
#include "textparsing.h"

namespace {

constexpr unsigned char IPV4_VERSION_AND_LENGTH = 0x45;
constexpr unsigned char IPV6_VERSION = 0x60;
constexpr unsigned char HOP_LIMIT = 255; // as the IPv4 frames' time to live
constexpr unsigned char PROTOCOL_UDP = 17;
constexpr std::size_t IPV6_PAYLOAD_LENGTH_OFFSET = 4; // from the IPv6 header's start
constexpr std::size_t IPV6_NEXT_HEADER_OFFSET = 6;
constexpr std::size_t IPV6_HOP_LIMIT_OFFSET = 7;
constexpr std::size_t IPV6_SOURCE_OFFSET = 8;
constexpr std::size_t IPV6_DESTINATION_OFFSET = 24;
constexpr std::size_t IPV4_TOS_OFFSET = 1; // from the IPv4 header's start
constexpr std::size_t IPV4_LENGTH_OFFSET = 2;
constexpr std::size_t IPV4_TTL_OFFSET = 8;
constexpr std::size_t IPV4_PROTOCOL_OFFSET = 9;
constexpr std::size_t IPV4_CHECKSUM_OFFSET = 10;
constexpr std::size_t IPV4_SOURCE_OFFSET = 12;
constexpr std::size_t IPV4_DESTINATION_OFFSET = 16;
constexpr std::size_t UDP_DESTINATION_PORT = 2; // from the UDP header's start
constexpr std::size_t UDP_LENGTH = 4;
constexpr std::size_t UDP_CHECKSUM = 6;
constexpr std::uint32_t MAX_RANGE_COUNT = 65536;

void putBigEndian16(unsigned char* at, std::size_t value) {
    at[0] = static_cast<unsigned char>((value >> 8) & 0xFF);
    at[1] = static_cast<unsigned char>(value & 0xFF);
}

std::uint16_t readBigEndian16(const unsigned char* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::size_t addressSize(bool ipv6) {
    return ipv6 ? IPV6_ADDRESS_SIZE : 4;
}

// The one's complement sum (RFC 1071) of `length` bytes added to `sum`, unfolded; `odd`: the
// first byte is the low byte of its 16-bit word.
std::uint32_t addOnesComplement(std::uint32_t sum, const unsigned char* data, std::size_t length,
                                bool odd) {
    std::size_t i = 0;
    if (odd && length > 0) {
        sum += data[0];
        i = 1;
    }
    for (; i + 1 < length; i += 2) {
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    }
    if (i < length) {
        sum += static_cast<std::uint32_t>(data[i] << 8);
    }
    return sum;
}

std::uint16_t fold(std::uint32_t sum) {
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(sum);
}

// The bytes after the stream letter that are stamped after the frame is built.
std::size_t stampedBytes(std::size_t length, const TFrameLayout& layout) {
    const std::size_t first = layout.payloadOffset() + 1;
    return length > first ? std::min(STAMPED_BYTES, length - first) : 0;
}

// The stamped bytes' sum; they start one byte after the payload, the low byte of a word.
std::uint16_t stampedSum(const unsigned char* frame, std::size_t length,
                         const TFrameLayout& layout) {
    return fold(addOnesComplement(0, frame + layout.payloadOffset() + 1,
                                  stampedBytes(length, layout), true));
}

// The sum of bytes all equal to `fill` at positions [from, to) counted from the datagram's start:
// a byte at an even position is a word's high byte. Counted, not added up byte by byte, so that
// a frame built for every departure costs the same at any length.
std::uint32_t fillSum(unsigned char fill, std::size_t from, std::size_t to) {
    if (to <= from) {
        return 0;
    }
    const auto even = static_cast<std::uint32_t>((to + 1) / 2 - (from + 1) / 2);
    const auto odd = static_cast<std::uint32_t>(to - from) - even;
    return even * (std::uint32_t{fill} << 8) + odd * fill;
}

// Writes the IPv6 frame's UDP checksum field with the sum of pseudo-header and datagram without
// the stamped bytes, folded and not complemented: finishFrame adds the stamped bytes. The payload
// is the stream's letter throughout, the stamped bytes left out.
void putPartialUdpChecksum(unsigned char* frame, std::size_t length, const TFrameLayout& layout) {
    const std::size_t ip = layout.ipOffset();
    const std::size_t udp = layout.udpOffset();
    putBigEndian16(frame + udp + UDP_CHECKSUM, 0);
    // Pseudo-header: both addresses, the UDP length and the next header.
    std::uint32_t sum =
        addOnesComplement(0, frame + ip + IPV6_SOURCE_OFFSET, 2 * IPV6_ADDRESS_SIZE, false);
    sum += static_cast<std::uint32_t>(length - udp);
    sum += PROTOCOL_UDP;
    sum = addOnesComplement(sum, frame + udp, UDP_HEADER_SIZE, false);
    const std::size_t payload = layout.payloadOffset() - udp;
    const std::size_t stampedEnd = payload + 1 + stampedBytes(length, layout);
    const unsigned char letter = frame[layout.payloadOffset()];
    sum += fillSum(letter, payload, payload + 1) + fillSum(letter, stampedEnd, length - udp);
    putBigEndian16(frame + udp + UDP_CHECKSUM, fold(sum));
}

std::string invalid(const std::string& key, const std::string& section, const std::string& rule) {
    return "Neplatna hodnota " + key + " pod sekci " + section + "! " + rule;
}

// "P" or "P-Q" with 1 <= P <= Q <= 65535.
bool readPortRange(const std::string& text, TPortRange& range) {
    const std::size_t dash = text.find('-');
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    if (!readDecimal(text.substr(0, dash), 1, 65535, first)) {
        return false;
    }
    last = first;
    if (dash != std::string::npos && !readDecimal(text.substr(dash + 1), first, 65535, last)) {
        return false;
    }
    range.first = static_cast<std::uint16_t>(first);
    range.count = last - first + 1;
    return true;
}

std::uint64_t splitMix64(std::uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

} // namespace

std::size_t putVlanTags(unsigned char* at, const TVlanTag& tag, const TVlanTag& outerTag) {
    std::size_t written = 0;
    for (const auto& [one, type] :
         {std::pair<TVlanTag, std::uint16_t>{outerTag, ETHER_TYPE_SERVICE_VLAN},
          {tag, ETHER_TYPE_VLAN}}) {
        if (one.id != 0) {
            putBigEndian16(at + written, type);
            putBigEndian16(at + written + 2, static_cast<std::size_t>(one.priority) << 13 | one.id);
            written += VLAN_TAG_SIZE;
        }
    }
    return written;
}

std::vector<unsigned char> withVlanTags(const std::vector<unsigned char>& frame,
                                        const TVlanTag& tag, const TVlanTag& outerTag) {
    unsigned char tags[MAX_VLAN_TAGS * VLAN_TAG_SIZE];
    const std::size_t length = putVlanTags(tags, tag, outerTag);
    std::vector<unsigned char> tagged(frame);
    tagged.insert(tagged.begin() + ETHER_TYPE_OFFSET, tags, tags + length);
    return tagged;
}

TFrameLayout layoutOfFrame(const unsigned char* frame, std::size_t length) {
    TFrameLayout layout;
    std::size_t type = ETHER_TYPE_OFFSET;
    while (layout.tags < MAX_VLAN_TAGS && type + 2 <= length &&
           (readBigEndian16(frame + type) == ETHER_TYPE_VLAN ||
            readBigEndian16(frame + type) == ETHER_TYPE_SERVICE_VLAN)) {
        ++layout.tags;
        type += VLAN_TAG_SIZE;
    }
    layout.ipv6 = type + 2 <= length && readBigEndian16(frame + type) == ETHER_TYPE_IPV6;
    return layout;
}

bool readIpAddress(const std::string& text, TIpAddress& address) {
    TIpAddress read;
    if (inet_pton(AF_INET, text.c_str(), read.bytes) == 1) {
        address = read;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), read.bytes) == 1) {
        read.ipv6 = true;
        address = read;
        return true;
    }
    return false;
}

std::string ipAddressText(const TIpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(address.ipv6 ? AF_INET6 : AF_INET, address.bytes, text, sizeof text);
    return text;
}

TIpAddress addressPlus(const TIpAddress& address, std::uint32_t offset) {
    TIpAddress sum = address;
    std::uint64_t carry = offset;
    for (std::size_t i = addressSize(address.ipv6); i-- > 0 && carry != 0;) {
        carry += sum.bytes[i];
        sum.bytes[i] = static_cast<unsigned char>(carry & 0xFF);
        carry >>= 8;
    }
    return sum;
}

TFrameLayout TStreamFrames::layout() const {
    TFrameLayout layout;
    layout.tags = (tag.id != 0 ? 1 : 0) + (outerTag.id != 0 ? 1 : 0);
    layout.ipv6 = ipv6;
    return layout;
}

std::uint64_t TFlows::count() const {
    return std::uint64_t{sourcePorts.count} * destinationPorts.count * sourceCount *
           destinationCount;
}

bool TStreamFrames::plain() const {
    return layout().plain() && flows.count() == 1 && !sourceGiven && !destinationGiven &&
           flows.sourcePorts.first == TEST_PORT && flows.destinationPorts.first == TEST_PORT;
}

std::string readStreamFrameKeys(const CConfig& config, const std::string& section,
                                TStreamFrames& frames) {
    const auto has = [&](const char* key) { return config.hasKey(key, section); };
    const auto text = [&](const char* key) { return config.getString(key, section); };
    std::uint32_t number = 0;
    const auto readTag = [&](const char* idKey, const char* priorityKey, TVlanTag& tag) {
        if (has(idKey)) {
            if (!readDecimal(text(idKey), 1, MAX_VLAN_ID, number)) {
                return invalid(idKey, section, "Rozsah pouze 1 - 4094");
            }
            tag.id = static_cast<std::uint16_t>(number);
        }
        if (has(priorityKey)) {
            if (tag.id == 0) {
                return invalid(priorityKey, section, std::string("Chybi ") + idKey);
            }
            if (!readDecimal(text(priorityKey), 0, MAX_VLAN_PRIORITY, number)) {
                return invalid(priorityKey, section, "Rozsah pouze 0 - 7");
            }
            tag.priority = static_cast<std::uint8_t>(number);
        }
        return std::string();
    };
    std::string message = readTag("VLAN ID", "VLAN priority", frames.tag);
    if (message.empty()) {
        message = readTag("outer VLAN ID", "outer VLAN priority", frames.outerTag);
    }
    if (!message.empty()) {
        return message;
    }
    if (frames.outerTag.id != 0 && frames.tag.id == 0) {
        return invalid("outer VLAN ID", section, "Chybi VLAN ID");
    }
    if (has("IP version")) {
        const std::string version = text("IP version");
        if (version != "4" && version != "6") {
            return invalid("IP version", section, "Pouze 4 nebo 6");
        }
        frames.ipv6 = version == "6";
    }
    if (has("flow label")) {
        if (!frames.ipv6) {
            return invalid("flow label", section, "Pouze pro IP version 6");
        }
        if (!readDecimal(text("flow label"), 0, MAX_FLOW_LABEL, frames.flowLabel)) {
            return invalid("flow label", section, "Rozsah pouze 0 - 1048575");
        }
    }
    const std::string addressRule =
        frames.ipv6 ? "Pouze adresa IPv6" : "Pouze adresa IPv4 (ctyri cisla s teckami)";
    const auto readAddress = [&](const char* key, TIpAddress& address, bool& given) {
        if (!has(key)) {
            return true;
        }
        given = readIpAddress(text(key), address) && address.ipv6 == frames.ipv6;
        return given;
    };
    if (!readAddress("source IP", frames.flows.source, frames.sourceGiven)) {
        return invalid("source IP", section, addressRule);
    }
    if (!readAddress("destination IP", frames.flows.destination, frames.destinationGiven)) {
        return invalid("destination IP", section, addressRule);
    }
    for (const auto& [key, count] :
         {std::pair<const char*, std::uint32_t*>{"source IP count", &frames.flows.sourceCount},
          {"destination IP count", &frames.flows.destinationCount}}) {
        if (has(key) && !readDecimal(text(key), 1, MAX_RANGE_COUNT, *count)) {
            return invalid(key, section, "Rozsah pouze 1 - 65536");
        }
    }
    for (const auto& [key, range] :
         {std::pair<const char*, TPortRange*>{"source ports", &frames.flows.sourcePorts},
          {"destination ports", &frames.flows.destinationPorts}}) {
        if (has(key) && !readPortRange(text(key), *range)) {
            return invalid(key, section, "Pouze port nebo rozsah portu P-Q v rozsahu 1 - 65535");
        }
    }
    if (has("flow order")) {
        const std::string order = text("flow order");
        if (order != "sequential" && order != "random") {
            return invalid("flow order", section, "Pouze sequential nebo random");
        }
        frames.flows.order = order == "random" ? TFlowOrder::random : TFlowOrder::sequential;
    }
    if (has("next hop")) {
        TIpAddress hop;
        if (!readIpAddress(text("next hop"), hop) || hop.ipv6 != frames.ipv6) {
            return invalid("next hop", section, addressRule);
        }
        frames.nextHop = ipAddressText(hop);
    }
    return "";
}

TFrameTemplate makeFrameTemplate(const TStreamFrames& frames, const unsigned char* macs,
                                 const TIpAddress& source, const TIpAddress& destination) {
    TFrameTemplate result;
    result.layout = frames.layout();
    result.flows = frames.flows;
    result.flows.source = source;
    result.flows.destination = destination;
    result.flowCount = frames.flows.count();

    unsigned char* header = result.header;
    std::memcpy(header, macs, 2 * MAC_LENGTH);
    const std::size_t at =
        ETHER_TYPE_OFFSET + putVlanTags(header + ETHER_TYPE_OFFSET, frames.tag, frames.outerTag);
    unsigned char* ip = header + result.layout.ipOffset();
    if (frames.ipv6) {
        putBigEndian16(header + at, ETHER_TYPE_IPV6);
        // Version, traffic class (the TOS, written per frame) and flow label.
        ip[0] = IPV6_VERSION;
        ip[1] = static_cast<unsigned char>((frames.flowLabel >> 16) & 0x0F);
        putBigEndian16(ip + 2, frames.flowLabel & 0xFFFF);
        ip[IPV6_NEXT_HEADER_OFFSET] = PROTOCOL_UDP;
        ip[IPV6_HOP_LIMIT_OFFSET] = HOP_LIMIT;
        std::memcpy(ip + IPV6_SOURCE_OFFSET, source.bytes, IPV6_ADDRESS_SIZE);
        std::memcpy(ip + IPV6_DESTINATION_OFFSET, destination.bytes, IPV6_ADDRESS_SIZE);
    } else {
        putBigEndian16(header + at, 0x0800);
        ip[0] = IPV4_VERSION_AND_LENGTH;
        ip[IPV4_TTL_OFFSET] = HOP_LIMIT;
        ip[IPV4_PROTOCOL_OFFSET] = PROTOCOL_UDP;
        std::memcpy(ip + IPV4_SOURCE_OFFSET, source.bytes, 4);
        std::memcpy(ip + IPV4_DESTINATION_OFFSET, destination.bytes, 4);
    }
    unsigned char* udp = header + result.layout.udpOffset();
    putBigEndian16(udp, frames.flows.sourcePorts.first);
    putBigEndian16(udp + UDP_DESTINATION_PORT, frames.flows.destinationPorts.first);
    return result;
}

std::uint64_t flowOfFrame(const TFrameTemplate& frames, std::uint32_t seed, unsigned int stream,
                          std::uint64_t frame) {
    if (frames.flowCount <= 1) {
        return 0;
    }
    if (frames.flows.order == TFlowOrder::sequential) {
        return frame % frames.flowCount;
    }
    // A hash of seed, stream and frame number: the same draws for the same seed, on any host.
    const std::uint64_t key = (std::uint64_t{seed} << 32 | stream) ^ splitMix64(frame);
    return splitMix64(key) % frames.flowCount;
}

std::size_t shortestFrame(const TFrameLayout& layout, bool numbered) {
    return (numbered ? MIN_NUMBERED_FRAME_LENGTH : MIN_FRAME_LENGTH) + layout.payloadShift();
}

std::size_t streamFrameLength(std::uint32_t size, bool numbered, const TFrameLayout& layout) {
    const std::size_t shortest = shortestFrame(layout, numbered);
    const std::size_t longest = throughputFrameLength(layout);
    const std::size_t limited = size < longest ? size : longest;
    return limited > shortest ? limited : shortest;
}

std::size_t throughputFrameLength(const TFrameLayout& layout) {
    return MAX_FRAME_LENGTH + layout.tags * VLAN_TAG_SIZE;
}

void buildFlowFrame(unsigned char* frame, std::size_t length, const TFrameTemplate& frames,
                    unsigned char tos, unsigned int streamIndex, std::uint64_t flow) {
    const TFrameLayout& layout = frames.layout;
    const TFlows& flows = frames.flows;
    const std::size_t payload = layout.payloadOffset();
    std::memcpy(frame, frames.header, payload);

    // The combination's digits: source port fastest, then destination port and addresses.
    const auto digit = [&flow](std::uint32_t count) {
        const auto value = static_cast<std::uint32_t>(flow % count);
        flow /= count;
        return value;
    };
    unsigned char* udp = frame + layout.udpOffset();
    putBigEndian16(
        udp, static_cast<std::uint16_t>(flows.sourcePorts.first + digit(flows.sourcePorts.count)));
    putBigEndian16(udp + UDP_DESTINATION_PORT,
                   static_cast<std::uint16_t>(flows.destinationPorts.first +
                                              digit(flows.destinationPorts.count)));
    const TIpAddress source = addressPlus(flows.source, digit(flows.sourceCount));
    const TIpAddress destination = addressPlus(flows.destination, digit(flows.destinationCount));
    putBigEndian16(udp + UDP_LENGTH, length - layout.udpOffset());

    unsigned char* ip = frame + layout.ipOffset();
    if (layout.ipv6) {
        std::memcpy(ip + IPV6_SOURCE_OFFSET, source.bytes, IPV6_ADDRESS_SIZE);
        std::memcpy(ip + IPV6_DESTINATION_OFFSET, destination.bytes, IPV6_ADDRESS_SIZE);
        ip[0] = static_cast<unsigned char>(IPV6_VERSION | tos >> 4);
        ip[1] = static_cast<unsigned char>((tos & 0x0F) << 4 | (ip[1] & 0x0F));
        putBigEndian16(ip + IPV6_PAYLOAD_LENGTH_OFFSET, length - layout.udpOffset());
    } else {
        std::memcpy(ip + IPV4_SOURCE_OFFSET, source.bytes, 4);
        std::memcpy(ip + IPV4_DESTINATION_OFFSET, destination.bytes, 4);
        ip[IPV4_TOS_OFFSET] = tos;
        putBigEndian16(ip + IPV4_LENGTH_OFFSET, length - layout.ipOffset());
        putBigEndian16(ip + IPV4_CHECKSUM_OFFSET, 0);
        putBigEndian16(ip + IPV4_CHECKSUM_OFFSET, getIpv4Crc(ip));
    }
    // The payload as in the plain frame, moved by the headers' extra length.
    std::memset(frame + payload, 'A' + streamIndex, length - payload);
    stampSendTime(frame + layout.payloadShift(), timeval{0, 0});
    if (layout.ipv6) {
        putPartialUdpChecksum(frame, length, layout);
    }
}

void finishFrame(unsigned char* frame, std::size_t length, const TFrameLayout& layout) {
    if (!layout.ipv6) {
        return;
    }
    unsigned char* field = frame + layout.udpOffset() + UDP_CHECKSUM;
    const std::uint32_t sum = readBigEndian16(field) + stampedSum(frame, length, layout);
    const auto checksum = static_cast<std::uint16_t>(~fold(sum));
    // A computed 0 is sent as all ones: 0 would say "no checksum", which IPv6 forbids.
    putBigEndian16(field, checksum == 0 ? 0xFFFF : checksum);
}

std::string captureFilter(const std::vector<TPortRange>& destinationPorts, bool tagged) {
    std::vector<std::string> terms;
    const std::vector<TPortRange> testPort{TPortRange{}};
    for (const TPortRange& range : destinationPorts.empty() ? testPort : destinationPorts) {
        const std::string term = range.count == 1 ? "dst port " + std::to_string(range.first)
                                                  : "dst portrange " + std::to_string(range.first) +
                                                        "-" + std::to_string(range.last());
        bool known = false;
        for (const std::string& seen : terms) {
            known = known || seen == term;
        }
        if (!known) {
            terms.push_back(term);
        }
    }
    std::string ports;
    for (const std::string& term : terms) {
        ports += (ports.empty() ? "" : " or ") + term;
    }
    if (terms.size() > 1) {
        ports = "(" + ports + ")";
    }
    if (!tagged) {
        return ports;
    }
    // Each "vlan" moves the offsets of what follows it by one tag; the kernel may have taken the
    // outer tag off the frame already, which libpcap's "vlan" allows for.
    return ports + " or (vlan and (" + ports + " or (vlan and " + ports + ")))";
}
