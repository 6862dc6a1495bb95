#include "interfaces.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <linux/ethtool.h>
#include <linux/net_tstamp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "batchsender.h"
#include "fail.h"
#include "learningframe.h"
#include "sendstamps.h"
#include "testframe.h"
#include "trafficgenerator.h"
#include "xdpsender.h"

namespace {

constexpr int SNAPSHOT_LENGTH = FULL_SNAPSHOT_LENGTH;
constexpr int READ_TIMEOUT_MS = 50;

enum class TAddressLookup { found, noSuchInterface, noIpv4Address };

// Asks the kernel for the interface's IPv4 address and copies its four bytes (network order)
// to `address`. Names longer than the kernel's limit are cut to 15 characters.
TAddressLookup lookupIpv4Address(int socketFd, const char* name, unsigned char* address) {
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    request.ifr_addr.sa_family = AF_INET;
    if (ioctl(socketFd, SIOCGIFADDR, &request) != 0) {
        // A missing interface is left to the capture library, whose open fails with the
        // message the user expects for it.
        if (errno == ENODEV || errno == ENXIO) {
            return TAddressLookup::noSuchInterface;
        }
        return TAddressLookup::noIpv4Address;
    }
    const sockaddr_in* ipv4 = reinterpret_cast<const sockaddr_in*>(&request.ifr_addr);
    std::memcpy(address, &ipv4->sin_addr.s_addr, 4);
    return TAddressLookup::found;
}

// Copies the interface's own hardware address to `mac` (6 bytes). An interface the kernel
// cannot name an address for leaves `mac` as it is and gives false.
bool lookupHardwareAddress(int socketFd, const char* name, unsigned char* mac) {
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(socketFd, SIOCGIFHWADDR, &request) != 0) {
        return false;
    }
    std::memcpy(mac, request.ifr_hwaddr.sa_data, MAC_LENGTH);
    return true;
}

// What the interface's driver says it can stamp; nothing for a driver that does not answer.
TStampingAbilities readStampingAbilities(const char* name) {
    TStampingAbilities abilities;
    const int socketFd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socketFd < 0) {
        return abilities;
    }
    ethtool_ts_info info{};
    info.cmd = ETHTOOL_GET_TS_INFO;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char*>(&info);
    // A driver that cannot answer stamps nothing in hardware.
    if (ioctl(socketFd, SIOCETHTOOL, &request) == 0) {
        abilities.hardwareTransmit = (info.so_timestamping & SOF_TIMESTAMPING_TX_HARDWARE) != 0;
        abilities.hardwareReceive = (info.so_timestamping & SOF_TIMESTAMPING_RX_HARDWARE) != 0;
        abilities.rawHardware = (info.so_timestamping & SOF_TIMESTAMPING_RAW_HARDWARE) != 0;
        abilities.clock = info.phc_index;
    }
    close(socketFd);
    return abilities;
}

std::string macText(const unsigned char* mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string ipv4Text(const unsigned char* address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    return text;
}

// The interface's name, own hardware address (empty when the kernel names none) and the IPv4
// address initialize() found for it.
TInterfaceDescription describeInterface(const char* name, const unsigned char* ipv4) {
    unsigned char mac[MAC_LENGTH];
    const bool known = readInterfaceMac(name, mac);
    // Without an IPv4 address (a run of IPv6 streams only) the address is left out.
    const unsigned char none[4] = {};
    return {name, known ? macText(mac) : "",
            std::memcmp(ipv4, none, sizeof none) != 0 ? ipv4Text(ipv4) : ""};
}

} // namespace

