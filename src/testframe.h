#ifndef TRAFFICGEN_TESTFRAME_H
#define TRAFFICGEN_TESTFRAME_H

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

// Layout of a test frame: Ethernet II + IPv4 + UDP header, then the stream letter,
// the send time and the filler. Offsets count from the frame's first byte. With sequence
// numbers the filler begins with the frame's number within its stream and cycle.
constexpr std::size_t DESTINATION_MAC_OFFSET = 0;
constexpr std::size_t SOURCE_MAC_OFFSET = 6;
constexpr std::size_t MAC_LENGTH = 6;
constexpr std::size_t ETHER_TYPE_OFFSET = 12;
constexpr std::size_t IPV4_OFFSET = 14; // version and header length
constexpr std::size_t IPV4_HEADER_SIZE = 20;
constexpr std::size_t TOS_OFFSET = 15;
constexpr std::size_t TOTAL_LENGTH_OFFSET = 16;
constexpr std::size_t TTL_OFFSET = 22;
constexpr std::size_t PROTOCOL_OFFSET = 23;
constexpr std::size_t CHECKSUM_OFFSET = 24;
constexpr std::size_t SOURCE_IPV4_OFFSET = 26;
constexpr std::size_t DESTINATION_IPV4_OFFSET = 30;
constexpr std::size_t UDP_OFFSET = 34; // source port
constexpr std::size_t DESTINATION_PORT_OFFSET = 36;
constexpr std::size_t UDP_LENGTH_OFFSET = 38;
constexpr std::size_t FRAME_HEADER_SIZE = 42;
constexpr std::size_t STREAM_LETTER_OFFSET = 42;
constexpr std::size_t SEND_TIME_OFFSET = 43;
constexpr std::size_t MIN_FRAME_LENGTH = 59;
constexpr std::size_t SEQUENCE_NUMBER_OFFSET = 59;
constexpr std::size_t MIN_NUMBERED_FRAME_LENGTH = 63;
// A numbered frame shorter than MIN_NUMBERED_FRAME_LENGTH (a benchmark's 64- to 66-byte frames,
// 60 to 62 bytes here) has no room after its send time: its number takes the upper four bytes of
// the send time's microseconds field, which a microsecond count below 10^6 always leaves zero.
constexpr std::size_t SHORT_SEQUENCE_NUMBER_OFFSET = 55;
constexpr std::size_t MAX_FRAME_LENGTH = 1500;
// A benchmark's frames may be as long as Ethernet allows (1518 bytes with the check sequence).
constexpr std::size_t MAX_BENCHMARK_FRAME_LENGTH = 1514;
constexpr std::uint16_t TEST_PORT = 33333;

unsigned short getIpv4Crc(const unsigned char* header);

// Writes the header template's fields that are the same in every test frame: EtherType IPv4,
// IPv4 version 4 with a 20-byte header, time to live 255, protocol UDP, both ports TEST_PORT.
void writeConstantHeaderFields(unsigned char* header);

// Frame length L for a drawn size S: at most 1500, at least 59 (63 for a numbered frame, which
// grows by the bytes its number needs).
std::size_t frameLengthForSize(std::uint32_t size, bool numbered = false);

// Builds one complete test frame of `length` bytes (59..1514) into `frame`:
// header template, TOS, lengths, checksum, stream letter, send time and filler.
void buildTestFrame(unsigned char* frame, std::size_t length, const unsigned char* header,
                    unsigned char tos, unsigned int streamIndex, const timeval& sendTime);

// Writes the 16-byte send time into an already built frame.
void stampSendTime(unsigned char* frame, const timeval& sendTime);

// Writes a frame's sequence number (4 bytes, least significant first, like the send time) into
// an already built and time-stamped frame of `length` bytes: after the send time, or in a frame
// too short for that, into the send time's unused upper bytes (SHORT_SEQUENCE_NUMBER_OFFSET).
void stampSequenceNumber(unsigned char* frame, std::size_t length, std::uint32_t number);
// Where a numbered frame of `length` bytes carries its number.
std::size_t sequenceNumberOffset(std::size_t length);

#endif
