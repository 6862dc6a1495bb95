#ifndef TRAFFICGEN_BATCHSENDER_H
#define TRAFFICGEN_BATCHSENDER_H

// The batched send path: frames are handed to the kernel several at a time through a packet
// socket bound to the sending interface (one sendmmsg call per batch) instead of one system call
// per frame through libpcap. The frames are the same; only the way to the kernel differs.
//
// Each frame is stamped when it is built, and a batch is handed over as soon as it holds
// BATCH_FRAMES frames, so a frame's stamp precedes its hand-over by the time it takes to build
// the rest of its batch and to pass the frames before it to the interface; unless the kernel
// gives the core to another task between two frames of one call, which holds back the rest of
// that batch as long as the other task runs.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>

#include "frames.h"

// How the senders hand their frames to the kernel.
enum class TSendPath { pcap, batched, xdp };

// Reads a send path by its name, "pcap", "batched" or "xdp".
bool readSendPath(const std::string& text, TSendPath& path);
extern const char* const INVALID_SEND_PATH;

// The most frames in one batch. Each frame in a batch waits for the ones before it to pass to
// the interface, a few microseconds each: sixteen frames sent only a few per cent faster than
// eight on a veth pair, and doubled that wait.
constexpr std::size_t BATCH_FRAMES = 8;
// A paced frame joins the batch only when it is due within this time; it then leaves at most
// this much before its scheduled departure. Longer waits hand the batch over first.
constexpr std::int64_t BATCH_WINDOW_NS = 20000;

// Hands frames [0, count) over with `send(first, remaining)`, which behaves as sendmmsg does on
// frames [first, count): it gives the number of frames the kernel took, or -1 with errno set
// when it took none. A call that took only part of the frames is continued with the rest; a
// frame the kernel refuses outright is skipped and counted. Returns the refused frames.
template <typename Send> std::uint32_t handOverFrames(std::size_t count, Send send) {
    std::uint32_t refused = 0;
    std::size_t first = 0;
    while (first < count) {
        const int taken = send(first, count - first);
        if (taken > 0) {
            first += static_cast<std::size_t>(taken);
        } else if (taken < 0 && errno == EINTR) {
            continue; // interrupted before the kernel took the frame: not refused
        } else {
            ++refused;
            ++first;
        }
    }
    return refused;
}

// Opens a packet socket bound to the interface, for sending only: on failure -1, with the
// reason in `error`.
int openBatchedSocket(const char* interfaceName, std::string& error);

// A sender's way of handing frames over several at a time (the batched and the AF_XDP path).
class CFrameBatch {
  public:
    CFrameBatch() = default;
    CFrameBatch(const CFrameBatch&) = delete;
    CFrameBatch& operator=(const CFrameBatch&) = delete;
    virtual ~CFrameBatch() = default;

    // Where the next frame is built (MAX_TAGGED_FRAME_LENGTH bytes).
    virtual unsigned char* nextFrame() = 0;
    // Whether nextFrame() still holds the stream's frame of `length` bytes from an earlier
    // departure, so that only the per-frame fields need writing.
    virtual bool holdsFrame(std::size_t /*length*/) const { return false; }
    // The frame built at nextFrame() is `length` bytes long and ready; a full batch is handed
    // over at once.
    virtual void add(std::size_t length) = 0;
    // Hands over the frames added since the last hand-over.
    virtual void flush() = 0;
    // Whether a paced frame due `waitNs` from now joins the batch instead of being waited for.
    virtual bool joins(std::int64_t waitNs) const = 0;
    // The stream's last frame has been added: hands everything over.
    virtual void finish() { flush(); }
    // The frames the kernel has refused so far.
    virtual std::uint64_t refused() const = 0;
};

// One sender's batch, on a socket of openBatchedSocket (not owned).
class CBatchSender final : public CFrameBatch {
  public:
    explicit CBatchSender(int socketFd);

    unsigned char* nextFrame() override { return frames[queued]; }
    void add(std::size_t length) override;
    void flush() override;
    bool joins(std::int64_t waitNs) const override {
        return queued != 0 && waitNs <= BATCH_WINDOW_NS;
    }
    std::uint64_t refused() const override { return refusedCount; }

  private:
    int fd;
    std::size_t queued = 0;
    std::uint64_t refusedCount = 0;
    unsigned char frames[BATCH_FRAMES][MAX_TAGGED_FRAME_LENGTH];
    iovec pieces[BATCH_FRAMES];
    mmsghdr messages[BATCH_FRAMES];
};

// Before a sender waits `waitNs` for its next departure: on a batching path (`batch` not null) a
// frame due that soon joins the batch, and there is no wait (true); otherwise the batch is handed
// over before the wait, so that no frame waits with it.
bool handOverBeforeWait(CFrameBatch* batch, std::int64_t waitNs);

#endif