pcap_t* openReceivingCapture(const char* name, char* errorBuffer, int ringBytes,
                             int snapshotLength) {
    // Opened step by step rather than with pcap_open_live for the larger ring buffer.
    pcap_t* device = pcap_create(name, errorBuffer);
    if (device == nullptr) {
        return nullptr;
    }
    pcap_set_snaplen(device, snapshotLength);
    pcap_set_promisc(device, 0);
    pcap_set_timeout(device, READ_TIMEOUT_MS);
    pcap_set_buffer_size(device, ringBytes);
    // Arrivals in nanoseconds where the system stamps them so; captureUnitNs() tells.
    pcap_set_tstamp_precision(device, PCAP_TSTAMP_PRECISION_NANO);
    const int status = pcap_activate(device);
    if (status >= 0) {
        return device;
    }
    // pcap_open_live's own wording: the detail only for a generic error and for the statuses
    // whose reason it adds in parentheses; for the others (an interface that is down, say) the
    // status text alone, which would otherwise be said twice. Cut to the buffer, as it does.
    const std::string detail = pcap_geterr(device);
    std::string text = std::string(name) + ": ";
    if (status == PCAP_ERROR) {
        text += detail;
    } else if (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
               status == PCAP_ERROR_PROMISC_PERM_DENIED) {
        text += std::string(pcap_statustostr(status)) + " (" + detail + ")";
    } else {
        text += pcap_statustostr(status);
    }
    std::snprintf(errorBuffer, PCAP_ERRBUF_SIZE, "%s", text.c_str());
    pcap_close(device);
    return nullptr;
}

namespace {

// The test of a number whose 4 bytes start at `offset` (least significant first) for a
// multiple of 2^bits.
std::string multipleTest(std::size_t offset, std::uint32_t bits) {
    std::string text;
    for (; bits >= 8; bits -= 8, ++offset) {
        text += " and ether[" + std::to_string(offset) + "] = 0";
    }
    if (bits > 0) {
        text += " and ether[" + std::to_string(offset) + "] & " + std::to_string((1u << bits) - 1) +
                " = 0";
    }
    return text;
}

} // namespace

std::string departureFilterText(std::uint32_t every, const std::string& testFrames, bool shifted) {
    std::uint32_t bits = 0;
    while ((std::uint32_t{1} << bits) < every && bits < 31) {
        ++bits;
    }
    if (bits == 0 || shifted) {
        return testFrames;
    }
    const std::string plainFrames =
        testFrames.find(" or ") == std::string::npos ? testFrames : "(" + testFrames + ")";
    // A frame too short for its number after the send time keeps it inside the send time.
    return plainFrames + " and ((len >= " + std::to_string(MIN_NUMBERED_FRAME_LENGTH) +
           multipleTest(SEQUENCE_NUMBER_OFFSET, bits) + ") or (len < " +
           std::to_string(MIN_NUMBERED_FRAME_LENGTH) +
           multipleTest(SHORT_SEQUENCE_NUMBER_OFFSET, bits) + "))";
}

pcap_t* openDepartureCapture(const char* name, const std::string& filterText, char* errorBuffer) {
    const std::string failure =
        std::string("Nepodarilo se otevrit zachytavani odchozich paketu na ") + name + ": ";
    pcap_t* device =
        openReceivingCapture(name, errorBuffer, DEPARTURE_RING_BYTES, FAST_PATH_SNAPSHOT_LENGTH);
    if (device == nullptr) {
        fail(failure + errorBuffer);
    }
    bpf_program filter;
    if (pcap_setdirection(device, PCAP_D_OUT) != 0 ||
        pcap_compile(device, &filter, filterText.c_str(), 1, PCAP_NETMASK_UNKNOWN) == -1) {
        fail(failure + pcap_geterr(device));
    }
    const int set = pcap_setfilter(device, &filter);
    pcap_freecode(&filter);
    if (set == -1 || pcap_setnonblock(device, 1, errorBuffer) == -1) {
        fail(failure + pcap_geterr(device));
    }
    return device;
}

std::int64_t captureUnitNs(pcap_t* device) {
    return pcap_get_tstamp_precision(device) == PCAP_TSTAMP_PRECISION_NANO ? 1 : 1000;
}

