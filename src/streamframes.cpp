// The streams' frames once the interfaces are known: their addresses, their next hops' MAC
// addresses and their templates; and the capture filter that admits them.

#include <algorithm>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>

#include "fail.h"
#include "interfaces.h"
#include "neighbours.h"
#include "testframe.h"
#include "trafficgenerator.h"

namespace {

// The interface's first global IPv6 address: not link-local, loopback or multicast.
bool lookupGlobalIpv6(const char* name, TIpAddress& address) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6 ||
            std::strcmp(entry->ifa_name, name) != 0) {
            continue;
        }
        const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
        if (IN6_IS_ADDR_LINKLOCAL(&ip) || IN6_IS_ADDR_LOOPBACK(&ip) || IN6_IS_ADDR_MULTICAST(&ip)) {
            continue;
        }
        address = TIpAddress{};
        address.ipv6 = true;
        std::memcpy(address.bytes, &ip, IPV6_ADDRESS_SIZE);
        found = true;
    }
    freeifaddrs(list);
    return found;
}

TIpAddress ipv4Address(const unsigned char* bytes) {
    TIpAddress address;
    std::memcpy(address.bytes, bytes, 4);
    return address;
}

// An interface's global IPv6 address, looked up once when a stream needs it.
class CInterfaceIpv6 {
  public:
    explicit CInterfaceIpv6(const char* name) : name(name) {}
    const TIpAddress& get() {
        if (!looked && !lookupGlobalIpv6(name, address)) {
            fail(std::string("Rozhrani ") + name + " nema globalni adresu IPv6!");
        }
        looked = true;
        return address;
    }

  private:
    const char* name;
    bool looked = false;
    TIpAddress address;
};

// `hop`'s MAC address into `mac`, asked for from the sending interface; ends the run when none
// answers.
void resolveOrFail(const char* interfaceName, const TIpAddress& source, const TIpAddress& hop,
                   const TStreamFrames& frames, unsigned char* mac) {
    unsigned char ownMac[MAC_LENGTH] = {};
    readInterfaceMac(interfaceName, ownMac);
    std::string reason;
    if (!resolveNextHop(interfaceName, ownMac, source, hop, frames.tag, frames.outerTag, mac,
                        reason)) {
        fail("Nepodarilo se zjistit MAC adresu next hop " + ipAddressText(hop) + " na rozhrani " +
             interfaceName + ": " + reason);
    }
}

} // namespace

bool CTrafficGenerator::needsInterfaceIpv4(bool source) const {
    const std::uint32_t count = streams < MAX_STREAMS ? streams : MAX_STREAMS;
    if (count == 0) {
        return true;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const TStreamFrames& frames = streamFrames[i];
        if (!frames.ipv6 && !(source ? frames.sourceGiven : frames.destinationGiven)) {
            return true;
        }
    }
    return false;
}

void CTrafficGenerator::prepareStreamFrames() {
    CInterfaceIpv6 sendingIpv6(sendingInterface);
    CInterfaceIpv6 receivingIpv6(receivingInterface);
    const TIpAddress sendingIpv4 = ipv4Address(frameHeader + SOURCE_IPV4_OFFSET);
    const TIpAddress receivingIpv4 = ipv4Address(frameHeader + DESTINATION_IPV4_OFFSET);
    const std::uint32_t count = streams < MAX_STREAMS ? streams : MAX_STREAMS;
    if (!nextHop.empty()) {
        // Asked for under the first stream's tags: the next hop is on its VLAN.
        TIpAddress hop;
        readIpAddress(nextHop, hop);
        resolveOrFail(sendingInterface, hop.ipv6 ? sendingIpv6.get() : sendingIpv4, hop,
                      streamFrames[0], frameHeader + DESTINATION_MAC_OFFSET);
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const TStreamFrames& frames = streamFrames[i];
        templated[i] = !frames.plain() || !frames.nextHop.empty();
        if (!templated[i]) {
            continue;
        }
        TIpAddress source = frames.flows.source;
        TIpAddress destination = frames.flows.destination;
        if (!frames.sourceGiven) {
            source = frames.ipv6 ? sendingIpv6.get() : sendingIpv4;
        }
        if (!frames.destinationGiven) {
            destination = frames.ipv6 ? receivingIpv6.get() : receivingIpv4;
        }
        unsigned char macs[2 * MAC_LENGTH];
        std::memcpy(macs, frameHeader, sizeof macs);
        if (!frames.nextHop.empty()) {
            TIpAddress hop;
            readIpAddress(frames.nextHop, hop);
            resolveOrFail(sendingInterface, source, hop, frames, macs + DESTINATION_MAC_OFFSET);
        }
        frameTemplates[i] = makeFrameTemplate(frames, macs, source, destination);
    }
}

std::vector<std::vector<unsigned char>>
CTrafficGenerator::learningFramesOfStreams(const std::vector<unsigned char>& plain) const {
    std::vector<std::vector<unsigned char>> frames;
    const auto add = [&frames](std::vector<unsigned char> frame) {
        if (std::find(frames.begin(), frames.end(), frame) == frames.end()) {
            frames.push_back(std::move(frame));
        }
    };
    for (std::uint32_t i = 0; i < streams && i < MAX_STREAMS; ++i) {
        // A switch learns an address per VLAN: each stream's VLAN needs its own frame.
        add(withVlanTags(plain, streamFrames[i].tag, streamFrames[i].outerTag));
    }
    if (frames.empty()) {
        frames.push_back(plain);
    }
    return frames;
}

std::string CTrafficGenerator::departureFilter() const {
    bool shifted = false;
    for (std::uint32_t i = 0; i < streams && i < MAX_STREAMS; ++i) {
        shifted = shifted || streamFrames[i].layout().payloadShift() > 0;
    }
    return departureFilterText(cycleStampEvery, captureFilterText(), shifted);
}

std::string CTrafficGenerator::captureFilterText() const {
    std::vector<TPortRange> ports;
    bool tagged = false;
    for (std::uint32_t i = 0; i < streams && i < MAX_STREAMS; ++i) {
        ports.push_back(streamFrames[i].flows.destinationPorts);
        tagged = tagged || streamFrames[i].layout().tags > 0;
    }
    return captureFilter(ports, tagged);
}
