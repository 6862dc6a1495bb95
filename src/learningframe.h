#ifndef TRAFFICGEN_LEARNINGFRAME_H
#define TRAFFICGEN_LEARNINGFRAME_H

// The learning frames a benchmark sends from its receiving interface before the trials of each
// frame size, so that a learning switch between the interfaces forwards the test frames to that
// interface instead of flooding them, and a router knows its address: an ARP announcement
// (RFC 5227) of the interface's own addresses, to every station (broadcast).
//
// Layout (60 bytes, the Ethernet minimum without the check sequence):
//   0  destination ff:ff:ff:ff:ff:ff        6  source: the interface's MAC
//   12 EtherType 0x0806 (ARP)               14 hardware type 1, protocol 0x0800, lengths 6 and 4
//   20 operation 1 (request)                22 sender MAC, 28 sender IPv4: the interface's own
//   32 target MAC 00:00:00:00:00:00         38 target IPv4: the interface's own again
//   42 zero padding to 60 bytes
// A VLAN tag, where one is wanted, goes in at offset 12 as in any Ethernet frame.

#include <cstddef>
#include <vector>

constexpr std::size_t LEARNING_FRAME_LENGTH = 60;

// The learning frame of an interface with hardware address `mac` (6 bytes) and IPv4 address
// `ipv4` (4 bytes in network order; all zero for an interface without one).
std::vector<unsigned char> buildLearningFrame(const unsigned char* mac, const unsigned char* ipv4);

#endif