pcap_t* openSendingDevice(const char* interfaceName, char* errorBuffer) {
    pcap_t* device =
        pcap_open_live(interfaceName, SNAPSHOT_LENGTH, 0, READ_TIMEOUT_MS, errorBuffer);
    if (device == nullptr) {
        fail(std::string("Nepodarilo se otevrit odesilaci zarizeni ") + interfaceName + ": " +
             errorBuffer);
    }
    return device;
}

int openBatchedPath(const char* interfaceName) {
    std::string reason;
    const int fd = openBatchedSocket(interfaceName, reason);
    if (fd < 0) {
        fail(std::string("Nepodarilo se otevrit davkove odesilani na rozhrani ") + interfaceName +
             ": " + reason);
    }
    return fd;
}

bool readInterfaceMac(const char* name, unsigned char* mac) {
    const int socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool known = socketFd >= 0 && lookupHardwareAddress(socketFd, name, mac);
    if (socketFd >= 0) {
        close(socketFd);
    }
    return known;
}

namespace {
std::string xdpOpenFailure(const char* interfaceName, const std::string& reason) {
    return std::string("Nepodarilo se otevrit odesilani AF_XDP na rozhrani ") + interfaceName +
           ": " + reason;
}
} // namespace

std::unique_ptr<CXdpPath> openXdpPath(const char* interfaceName, unsigned int streams,
                                      unsigned int allowedQueues) {
    std::string reason;
    std::unique_ptr<CXdpPath> path = CXdpPath::open(interfaceName, streams, allowedQueues, reason);
    if (path == nullptr) {
        fail(xdpOpenFailure(interfaceName, reason));
    }
    return path;
}

void closeSendingPath(pcap_t* device, int batchFd) {
    if (device != nullptr) {
        pcap_close(device);
    }
    if (batchFd >= 0) {
        close(batchFd);
    }
}

void CTrafficGenerator::initialize() {
    writeConstantHeaderFields(frameHeader);

    const int socketFd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socketFd < 0) {
        fail(std::string("Nepodarilo se vytvorit socket: ") + std::strerror(errno));
    }
    const TAddressLookup receiving =
        lookupIpv4Address(socketFd, receivingInterface, frameHeader + DESTINATION_IPV4_OFFSET);
    if (receiving == TAddressLookup::noIpv4Address && needsInterfaceIpv4(false)) {
        fail(std::string("Rozhrani ") + receivingInterface + " nema adresu IPv4!");
    }
    const TAddressLookup sending =
        lookupIpv4Address(socketFd, sendingInterface, frameHeader + SOURCE_IPV4_OFFSET);
    // Bridges and switches refuse frames from the all-zero address, so the frames carry the
    // sending interface's own one unless the set-up named another.
    if (!sourceMacGiven) {
        lookupHardwareAddress(socketFd, sendingInterface, frameHeader + SOURCE_MAC_OFFSET);
    }
    close(socketFd);
    if (sending == TAddressLookup::noIpv4Address && needsInterfaceIpv4(true)) {
        fail(std::string("Rozhrani ") + sendingInterface + " nema adresu IPv4!");
    }

    const std::string receiveFailure =
        std::string("Nepodarilo se otevrit prijimaci zarizeni ") + receivingInterface + ": ";
    if (sendPath == TSendPath::xdp && cycles > 0) {
        // Every run on the AF_XDP path learns at once whether it can send that way.
        checkXdpPath();
    }
    if (stampSource == TStampSource::hardware && cycles > 0) {
        explainKernelStamps();
    }
    const bool fastPath = sendPath != TSendPath::pcap;
    receivingDevice = openReceivingCapture(
        receivingInterface, errorBuffer, fastPath ? BATCHED_CAPTURE_RING_BYTES : CAPTURE_RING_BYTES,
        fastPath ? FAST_PATH_SNAPSHOT_LENGTH : SNAPSHOT_LENGTH);
    if (receivingDevice == nullptr) {
        fail(receiveFailure + errorBuffer);
    }
    // Only frames arriving at the interface: with one interface for both ends, the frames it
    // sends itself would otherwise be counted as received.
    if (pcap_setdirection(receivingDevice, PCAP_D_IN) != 0) {
        fail(receiveFailure + pcap_geterr(receivingDevice));
    }

    bpf_u_int32 network = 0;
    bpf_u_int32 mask = 0;
    if (pcap_lookupnet(receivingInterface, &network, &mask, errorBuffer) == -1) {
        fail(std::string("Neprosla funkce pcap_lookupnet pro prichozi rozhrani: ") + errorBuffer);
    }
    bpf_program filter;
    if (pcap_compile(receivingDevice, &filter, captureFilterText().c_str(), 0, mask) == -1) {
        fail(pcap_geterr(receivingDevice));
    }
    if (pcap_setfilter(receivingDevice, &filter) == -1) {
        fail(pcap_geterr(receivingDevice));
    }
    pcap_freecode(&filter);

    // The receiver waits for frames with poll() so that it regains control on time.
    if (pcap_setnonblock(receivingDevice, 1, errorBuffer) == -1) {
        fail(receiveFailure + errorBuffer);
    }

    // A sending interface that does not exist would otherwise be reported only after the
    // table head; the first cycle's open is tried now to give its message at once. A cycle
    // without streams needs the interface as much as any other.
    if (sendPath == TSendPath::batched && cycles > 0) {
        // Every run on the batched path: it must not find out in its first cycle that it
        // cannot send.
        close(openBatchedPath(sendingInterface));
    } else if (sending == TAddressLookup::noSuchInterface && cycles > 0) {
        pcap_close(openSendingDevice(sendingInterface, errorBuffer));
    }
    prepareStreamFrames();
}

