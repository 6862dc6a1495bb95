#include "sendstamps.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/errqueue.h>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/net_tstamp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Older C library headers lack the per-message key (Linux 6.13).
#ifndef SCM_TS_OPT_ID
#define SCM_TS_OPT_ID 81
#endif

const char* const INVALID_STAMP_SOURCE =
    "Neplatna hodnota stamp source! Pouze user, kernel nebo hardware";

namespace {

// What the error queue of a socket may hold: each stamp takes about 830 bytes of it, and a stamp
// that finds it full is lost. 8 MiB hold 10000 stamps, half a second of the budget.
constexpr int STAMP_QUEUE_BYTES = 8 * 1024 * 1024;

std::int64_t nanosecondsOf(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The interface's time stamping: its PTP hardware clock (-1: none) and what it stamps.
struct THardwareStamping {
    int clock = -1;
    bool both = false; // stamps sent and received frames in hardware, as raw clock time
};

THardwareStamping hardwareStampingOf(const char* interfaceName) {
    THardwareStamping stamping;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return stamping;
    }
    ethtool_ts_info info{};
    info.cmd = ETHTOOL_GET_TS_INFO;
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", interfaceName);
    request.ifr_data = reinterpret_cast<char*>(&info);
    if (ioctl(fd, SIOCETHTOOL, &request) == 0) {
        const std::uint32_t needed = SOF_TIMESTAMPING_TX_HARDWARE | SOF_TIMESTAMPING_RX_HARDWARE |
                                     SOF_TIMESTAMPING_RAW_HARDWARE;
        stamping.clock = info.phc_index;
        stamping.both = (info.so_timestamping & needed) == needed;
    }
    close(fd);
    return stamping;
}

} // namespace

bool readStampSource(const std::string& text, TStampSource& source) {
    if (text == "user") {
        source = TStampSource::user;
    } else if (text == "kernel") {
        source = TStampSource::kernel;
    } else if (text == "hardware") {
        source = TStampSource::hardware;
    } else {
        return false;
    }
    return true;
}

const char* stampSourceName(TStampSource source) {
    switch (source) {
    case TStampSource::kernel:
        return "kernel";
    case TStampSource::hardware:
        return "hardware";
    case TStampSource::user:
        break;
    }
    return "user";
}

std::uint32_t stampEvery(double framesPerSecond) {
    const double rate = framesPerSecond > 0 ? framesPerSecond : UNPLANNED_FRAMES_PER_SECOND;
    // A power of two, so that a frame's number taken modulo 2^28 (in its stamp's key) still
    // tells whether it is stamped.
    std::uint32_t every = 1;
    while (every < (1u << 20) && rate / every > STAMP_BUDGET_PER_SECOND) {
        every *= 2;
    }
    return every;
}

TStampSource sendStampSourceFor(TStampSource wanted, bool packetSocket, bool sharedHardwareClock) {
    if (!packetSocket || wanted == TStampSource::user) {
        return TStampSource::user;
    }
    if (wanted == TStampSource::hardware && sharedHardwareClock) {
        return TStampSource::hardware;
    }
    return TStampSource::kernel;
}

bool interfacesShareHardwareClock(const char* sending, const char* receiving) {
    const THardwareStamping out = hardwareStampingOf(sending);
    const THardwareStamping in = hardwareStampingOf(receiving);
    return out.both && in.both && out.clock >= 0 && out.clock == in.clock;
}

bool enableSendStamps(int fd, TStampSource source, std::string& error) {
    // The socket reports stamps without the frames themselves, each under the key its message
    // gives; which frames are stamped is asked per message.
    const int report = (source == TStampSource::hardware ? SOF_TIMESTAMPING_RAW_HARDWARE
                                                         : SOF_TIMESTAMPING_SOFTWARE) |
                       SOF_TIMESTAMPING_OPT_ID | SOF_TIMESTAMPING_OPT_TSONLY;
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &report, sizeof report) != 0) {
        error = std::strerror(errno);
        return false;
    }
    // Without the privilege to exceed the system's limit the queue keeps its default room.
    const int room = STAMP_QUEUE_BYTES;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    return true;
}

