#ifndef TRAFFICGEN_SENDSTAMPS_H
#define TRAFFICGEN_SENDSTAMPS_H

// Send stamps taken by the kernel instead of the sender: the moment a frame left the sending
// interface, so that a delay measures the path and not the tester's own system call, batch,
// socket and queueing discipline.
//
// The receiver captures the stamped test frames leaving the sending interface (the kernel
// stamps each as it passes the interface's taps, as it stamps arrivals) and joins them to the
// frames that arrived by stream and sequence number. The kernel's own transmit stamps
// (SO_TIMESTAMPING) were measured too: its software stamp is taken by the driver after every
// capture of the interface has taken its copy, 1.7 to 4 us (99th percentile over 80 us) after
// tcpdump's stamp of the same frame, and its scheduling stamp before the queueing discipline,
// which belongs to the tester. A path that bypasses the kernel's queueing (AF_XDP) is seen by no
// capture: on it the stamped frames leave through a packet socket beside it.

#include <cstdint>
#include <string>

#include "result.h"

extern const char* const INVALID_STAMP_SOURCE;
// Reads "user", "kernel" or "hardware".
bool readStampSource(const std::string& text, TStampSource& source);
const char* stampSourceName(TStampSource source);

// At most this many send stamps per second over all streams, so that stamping costs neither
// the senders nor the receiver rate.
constexpr double STAMP_BUDGET_PER_SECOND = 20000;
// The rate assumed of a sender without a planned rate (back to back).
constexpr double UNPLANNED_FRAMES_PER_SECOND = 1.5e6;
// Which frames carry a stamp at `framesPerSecond` over all streams (0 or less: back to back):
// those numbered a multiple of the result, a power of two, so that the stamps stay within the
// budget.
std::uint32_t stampEvery(double framesPerSecond);

// What the send stamps are when `wanted` is asked for. Hardware stamps are not taken: they fall
// back to the kernel's, and the run says why (hardwareStampObstacle).
TStampSource sendStampSourceFor(TStampSource wanted);

// What an interface's driver says it can stamp (ETHTOOL_GET_TS_INFO).
struct TStampingAbilities {
    bool hardwareTransmit = false; // stamps frames as they leave
    bool hardwareReceive = false;  // stamps frames as they arrive
    bool rawHardware = false;      // reports its own clock's time, not host time made from it
    int clock = -1;                // its PTP hardware clock's index; -1 without one
};

// Why hardware stamps of frames leaving `sending` and arriving at `receiving` would not give
// delays: empty when both interfaces stamp in hardware with one clock. Two clocks kept
// together by another program cannot be checked from here, so they do not count as one.
std::string hardwareStampObstacle(const std::string& sendingName, const TStampingAbilities& sending,
                                  const std::string& receivingName,
                                  const TStampingAbilities& receiving);

#endif
