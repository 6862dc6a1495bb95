#include "testframe.h"

#include <cassert>
#include <cstring>

namespace {

constexpr std::uint16_t ETHER_TYPE_IPV4 = 0x0800;
constexpr unsigned char IPV4_VERSION_AND_LENGTH = 0x45;
constexpr unsigned char TIME_TO_LIVE = 255;
constexpr unsigned char PROTOCOL_UDP = 17;

void putBigEndian16(unsigned char* at, std::size_t value) {
    at[0] = static_cast<unsigned char>((value >> 8) & 0xFF);
    at[1] = static_cast<unsigned char>(value & 0xFF);
}

void putLittleEndian64(unsigned char* at, std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<unsigned char>((bits >> (8 * i)) & 0xFF);
}

} // namespace

unsigned short getIpv4Crc(const unsigned char* header) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < IPV4_HEADER_SIZE; i += 2)
        sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<unsigned short>(~sum & 0xFFFF);
}

void writeConstantHeaderFields(unsigned char* header) {
    putBigEndian16(header + ETHER_TYPE_OFFSET, ETHER_TYPE_IPV4);
    header[IPV4_OFFSET] = IPV4_VERSION_AND_LENGTH;
    header[TTL_OFFSET] = TIME_TO_LIVE;
    header[PROTOCOL_OFFSET] = PROTOCOL_UDP;
    putBigEndian16(header + UDP_OFFSET, TEST_PORT);
    putBigEndian16(header + DESTINATION_PORT_OFFSET, TEST_PORT);
}

std::size_t frameLengthForSize(std::uint32_t size, bool numbered) {
    const std::size_t shortest = numbered ? MIN_NUMBERED_FRAME_LENGTH : MIN_FRAME_LENGTH;
    const std::uint32_t limited = size < MAX_FRAME_LENGTH ? size : MAX_FRAME_LENGTH;
    return limited > shortest ? limited : shortest;
}

void buildTestFrame(unsigned char* frame, std::size_t length, const unsigned char* header,
                    unsigned char tos, unsigned int streamIndex, const timeval& sendTime) {
    assert(length >= MIN_FRAME_LENGTH && length <= MAX_BENCHMARK_FRAME_LENGTH);
    std::memcpy(frame, header, FRAME_HEADER_SIZE);
    frame[TOS_OFFSET] = tos;
    putBigEndian16(frame + TOTAL_LENGTH_OFFSET, length - IPV4_OFFSET);
    putBigEndian16(frame + UDP_LENGTH_OFFSET, length - UDP_OFFSET);
    // The checksum covers its own field, which must be zero while it is summed.
    putBigEndian16(frame + CHECKSUM_OFFSET, 0);
    putBigEndian16(frame + CHECKSUM_OFFSET, getIpv4Crc(frame + IPV4_OFFSET));
    // The whole payload gets the stream letter; the send time then overwrites its slot.
    std::memset(frame + STREAM_LETTER_OFFSET, 'A' + streamIndex, length - STREAM_LETTER_OFFSET);
    stampSendTime(frame, sendTime);
}

void stampSendTime(unsigned char* frame, const timeval& sendTime) {
    // Byte for byte what a 64-bit timeval looks like in an x86-64 host's memory.
    putLittleEndian64(frame + SEND_TIME_OFFSET, static_cast<std::int64_t>(sendTime.tv_sec));
    putLittleEndian64(frame + SEND_TIME_OFFSET + 8, static_cast<std::int64_t>(sendTime.tv_usec));
}

std::size_t sequenceNumberOffset(std::size_t length) {
    return length >= MIN_NUMBERED_FRAME_LENGTH ? SEQUENCE_NUMBER_OFFSET
                                               : SHORT_SEQUENCE_NUMBER_OFFSET;
}

void stampSequenceNumber(unsigned char* frame, std::size_t length, std::uint32_t number) {
    const std::size_t offset = sequenceNumberOffset(length);
    for (std::size_t i = 0; i < 4; ++i)
        frame[offset + i] = static_cast<unsigned char>((number >> (8 * i)) & 0xFF);
}
