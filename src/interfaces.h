#ifndef TRAFFICGEN_INTERFACES_H
#define TRAFFICGEN_INTERFACES_H

// Opening the two interfaces through libpcap: the receiving one once per run for capture, the
// sending one in every cycle for the senders. CTrafficGenerator::initialize() is defined with
// them (interfaces.cpp), and so is CTrafficGenerator::describe(), which reports the addresses
// initialize() found.

#include <cstdint>
#include <memory>
#include <pcap/pcap.h>
#include <string>

class CXdpPath;

// The capture ring's size. At full speed the default 2 MiB ring was seen to overflow; the
// batched send path sends faster still, and a receiver that loses its core for a while must
// find the frames of that while in the ring (at 370000 frames/s the larger ring holds 0.2 s).
constexpr int CAPTURE_RING_BYTES = 32 * 1024 * 1024;
constexpr int BATCHED_CAPTURE_RING_BYTES = 128 * 1024 * 1024;
// The departures' ring holds the stamped frames only, at most some tens of thousands a second.
constexpr int DEPARTURE_RING_BYTES = 16 * 1024 * 1024;

// On the faster send paths the capture keeps only the start of each frame, where every field
// the receiver reads lies (the frame's length comes with it in full): the kernel then copies a
// tenth of a long frame into the ring, and the ring holds ten times as many.
constexpr int FAST_PATH_SNAPSHOT_LENGTH = 128;
constexpr int FULL_SNAPSHOT_LENGTH = 1518;

// Opens the receiving interface `name` for capture as pcap_open_live(name, 1518, 0, 50,
// errorBuffer) would, with a larger capture ring (and, if given, a shorter snapshot length):
// null on failure, with the very text pcap_open_live leaves in errorBuffer for each status.
pcap_t* openReceivingCapture(const char* name, char* errorBuffer,
                             int ringBytes = CAPTURE_RING_BYTES,
                             int snapshotLength = FULL_SNAPSHOT_LENGTH);

// The unit of the capture's arrival stamps below the second, in nanoseconds: 1, or 1000 where
// the capture could not give nanoseconds.
std::int64_t captureUnitNs(pcap_t* device);

// The capture filter of the frames leaving the sending interface that carry a send stamp: the
// test frames (`testFrames`, the receiving capture's filter) whose number (4 bytes from
// SEQUENCE_NUMBER_OFFSET, least significant first) is a multiple of `every`, a power of two.
// Tags or IPv6 (`shifted`) move the number, and the kernel's filter may see a frame without the
// tag its capture shows: then every test frame is taken and the receiver picks the stamped ones.
std::string departureFilterText(std::uint32_t every, const std::string& testFrames, bool shifted);

// Opens a capture of the stamped test frames leaving `name` (a capture of their own, with
// nanosecond stamps where the system gives them, non-blocking): the kernel stamps each as it
// passes the interface, as it stamps arrivals. Ends the run with a message when it cannot.
pcap_t* openDepartureCapture(const char* name, const std::string& filter, char* errorBuffer);

// Opens the sending interface with pcap_open_live(name, 1518, 0, 50, errorBuffer); ends the run
// with the sending-open message when it fails.
pcap_t* openSendingDevice(const char* interfaceName, char* errorBuffer);

// Opens the batched send path's packet socket on the sending interface; ends the run with one
// line naming the interface and the reason when it cannot be opened (no fall-back to libpcap,
// which would send at another rate than the one asked for).
int openBatchedPath(const char* interfaceName);

// The interface's own hardware address into `mac` (6 bytes); false when the kernel names none.
bool readInterfaceMac(const char* name, unsigned char* mac);

// Opens the AF_XDP path's sockets on the sending interface for `streams` streams, on at most
// `allowedQueues` queues (0: all); ends the run
// with one line naming the interface and the reason when they cannot be opened.
std::unique_ptr<CXdpPath> openXdpPath(const char* interfaceName, unsigned int streams,
                                      unsigned int allowedQueues);

// Closes what openSendingDevice (`device`, may be null) or openBatchedPath (`batchFd`, -1 for
// none) opened.
void closeSendingPath(pcap_t* device, int batchFd);

#endif