std::optional<TStreamFramesDescription>
CTrafficGenerator::describeFrames(std::uint32_t index) const {
    if (!templated[index]) {
        return std::nullopt;
    }
    const TStreamFrames& frames = streamFrames[index];
    const TFrameTemplate& frame = frameTemplates[index];
    TStreamFramesDescription description;
    if (frames.tag.id != 0) {
        description.vlan = TVlanDescription{frames.tag.id, frames.tag.priority};
    }
    if (frames.outerTag.id != 0) {
        description.outerVlan = TVlanDescription{frames.outerTag.id, frames.outerTag.priority};
    }
    description.ipVersion = frames.ipv6 ? 6 : 4;
    if (frames.ipv6) {
        description.flowLabel = frames.flowLabel;
    }
    const TFlows& flows = frame.flows;
    description.sourceIp = ipAddressText(flows.source);
    description.sourceIpCount = flows.sourceCount;
    description.destinationIp = ipAddressText(flows.destination);
    description.destinationIpCount = flows.destinationCount;
    description.sourcePorts[0] = flows.sourcePorts.first;
    description.sourcePorts[1] = flows.sourcePorts.last();
    description.destinationPorts[0] = flows.destinationPorts.first;
    description.destinationPorts[1] = flows.destinationPorts.last();
    description.flowOrder = flows.order == TFlowOrder::random ? "random" : "sequential";
    description.flows = frame.flowCount;
    if (!frames.nextHop.empty()) {
        description.nextHop = frames.nextHop;
    }
    description.destinationMac = macText(frame.header + DESTINATION_MAC_OFFSET);
    return description;
}

void CTrafficGenerator::checkXdpPath() {
    const std::uint32_t count = streams < MAX_STREAMS ? streams : MAX_STREAMS;
    std::string reason;
    const std::unique_ptr<CXdpPath> path =
        CXdpPath::open(sendingInterface, count > 0 ? count : 1, xdpQueues, reason);
    if (path != nullptr) {
        xdpZeroCopy = path->zeroCopy();
        return;
    }
    if (!sendPathFallback) {
        fail(xdpOpenFailure(sendingInterface, reason));
    }
    sendPath = TSendPath::batched;
    sendPathFallbackReason = "AF_XDP: " + reason;
    std::cerr << "AF_XDP na rozhrani " << sendingInterface << " nelze pouzit (" << reason
              << "): odesila se po davkach (batched)\n"
              << std::flush;
}

