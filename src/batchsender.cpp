#include "batchsender.h"

#include <cstring>
#include <linux/if_packet.h>
#include <net/if.h>
#include <unistd.h>

const char* const INVALID_SEND_PATH = "Neplatna hodnota send path! Pouze pcap, batched nebo xdp";

bool readSendPath(const std::string& text, TSendPath& path) {
    if (text == "pcap") {
        path = TSendPath::pcap;
    } else if (text == "batched") {
        path = TSendPath::batched;
    } else if (text == "xdp") {
        path = TSendPath::xdp;
    } else {
        return false;
    }
    return true;
}

int openBatchedSocket(const char* interfaceName, std::string& error) {
    // Protocol 0: the socket receives nothing, so the frames it sends are not copied back to it.
    // The frames pass the interface's queueing discipline, as libpcap's do, so that a shaper
    // set up on the sending interface still applies.
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    sockaddr_ll address;
    std::memset(&address, 0, sizeof address);
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex(interfaceName));
    if (address.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

CBatchSender::CBatchSender(int socketFd) : fd(socketFd) {
    std::memset(messages, 0, sizeof messages);
    for (std::size_t i = 0; i < BATCH_FRAMES; ++i) {
        pieces[i].iov_base = frames[i];
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
}

void CBatchSender::add(std::size_t length) {
    pieces[queued].iov_len = length;
    ++queued;
    if (queued == BATCH_FRAMES) {
        flush();
    }
}

void CBatchSender::flush() {
    refusedCount += handOverFrames(queued, [this](std::size_t first, std::size_t count) {
        return sendmmsg(fd, messages + first, static_cast<unsigned int>(count), 0);
    });
    queued = 0;
}

bool handOverBeforeWait(CFrameBatch* batch, std::int64_t waitNs) {
    if (batch == nullptr) {
        return false;
    }
    if (batch->joins(waitNs)) {
        return true;
    }
    batch->flush();
    return false;
}
