#ifndef TRAFFICGEN_XDPSENDER_H
#define TRAFFICGEN_XDPSENDER_H

// The AF_XDP send path: every stream hands its frames to the interface through an AF_XDP
// socket of its own, whose transmit ring the kernel reads without a system call per frame; one
// call (a "kick") sends everything queued in the ring. No XDP program is loaded: the sockets
// only send. Zero-copy where the driver supports it, copy mode otherwise (veth).
//
// The frames lie in memory the kernel shares with the senders (the UMEM), one per queue of the
// interface, each stream owning slots of its own there. A slot keeps the frame built in it, so
// that a later departure of a frame of the same length only writes the per-frame fields (send
// time, sequence number). A slot is reused only once the kernel has given it back through the
// queue's completion ring, which the streams of a queue share (each in its own process): whoever
// needs a slot takes what the ring holds, with a compare-and-swap on its consumer index.
//
// Unlike the other paths, the frames do not pass the sending interface's queueing discipline,
// and a capture on the sending interface does not see them (the receiving end's does).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "batchsender.h"

// Frames handed over with one kick: the bigger, the fewer system calls; each frame of a batch
// waits for the ones before it, a microsecond or so each in copy mode.
constexpr std::size_t XDP_BATCH_FRAMES = 64;

// A frame at its slot, as the senders describe what they queue: byte offset within the queue's
// UMEM and length.
struct TXdpFrame {
    std::uint64_t address;
    std::uint32_t length;
};

// What a kick's result means for the frames queued in the transmit ring (errno of a failed
// call, 0 for success).
enum class TKickOutcome {
    done,        // the kernel took what it could; nothing more to do now
    morePending, // call again: the kernel stopped at its per-call budget or on a full queue
    oneDropped,  // the kernel dropped one frame (counted as refused) and stopped: call again
    failed,      // the interface cannot send now (down, gone): the frames stay queued
};
TKickOutcome kickOutcome(int result, int error);

// The most queues --xdp-queues may allow, and its message for another value.
constexpr std::uint32_t MAX_XDP_QUEUES = 1024;
extern const char* const INVALID_XDP_QUEUES;

// The queue of the interface that stream `stream` (0-based) of `streams` sends on, with
// `queues` queues allowed: the streams spread evenly, stream 0 on queue 0.
unsigned int queueOfStream(unsigned int stream, unsigned int queues);

struct TXdpQueue;
struct TXdpStreamSocket;

// One cycle's AF_XDP sockets, opened by the parent before its senders start, which inherit
// them (every mapping involved is shared, not copied on fork).
class CXdpPath {
  public:
    // Opens a socket per stream on `interfaceName`, on its first `allowedQueues` transmit queues
    // (0: all); null with the reason in `error` when AF_XDP cannot be used (old kernel, no
    // permission, driver).
    static std::unique_ptr<CXdpPath> open(const char* interfaceName, unsigned int streams,
                                          unsigned int allowedQueues, std::string& error);
    ~CXdpPath();
    CXdpPath(const CXdpPath&) = delete;
    CXdpPath& operator=(const CXdpPath&) = delete;

    bool zeroCopy() const { return zeroCopyMode; }
    unsigned int queues() const { return static_cast<unsigned int>(queueList.size()); }

  private:
    CXdpPath() = default;
    friend class CXdpSender;
    std::vector<std::unique_ptr<TXdpQueue>> queueList;
    std::vector<std::unique_ptr<TXdpStreamSocket>> streamList;
    bool zeroCopyMode = false;
};

// One stream's sending on a path of CXdpPath, in that stream's sender process.
class CXdpSender final : public CFrameBatch {
  public:
    CXdpSender(CXdpPath& path, unsigned int stream);
    unsigned char* nextFrame() override;
    bool holdsFrame(std::size_t length) const override;
    void add(std::size_t length) override;
    void flush() override;
    bool joins(std::int64_t waitNs) const override;
    // Every frame handed over, or given up as refused when the interface does not take it
    // within a second.
    void finish() override;
    std::uint64_t refused() const override { return refusedCount; }

  private:
    // Takes the completions the queue's ring holds, freeing their slots.
    void takeCompletions();
    // Kicks the socket until the kernel has taken every queued frame or cannot go on; false
    // when it cannot (the frames stay queued).
    bool kick();
    // Waits (kicking, taking completions) until `ready` holds, at most `limitNs`; whether it does.
    template <typename Ready> bool waitFor(Ready ready, std::int64_t limitNs);
    bool slotFree(std::size_t slot) const;

    TXdpStreamSocket& socket;
    TXdpQueue& queue;
    std::size_t firstSlot;  // this stream's first slot in the queue's UMEM
    std::size_t next = 0;   // departures so far; the next frame goes to slot next % slots
    std::size_t queued = 0; // frames submitted since the last kick
    std::uint64_t refusedCount = 0;
    std::vector<std::uint16_t> builtLength; // per slot: the frame built there (0: none)
    // Where a frame is built that cannot be sent because its slot is not given back.
    unsigned char scratch[MAX_TAGGED_FRAME_LENGTH];
};

#endif
