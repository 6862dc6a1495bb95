#include "trafficgenerator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "handover.h"
#include "randomgenerator.h"

namespace {

constexpr int SNAPSHOT_LENGTH = 1518;
constexpr int READ_TIMEOUT_MS = 50;
// At full speed the default 2 MiB capture ring was seen to overflow.
constexpr int RECEIVE_BUFFER_SIZE = 32 * 1024 * 1024;
constexpr std::uint32_t THROUGHPUT_FRAME_SIZE = 1500;
constexpr std::uint32_t LONGEST_WAIT_US = 10000000;
// Exit status of a sender that could not leave its hand-over file.
constexpr int SENDER_CANNOT_REPORT = 2;

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
// cannot name an address for leaves `mac` as it is.
void lookupHardwareAddress(int socketFd, const char* name, unsigned char* mac) {
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(socketFd, SIOCGIFHWADDR, &request) == 0) {
        std::memcpy(mac, request.ifr_hwaddr.sa_data, 6);
    }
}

void putBigEndian16(unsigned char* where, std::uint16_t value) {
    where[0] = static_cast<unsigned char>(value >> 8);
    where[1] = static_cast<unsigned char>(value & 0xFF);
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

// Sleeps for `microseconds` unless SIGINT has been or is being delivered. The signal is blocked
// between the look at the flag and the start of the sleep, so one arriving in that gap still
// cuts the sleep short instead of being noticed only after it.
void sleepUnlessInterrupted(std::uint32_t microseconds) {
    sigset_t interruptOnly;
    sigset_t previous;
    sigemptyset(&interruptOnly);
    sigaddset(&interruptOnly, SIGINT);
    sigprocmask(SIG_BLOCK, &interruptOnly, &previous);
    if (!CTrafficGenerator::interrupted) {
        timespec wait;
        wait.tv_sec = microseconds / 1000000;
        wait.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
        pselect(0, nullptr, nullptr, nullptr, &wait, &previous);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

struct TSenderPlan {
    pcap_t* device;
    const unsigned char* frameHeader;
    unsigned int streamIndex;
    unsigned char tos;
    std::int32_t operation;
    std::uint32_t duration;
    CRandomGenerator* sizeGenerator;
    CRandomGenerator* timeGenerator;
};

struct TSenderCounts {
    std::uint32_t sent = 0;
    std::uint32_t refused = 0;
};

TSenderCounts sendStream(const TSenderPlan& plan) {
    TSenderCounts counts;
    unsigned char frame[MAX_FRAME_LENGTH];
    const timeval unstamped{0, 0};
    timeval start;
    gettimeofday(&start, nullptr);
    const bool paced = plan.operation == 2;
    while (!CTrafficGenerator::interrupted) {
        std::uint32_t size = THROUGHPUT_FRAME_SIZE;
        if (paced && plan.sizeGenerator != nullptr) {
            size = plan.sizeGenerator->generate();
        }
        const std::size_t length = frameLengthForSize(size);
        buildTestFrame(frame, length, plan.frameHeader, plan.tos, plan.streamIndex, unstamped);

        timeval now;
        gettimeofday(&now, nullptr);
        const std::int64_t elapsed =
            (static_cast<std::int64_t>(now.tv_sec) - start.tv_sec) * 1000000 +
            (static_cast<std::int64_t>(now.tv_usec) - start.tv_usec);
        if (elapsed >= static_cast<std::int64_t>(plan.duration)) {
            break;
        }
        stampSendTime(frame, now);
        // A refused frame still counts as sent; the refusals are reported beside the count so
        // that the loss they cause is not blamed on the path.
        if (pcap_sendpacket(plan.device, frame, static_cast<int>(length)) != 0) {
            ++counts.refused;
        }
        ++counts.sent;

        if (paced && plan.timeGenerator != nullptr) {
            std::uint32_t wait = plan.timeGenerator->generate();
            if (wait > LONGEST_WAIT_US) {
                wait = LONGEST_WAIT_US;
            }
            if (wait != 0) {
                sleepUnlessInterrupted(wait);
            }
        }
    }
    return counts;
}

} // namespace

pcap_t* openReceivingCapture(const char* name, char* errorBuffer) {
    // Opened step by step rather than with pcap_open_live for the larger ring buffer.
    pcap_t* device = pcap_create(name, errorBuffer);
    if (device == nullptr) {
        return nullptr;
    }
    pcap_set_snaplen(device, SNAPSHOT_LENGTH);
    pcap_set_promisc(device, 0);
    pcap_set_timeout(device, READ_TIMEOUT_MS);
    pcap_set_buffer_size(device, RECEIVE_BUFFER_SIZE);
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

void CTrafficGenerator::initialize() {
    putBigEndian16(frameHeader + 12, 0x0800);
    frameHeader[14] = 0x45;
    frameHeader[22] = 255;
    frameHeader[23] = 17;

    const int socketFd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socketFd < 0) {
        fail(std::string("Nepodarilo se vytvorit socket: ") + std::strerror(errno));
    }
    const TAddressLookup receiving =
        lookupIpv4Address(socketFd, receivingInterface, frameHeader + 30);
    if (receiving == TAddressLookup::noIpv4Address) {
        fail(std::string("Rozhrani ") + receivingInterface + " nema adresu IPv4!");
    }
    const TAddressLookup sending = lookupIpv4Address(socketFd, sendingInterface, frameHeader + 26);
    // Bridges and switches refuse frames from the all-zero address, so the frames carry the
    // sending interface's own one unless the set-up named another.
    if (!sourceMacGiven) {
        lookupHardwareAddress(socketFd, sendingInterface, frameHeader + 6);
    }
    close(socketFd);
    if (sending == TAddressLookup::noIpv4Address) {
        fail(std::string("Rozhrani ") + sendingInterface + " nema adresu IPv4!");
    }

    putBigEndian16(frameHeader + 34, TEST_PORT);
    putBigEndian16(frameHeader + 36, TEST_PORT);

    const std::string receiveFailure =
        std::string("Nepodarilo se otevrit prijimaci zarizeni ") + receivingInterface + ": ";
    receivingDevice = openReceivingCapture(receivingInterface, errorBuffer);
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
    if (pcap_compile(receivingDevice, &filter, "dst port 33333", 0, mask) == -1) {
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
    if (sending == TAddressLookup::noSuchInterface && cycles > 0) {
        pcap_close(openSendingDevice(sendingInterface, errorBuffer));
    }
}

void CTrafficGenerator::generate() {
    timeval now;
    gettimeofday(&now, nullptr);
    srand(static_cast<std::uint32_t>(now.tv_sec) ^ static_cast<std::uint32_t>(now.tv_usec));
    // Taken before any sender starts: every frame of this cycle is sent later.
    cycleStart = static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_usec;

    for (pid_t& pid : senderPids) {
        pid = -1;
    }
    if (streams == 0) {
        return;
    }

    sendingDevice = openSendingDevice(sendingInterface, errorBuffer);
    prepareHandOverDirectory();
    const std::uint32_t count = streams < MAX_STREAMS ? streams : MAX_STREAMS;
    for (std::uint32_t i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (receivingDevice != nullptr) {
                pcap_close(receivingDevice);
                receivingDevice = nullptr;
            }
            const TSenderPlan plan{
                sendingDevice,     frameHeader,      i, tos[i], operation, duration,
                sizeGenerators[i], timeGenerators[i]};
            const TSenderCounts counts = sendStream(plan);
            pcap_close(sendingDevice);
            // _exit: the parent's buffered output and its exit handlers belong to the parent.
            _exit(leaveHandOver(counts.sent, counts.refused) ? 0 : SENDER_CANNOT_REPORT);
        }
        // A failed fork leaves -1: the receiver reports that stream's count as unknown.
        senderPids[i] = pid;
    }
    // The senders hold their own copies; keeping this one would leak a handle per cycle.
    pcap_close(sendingDevice);
    sendingDevice = nullptr;
}