void requestSendStamp(msghdr& message, TStampRequest& request, TStampSource source,
                      std::uint32_t key) {
    std::memset(request.control, 0, sizeof request.control);
    message.msg_control = request.control;
    message.msg_controllen = sizeof request.control;
    cmsghdr* what = CMSG_FIRSTHDR(&message);
    what->cmsg_level = SOL_SOCKET;
    what->cmsg_type = SO_TIMESTAMPING;
    what->cmsg_len = CMSG_LEN(sizeof(std::uint32_t));
    // The kernel's stamp as the frame enters the interface's queueing: with no queue (veth) it
    // is where a capture of the interface sees the frame leave. The driver's stamp comes only
    // after every capture of the interface has taken its copy, which was measured at 1.7 to 4 us
    // (99th percentile: over 80 us) later with tcpdump capturing.
    const std::uint32_t flags =
        source == TStampSource::hardware ? SOF_TIMESTAMPING_TX_HARDWARE : SOF_TIMESTAMPING_TX_SCHED;
    std::memcpy(CMSG_DATA(what), &flags, sizeof flags);
    cmsghdr* id = CMSG_NXTHDR(&message, what);
    id->cmsg_level = SOL_SOCKET;
    id->cmsg_type = SCM_TS_OPT_ID;
    id->cmsg_len = CMSG_LEN(sizeof(std::uint32_t));
    std::memcpy(CMSG_DATA(id), &key, sizeof key);
}

std::size_t readSendStamps(int fd, TStampSource source, TDrainedStamp* stamps, std::size_t count) {
    constexpr std::size_t AT_MOST = 64;
    constexpr std::size_t CONTROL_BYTES = 256;
    if (count > AT_MOST) {
        count = AT_MOST;
    }
    mmsghdr messages[AT_MOST];
    alignas(cmsghdr) unsigned char controls[AT_MOST][CONTROL_BYTES];
    std::memset(messages, 0, sizeof messages);
    for (std::size_t i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_control = controls[i];
        messages[i].msg_hdr.msg_controllen = CONTROL_BYTES;
    }
    const int read = recvmmsg(fd, messages, static_cast<unsigned int>(count),
                              MSG_ERRQUEUE | MSG_DONTWAIT, nullptr);
    if (read <= 0) {
        return 0;
    }
    for (int i = 0; i < read; ++i) {
        TDrainedStamp& stamp = stamps[i];
        stamp = TDrainedStamp{};
        bool haveTime = false;
        bool haveKey = false;
        msghdr& header = messages[i].msg_hdr;
        for (cmsghdr* part = CMSG_FIRSTHDR(&header); part != nullptr;
             part = CMSG_NXTHDR(&header, part)) {
            if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SO_TIMESTAMPING) {
                timespec times[3];
                std::memcpy(times, CMSG_DATA(part), sizeof times);
                // Software stamps come in the first slot, raw hardware ones in the third: a
                // stamp of the other kind leaves its slot zero.
                const timespec& time = source == TStampSource::hardware ? times[2] : times[0];
                stamp.ns = nanosecondsOf(time);
                haveTime = stamp.ns != 0;
            } else if (part->cmsg_level == SOL_PACKET && part->cmsg_type == PACKET_TX_TIMESTAMP) {
                sock_extended_err error;
                std::memcpy(&error, CMSG_DATA(part), sizeof error);
                if (error.ee_errno == ENOMSG && error.ee_origin == SO_EE_ORIGIN_TIMESTAMPING) {
                    stamp.key = error.ee_data;
                    haveKey = true;
                }
            }
        }
        stamp.valid = haveTime && haveKey;
    }
    return static_cast<std::size_t>(read);
}
