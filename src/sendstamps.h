#ifndef TRAFFICGEN_SENDSTAMPS_H
#define TRAFFICGEN_SENDSTAMPS_H

// Send stamps taken by the kernel (or the sending interface's hardware) instead of the sender:
// the moment a frame passed the sending interface, so that a delay measures the path and not
// the tester's own system call, batch, socket and queueing discipline.
//
// A send path whose socket is a packet socket asks for a stamp per frame with a control
// message (SO_TIMESTAMPING with the frame's own key, SCM_TS_OPT_ID): the key holds the stream
// and the frame's number, so the stamps of all senders, which share one socket, can be read by
// the receiver from the socket's error queue and joined to the frames that arrived. Only every
// `every`-th frame of a stream is stamped when stamping them all would cost the sender rate.
// A path without a packet socket (one that bypasses the kernel's stack) has no kernel stamps:
// sendStampSourceFor() tells what a path can honestly give.

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>

#include "result.h"

extern const char* const INVALID_STAMP_SOURCE;
// Reads "user", "kernel" or "hardware".
bool readStampSource(const std::string& text, TStampSource& source);
const char* stampSourceName(TStampSource source);

// A stamp's 32-bit key: the stream's index in the top 4 bits, the frame's number in the low 28.
constexpr std::uint32_t STAMP_NUMBER_BITS = 28;
constexpr std::uint32_t STAMP_NUMBER_MASK = (std::uint32_t{1} << STAMP_NUMBER_BITS) - 1;
inline std::uint32_t stampKey(std::uint32_t streamIndex, std::uint32_t number) {
    return streamIndex << STAMP_NUMBER_BITS | (number & STAMP_NUMBER_MASK);
}
inline std::uint32_t streamOfStampKey(std::uint32_t key) {
    return key >> STAMP_NUMBER_BITS;
}

// At most this many send stamps per second over all streams: stamping every frame of a
// batched sender cost it 40 % of its rate; one frame in 32 of it costs about 1 %.
constexpr double STAMP_BUDGET_PER_SECOND = 20000;
// The rate assumed of a sender without a planned rate (back to back).
constexpr double UNPLANNED_FRAMES_PER_SECOND = 1.5e6;
// Which frames carry a stamp at `framesPerSecond` over all streams (0 or less: back to back):
// those numbered a multiple of the result (a power of two), so that the stamps stay within
// the budget.
std::uint32_t stampEvery(double framesPerSecond);

// What a send path can stamp when `wanted` is asked for: kernel stamps need a packet socket
// (`packetSocket`), hardware ones the interfaces' shared clock as well (`sharedHardwareClock`).
TStampSource sendStampSourceFor(TStampSource wanted, bool packetSocket, bool sharedHardwareClock);

// Whether the two interfaces stamp in hardware, sending and receiving, with one clock (the same
// PTP hardware clock, as the ports of one NIC have).
bool interfacesShareHardwareClock(const char* sending, const char* receiving);

// Prepares the packet socket `fd` to report the stamps of `source` (kernel or hardware) on its
// error queue, with room for them; false with the reason in `error` when the kernel refuses.
bool enableSendStamps(int fd, TStampSource source, std::string& error);

// Room for the control message of one stamped frame.
struct TStampRequest {
    alignas(cmsghdr) unsigned char control[2 * CMSG_SPACE(sizeof(std::uint32_t))];
};
// Makes `message` ask for a send stamp of `source` under `key` (its control is `request`).
void requestSendStamp(msghdr& message, TStampRequest& request, TStampSource source,
                      std::uint32_t key);

// Reads every send stamp waiting on `fd`'s error queue and hands each to `take(key, ns)`;
// a stamp of the wrong kind (software where hardware was asked) is not handed over.
// Returns the number handed over.
template <typename Take> std::size_t drainSendStamps(int fd, TStampSource source, Take take);

// One stamp as the error queue gives it: the key and the stamp, or none.
struct TDrainedStamp {
    bool valid = false;
    std::uint32_t key = 0;
    std::int64_t ns = 0;
};
// Reads up to `count` stamps at once; the number of messages read (0 when none waits).
std::size_t readSendStamps(int fd, TStampSource source, TDrainedStamp* stamps, std::size_t count);

template <typename Take> std::size_t drainSendStamps(int fd, TStampSource source, Take take) {
    constexpr std::size_t AT_ONCE = 64;
    TDrainedStamp stamps[AT_ONCE];
    std::size_t handed = 0;
    for (;;) {
        const std::size_t read = readSendStamps(fd, source, stamps, AT_ONCE);
        for (std::size_t i = 0; i < read; ++i) {
            if (stamps[i].valid) {
                take(stamps[i].key, stamps[i].ns);
                ++handed;
            }
        }
        if (read < AT_ONCE) {
            return handed;
        }
    }
}

#endif
