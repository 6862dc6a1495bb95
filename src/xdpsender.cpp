#include "xdpsender.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <linux/if_link.h>
#include <linux/if_xdp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xdp/xsk.h>

#include "pacing.h"

namespace {

constexpr std::uint32_t FRAME_CHUNK = 2048; // bytes per slot: the longest frame fits
// Enough frames in flight for a kick of XDP_BATCH_FRAMES and the ones still being sent; few
// enough that touching their pages (see CXdpSender) stays short.
constexpr std::size_t SLOTS_PER_STREAM = 512;
constexpr std::uint32_t TX_RING_SIZE = SLOTS_PER_STREAM;
// The kernel's option for the frames one kick sends in copy mode (32 unless raised); older
// headers do not name it.
constexpr int XDP_TX_BUDGET_OPTION = 9;
constexpr int TX_BUDGET = 256;
// A socket closed a moment ago still holds its queue for a while (EBUSY): the next cycle's
// retries for this long.
constexpr std::int64_t QUEUE_RELEASE_WAIT_NS = 1000000000;
// How long a sender waits for the interface to take a frame or give a slot back before it
// counts the frame as refused.
constexpr std::int64_t STALL_LIMIT_NS = 1000000000;

std::uint32_t powerOfTwoAtLeast(std::size_t value) {
    std::uint32_t power = 1;
    while (power < value) {
        power <<= 1;
    }
    return power;
}

// The interface's transmit queues, as /sys lists them (1 when it cannot be read).
unsigned int transmitQueues(const char* interfaceName) {
    const std::string path = std::string("/sys/class/net/") + interfaceName + "/queues";
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) {
        return 1;
    }
    unsigned int count = 0;
    while (const dirent* entry = readdir(directory)) {
        if (std::strncmp(entry->d_name, "tx-", 3) == 0) {
            ++count;
        }
    }
    closedir(directory);
    return count > 0 ? count : 1;
}

void* sharedMapping(std::size_t bytes) {
    void* area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return area == MAP_FAILED ? nullptr : area;
}

} // namespace

// One queue of the interface: its UMEM (the streams' slots one after another), a flag per slot
// (set while the kernel holds the slot's frame) and the completion ring the queue's streams
// share. The fill ring is required by the kernel but unused: nothing is received.
struct TXdpQueue {
    unsigned int id = 0;
    unsigned int streams = 0;
    unsigned char* area = nullptr;
    std::size_t areaBytes = 0;
    std::uint8_t* busy = nullptr;
    std::size_t slots = 0;
    xsk_umem* umem = nullptr;
    xsk_ring_prod fill{};
    xsk_ring_cons completions{};

    ~TXdpQueue() {
        if (umem != nullptr) {
            xsk_umem__delete(umem);
        }
        if (area != nullptr) {
            munmap(area, areaBytes);
        }
        if (busy != nullptr) {
            munmap(busy, slots);
        }
    }
};

struct TXdpStreamSocket {
    xsk_socket* socket = nullptr;
    xsk_ring_prod tx{};
    int fd = -1;
    unsigned int queue = 0;
    std::size_t firstSlot = 0;

    ~TXdpStreamSocket() {
        if (socket != nullptr) {
            xsk_socket__delete(socket);
        }
    }
};

const char* const INVALID_XDP_QUEUES = "Neplatny pocet front xdp! Pouze 1-1024";

TKickOutcome kickOutcome(int result, int error) {
    if (result >= 0) {
        return TKickOutcome::done;
    }
    switch (error) {
    case EAGAIN:
    case EINTR:
    case ENOBUFS:
        return TKickOutcome::morePending;
    case EBUSY:
        return TKickOutcome::oneDropped;
    default:
        return TKickOutcome::failed;
    }
}

unsigned int queueOfStream(unsigned int stream, unsigned int queues) {
    return queues == 0 ? 0 : stream % queues;
}