void CTrafficGenerator::explainKernelStamps() {
    stampFallbackReason =
        hardwareStampObstacle(sendingInterface, readStampingAbilities(sendingInterface),
                              receivingInterface, readStampingAbilities(receivingInterface));
    if (stampFallbackReason.empty()) {
        stampFallbackReason = "hardwarove znacky program zatim nebere";
    }
    std::cerr << "Hardwarove casove znacky nelze pouzit (" << stampFallbackReason
              << "): zpozdeni meri znacky jadra (kernel)\n"
              << std::flush;
}

// Learning frames are spread a little, so that a switch busy for a moment still sees one.
constexpr std::uint32_t LEARNING_FRAME_GAP_US = 10000;

void CTrafficGenerator::sendLearningFrames(std::uint32_t count) {
    if (receivingDevice == nullptr || count == 0) {
        return;
    }
    unsigned char mac[MAC_LENGTH] = {};
    const int socketFd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socketFd >= 0) {
        lookupHardwareAddress(socketFd, receivingInterface, mac);
        close(socketFd);
    }
    const std::vector<std::vector<unsigned char>> frames =
        learningFramesOfStreams(buildLearningFrame(mac, frameHeader + DESTINATION_IPV4_OFFSET));
    for (std::uint32_t i = 0; i < count && !interrupted; ++i) {
        for (const std::vector<unsigned char>& frame : frames) {
            // A refused learning frame only leaves the switch flooding: no reason to stop.
            pcap_sendpacket(receivingDevice, frame.data(), static_cast<int>(frame.size()));
        }
        sleepUnlessStopped(LEARNING_FRAME_GAP_US * 1000LL, interrupted);
    }
}

TTestDescription CTrafficGenerator::describe() const {
    TTestDescription test;
    test.operation = operation;
    test.sending = describeInterface(sendingInterface, frameHeader + SOURCE_IPV4_OFFSET);
    test.receiving = describeInterface(receivingInterface, frameHeader + DESTINATION_IPV4_OFFSET);
    test.destinationMac = macText(frameHeader + DESTINATION_MAC_OFFSET);
    test.sourceMac = macText(frameHeader + SOURCE_MAC_OFFSET);
    test.durationUs = duration;
    test.cycles = cycles;
    test.confidenceProbability = confidenceIntervalProbability;
    test.quantile = quantile;
    test.lossTimeoutUs = lossTimeout;
    if (pacing == TPacing::absolute) {
        test.pacing = "absolute";
    }
    if (sendPath == TSendPath::batched) {
        test.sendPath = "batched";
    } else if (sendPath == TSendPath::xdp) {
        test.sendPath = "xdp";
        test.sendPathMode = xdpZeroCopy ? "zero-copy" : "copy";
    }
    if (!sendPathFallbackReason.empty()) {
        test.sendPathFallback = sendPathFallbackReason;
    }
    if (seedGiven) {
        test.seed = seed;
    }
    if (stampSource != TStampSource::user) {
        test.stampSource = stampSourceName(stampSource);
    }
    if (!stampFallbackReason.empty()) {
        test.stampSourceFallback = stampFallbackReason;
    }
    if (sequenceNumbers) {
        test.sequenceNumbers = true;
    }
    if (intervalUs != 0) {
        test.intervalMs = intervalUs / 1000;
    }
    for (std::uint32_t i = 0; i < streams && i < MAX_STREAMS; ++i) {
        TStreamDescription stream;
        stream.stream = i + 1;
        stream.tos = tos[i];
        if (operation == LOSS_AND_DELAY_TEST) {
            stream.size = sizeGenerators[i]->describe();
            stream.time = timeGenerators[i]->describe();
        }
        stream.frames = describeFrames(i);
        test.streams.push_back(stream);
    }
    return test;
}