namespace {

// Creates stream socket `socket` on its queue, retrying while the queue is still held by a
// socket of an earlier cycle. Returns 0 or a negative errno.
int createSocket(const char* interfaceName, TXdpQueue& queue, TXdpStreamSocket& socket,
                 std::uint16_t bindFlags) {
    xsk_socket_config config{};
    config.rx_size = 0;
    config.tx_size = TX_RING_SIZE;
    config.libxdp_flags = XSK_LIBXDP_FLAGS__INHIBIT_PROG_LOAD;
    config.xdp_flags = XDP_FLAGS_SKB_MODE;
    config.bind_flags = bindFlags;
    const std::int64_t giveUp = monotonicNanoseconds() + QUEUE_RELEASE_WAIT_NS;
    for (;;) {
        const int status =
            xsk_socket__create_shared(&socket.socket, interfaceName, queue.id, queue.umem, nullptr,
                                      &socket.tx, &queue.fill, &queue.completions, &config);
        if (status != -EBUSY || monotonicNanoseconds() > giveUp) {
            if (status == 0) {
                socket.fd = xsk_socket__fd(socket.socket);
            } else {
                socket.socket = nullptr;
            }
            return status;
        }
        const timespec pause{0, 5000000};
        nanosleep(&pause, nullptr);
    }
}

bool openQueue(TXdpQueue& queue, std::string& error) {
    queue.slots = queue.streams * SLOTS_PER_STREAM;
    queue.areaBytes = queue.slots * FRAME_CHUNK;
    queue.area = static_cast<unsigned char*>(sharedMapping(queue.areaBytes));
    queue.busy = static_cast<std::uint8_t*>(sharedMapping(queue.slots));
    if (queue.area == nullptr || queue.busy == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    xsk_umem_config config{};
    config.fill_size = 64;
    config.comp_size = powerOfTwoAtLeast(queue.slots);
    config.frame_size = FRAME_CHUNK;
    config.frame_headroom = 0;
    const int status = xsk_umem__create(&queue.umem, queue.area, queue.areaBytes, &queue.fill,
                                        &queue.completions, &config);
    if (status != 0) {
        queue.umem = nullptr;
        error = std::strerror(-status);
        return false;
    }
    return true;
}

bool socketIsZeroCopy(int fd) {
    xdp_options options{};
    socklen_t length = sizeof options;
    return getsockopt(fd, SOL_XDP, XDP_OPTIONS, &options, &length) == 0 &&
           (options.flags & XDP_OPTIONS_ZEROCOPY) != 0;
}

} // namespace

std::unique_ptr<CXdpPath> CXdpPath::open(const char* interfaceName, unsigned int streams,
                                         unsigned int allowedQueues, std::string& error) {
    std::unique_ptr<CXdpPath> path(new CXdpPath());
    unsigned int queues = std::min(transmitQueues(interfaceName), std::max(streams, 1u));
    if (allowedQueues > 0) {
        queues = std::min(queues, allowedQueues);
    }
    queues = std::max(queues, 1u);
    for (unsigned int q = 0; q < queues; ++q) {
        path->queueList.push_back(std::make_unique<TXdpQueue>());
        path->queueList.back()->id = q;
    }
    for (unsigned int s = 0; s < streams; ++s) {
        auto socket = std::make_unique<TXdpStreamSocket>();
        socket->queue = queueOfStream(s, queues);
        TXdpQueue& queue = *path->queueList[socket->queue];
        socket->firstSlot = queue.streams * SLOTS_PER_STREAM;
        ++queue.streams;
        path->streamList.push_back(std::move(socket));
    }
    for (auto& queue : path->queueList) {
        if (queue->streams > 0 && !openQueue(*queue, error)) {
            return nullptr;
        }
    }
    for (auto& socket : path->streamList) {
        TXdpQueue& queue = *path->queueList[socket->queue];
        const bool ownsQueue = socket->firstSlot == 0;
        int status = 0;
        if (ownsQueue) {
            // Zero-copy where the driver offers it; a refusal leaves nothing behind.
            status =
                createSocket(interfaceName, queue, *socket, XDP_ZEROCOPY | XDP_USE_NEED_WAKEUP);
            if (status != 0) {
                status =
                    createSocket(interfaceName, queue, *socket, XDP_COPY | XDP_USE_NEED_WAKEUP);
            }
        } else {
            // The queue's other sockets share its UMEM and take the first one's mode.
            status = createSocket(interfaceName, queue, *socket, 0);
        }
        if (status != 0) {
            error = std::strerror(-status);
            return nullptr;
        }
        if (socket->firstSlot == 0 && socket->queue == 0) {
            path->zeroCopyMode = socketIsZeroCopy(socket->fd);
        }
        // Without it a kick sends at most 32 frames in copy mode; a kernel without the option
        // just needs more kicks.
        const int budget = TX_BUDGET;
        setsockopt(socket->fd, SOL_XDP, XDP_TX_BUDGET_OPTION, &budget, sizeof budget);
    }
    return path;
}

CXdpPath::~CXdpPath() {
    // Sockets before the UMEMs they use.
    streamList.clear();
    queueList.clear();
}

CXdpSender::CXdpSender(CXdpPath& path, unsigned int stream)
    : socket(*path.streamList.at(stream)), queue(*path.queueList[socket.queue]),
      firstSlot(socket.firstSlot), builtLength(SLOTS_PER_STREAM, 0) {
    // A child does not inherit the parent's page tables for shared memory, and a first touch
    // of a page was seen to cost tens of microseconds (in a virtual machine): taken during the
    // first pass over the slots, a paced stream would start its schedule milliseconds behind.
    unsigned char* slots = queue.area + firstSlot * FRAME_CHUNK;
    const std::size_t bytes = SLOTS_PER_STREAM * FRAME_CHUNK;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (std::size_t offset = 0; offset < bytes; offset += page) {
        *static_cast<volatile unsigned char*>(slots + offset) = 0;
    }
}

bool CXdpSender::slotFree(std::size_t slot) const {
    return __atomic_load_n(&queue.busy[firstSlot + slot], __ATOMIC_ACQUIRE) == 0;
}

void CXdpSender::takeCompletions() {
    std::uint32_t consumer = __atomic_load_n(queue.completions.consumer, __ATOMIC_ACQUIRE);
    for (;;) {
        const std::uint32_t producer =
            __atomic_load_n(queue.completions.producer, __ATOMIC_ACQUIRE);
        if (producer == consumer) {
            return;
        }
        // The entries are read before they are claimed: the kernel does not overwrite them
        // until the consumer index has passed them, and a claim that fails (another stream of
        // the queue took them first) discards what was read.
        constexpr std::uint32_t MOST = 64;
        const std::uint32_t count = std::min(producer - consumer, MOST);
        std::uint64_t addresses[MOST];
        for (std::uint32_t i = 0; i < count; ++i) {
            addresses[i] = *xsk_ring_cons__comp_addr(&queue.completions, consumer + i);
        }
        if (__atomic_compare_exchange_n(queue.completions.consumer, &consumer, consumer + count,
                                        false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            for (std::uint32_t i = 0; i < count; ++i) {
                __atomic_store_n(&queue.busy[addresses[i] / FRAME_CHUNK], 0, __ATOMIC_RELEASE);
            }
            consumer += count;
        }
    }
}

bool CXdpSender::kick() {
    for (;;) {
        if (__atomic_load_n(socket.tx.consumer, __ATOMIC_ACQUIRE) == socket.tx.cached_prod ||
            !xsk_ring_prod__needs_wakeup(&socket.tx)) {
            return true; // nothing queued, or the driver sends without being asked
        }
        const ssize_t result = sendto(socket.fd, nullptr, 0, MSG_DONTWAIT, nullptr, 0);
        switch (kickOutcome(static_cast<int>(result), errno)) {
        case TKickOutcome::done:
            return true;
        case TKickOutcome::oneDropped:
            ++refusedCount;
            [[fallthrough]];
        case TKickOutcome::morePending:
            // A full completion ring stops the kernel as well.
            takeCompletions();
            continue;
        case TKickOutcome::failed:
            return false;
        }
    }
}

template <typename Ready> bool CXdpSender::waitFor(Ready ready, std::int64_t limitNs) {
    const std::int64_t giveUp = monotonicNanoseconds() + limitNs;
    for (;;) {
        takeCompletions();
        if (ready()) {
            return true;
        }
        kick();
        takeCompletions();
        if (ready()) {
            return true;
        }
        if (monotonicNanoseconds() > giveUp) {
            return false;
        }
        // The receiving end's work (veth) may need this core to give the slots back.
        sched_yield();
    }
}

unsigned char* CXdpSender::nextFrame() {
    const std::size_t slot = next % SLOTS_PER_STREAM;
    if (!slotFree(slot) && !waitFor([this, slot] { return slotFree(slot); }, STALL_LIMIT_NS)) {
        return scratch; // the kernel still holds the slot's frame: this one will not be sent
    }
    return queue.area + (firstSlot + slot) * FRAME_CHUNK;
}

bool CXdpSender::holdsFrame(std::size_t length) const {
    const std::size_t slot = next % SLOTS_PER_STREAM;
    return builtLength[slot] == length && slotFree(slot);
}

void CXdpSender::add(std::size_t length) {
    const std::size_t slot = next % SLOTS_PER_STREAM;
    if (!slotFree(slot)) {
        ++refusedCount; // built in the scratch frame (nextFrame)
        return;
    }
    builtLength[slot] = static_cast<std::uint16_t>(length);
    std::uint32_t index = 0;
    if (xsk_ring_prod__reserve(&socket.tx, 1, &index) == 0 &&
        !waitFor([this, &index] { return xsk_ring_prod__reserve(&socket.tx, 1, &index) == 1; },
                 STALL_LIMIT_NS)) {
        // The interface has taken nothing for a second: the frame is not sent.
        ++refusedCount;
        return;
    }
    xdp_desc* descriptor = xsk_ring_prod__tx_desc(&socket.tx, index);
    descriptor->addr = (firstSlot + slot) * FRAME_CHUNK;
    descriptor->len = static_cast<std::uint32_t>(length);
    descriptor->options = 0;
    __atomic_store_n(&queue.busy[firstSlot + slot], 1, __ATOMIC_RELEASE);
    xsk_ring_prod__submit(&socket.tx, 1);
    ++next;
    if (++queued == XDP_BATCH_FRAMES) {
        flush();
    }
}

void CXdpSender::flush() {
    if (queued == 0) {
        return;
    }
    kick();
    takeCompletions();
    queued = 0;
}

bool CXdpSender::joins(std::int64_t waitNs) const {
    return queued != 0 && waitNs <= BATCH_WINDOW_NS;
}

void CXdpSender::finish() {
    flush();
    auto allTaken = [this] {
        return __atomic_load_n(socket.tx.consumer, __ATOMIC_ACQUIRE) == socket.tx.cached_prod;
    };
    if (!waitFor(allTaken, STALL_LIMIT_NS)) {
        refusedCount +=
            socket.tx.cached_prod - __atomic_load_n(socket.tx.consumer, __ATOMIC_ACQUIRE);
    }
}
