#include "testframe.h"
#include "textparsing.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

using Mac = std::array<unsigned char, 6>;

TEST(MacAddress, AcceptsSixTwoDigitGroups) {
    const Mac expected = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    for (const char* text : {"00:1a:2B:3c:4D:5e", "00-1A-2B-3C-4D-5E", "00:1A-2B:3C-4D:5E"}) {
        Mac mac;
        mac.fill(0xEE);
        EXPECT_TRUE(getMacAddressFromStr(text, mac.data())) << text;
        EXPECT_EQ(mac, expected) << text;
    }
}

TEST(MacAddress, RejectsMalformedTextWithoutWritingPastSixBytes) {
    for (const char* text :
         {"0:1A:2B:3C:4D:5E", "001A2B3C4D5E", "00:1A:2B:3C:4D",
          "00:1A:2B:3C:4D:", "00:1A:2B:3C:4D:5E:", "00:1A:2B:3C:4D:5E:6F", "00:1A:2B:3C:4D:5G",
          "00:1A:2B:3C:4D:5E6", "00 1A 2B 3C 4D 5E", "", "FF:FF:FF:FF:FF:FFFFFFFF"}) {
        unsigned char buffer[8];
        std::memset(buffer, 0xEE, sizeof(buffer));
        EXPECT_FALSE(getMacAddressFromStr(text, buffer)) << text;
        EXPECT_EQ(buffer[6], 0xEE) << text;
        EXPECT_EQ(buffer[7], 0xEE) << text;
    }
    Mac mac;
    EXPECT_FALSE(getMacAddressFromStr("11:22:33", mac.data()));
    EXPECT_EQ(mac, (Mac{0x11, 0x22, 0x33, 0, 0, 0}));
    EXPECT_FALSE(getMacAddressFromStr(nullptr, mac.data()));
    EXPECT_FALSE(getMacAddressFromStr("00:1A:2B:3C:4D:5E", nullptr));
}

TEST(Ipv4Address, DottedOrderAndAllOnesForRejectedText) {
    const std::vector<std::pair<const char*, std::array<unsigned char, 4>>> cases = {
        {"192.168.0.1", {192, 168, 0, 1}},
        {"10.1.2.3", {10, 1, 2, 3}},
        {"not an address", {255, 255, 255, 255}},
        {nullptr, {255, 255, 255, 255}},
    };
    for (const auto& [text, bytes] : cases) {
        TIpv4Address address{};
        getIpv4AdressFromStr(text, &address);
        EXPECT_EQ(std::memcmp(address.bytes, bytes.data(), 4), 0) << (text ? text : "null");
    }
}

TEST(Ipv4Crc, KnownHeaderAndZeroSumOnceStored) {
    unsigned char header[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};
    EXPECT_EQ(getIpv4Crc(header), 0xB861);
    header[10] = 0xB8;
    header[11] = 0x61;
    EXPECT_EQ(getIpv4Crc(header), 0);
    // 0x2FFFF folds to 0x10001, which needs a second fold: 0x0002, complement 0xFFFD.
    const unsigned char carries[20] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x02};
    EXPECT_EQ(getIpv4Crc(carries), 0xFFFD);
}

class TestFrame : public testing::Test {
  protected:
    void SetUp() override {
        // A template as the set-up leaves it, with every byte distinct from its neighbours.
        for (std::size_t i = 0; i < FRAME_HEADER_SIZE; ++i)
            m_header[i] = static_cast<unsigned char>(0x10 + i);
        m_header[14] = 0x45;
        m_header[24] = 0x12; // a stale checksum must not leak into the new one
        m_header[25] = 0x34;
        std::memset(m_frame, 0xEE, sizeof(m_frame));
    }
    unsigned read16(std::size_t offset) const { return m_frame[offset] << 8 | m_frame[offset + 1]; }

    unsigned char m_header[FRAME_HEADER_SIZE];
    unsigned char m_frame[1600];
    const timeval m_time{0x0102030405060708, 999999};
};

TEST_F(TestFrame, Stream3Of100BytesMatchesTheLayout) {
    buildTestFrame(m_frame, frameLengthForSize(100), m_header, 0xB8, 2, m_time);
    for (std::size_t i = 0; i < FRAME_HEADER_SIZE; ++i) {
        const bool perFrame =
            i == 15 || i == 16 || i == 17 || i == 24 || i == 25 || i == 38 || i == 39;
        if (!perFrame) {
            EXPECT_EQ(m_frame[i], m_header[i]) << i;
        }
    }
    EXPECT_EQ(m_frame[15], 0xB8);
    EXPECT_EQ(read16(16), 86u);
    EXPECT_EQ(read16(38), 66u);
    EXPECT_EQ(getIpv4Crc(m_frame + 14), 0);
    EXPECT_EQ(m_frame[42], 'C');
    const unsigned char time[16] = {8, 7, 6, 5, 4, 3, 2, 1, 0x3F, 0x42, 0x0F, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(m_frame + 43, time, 16), 0);
    for (std::size_t i = 59; i < 100; ++i)
        EXPECT_EQ(m_frame[i], 'C') << i;
    EXPECT_EQ(m_frame[100], 0xEE);
}

TEST_F(TestFrame, LengthsAndChecksumAtTheBounds) {
    for (const auto& [size, length] : std::vector<std::pair<std::uint32_t, unsigned>>{
             {0, 59}, {17, 59}, {59, 59}, {60, 60}, {1500, 1500}, {9000, 1500}}) {
        std::memset(m_frame, 0xEE, sizeof(m_frame));
        buildTestFrame(m_frame, frameLengthForSize(size), m_header, 0, 9, m_time);
        EXPECT_EQ(read16(16), length - 14) << size;
        EXPECT_EQ(read16(38), length - 34) << size;
        EXPECT_EQ(getIpv4Crc(m_frame + 14), 0) << size;
        EXPECT_EQ(m_frame[42], 'J') << size;
        EXPECT_EQ(m_frame[length - 1], length > 59 ? 'J' : 0) << size;
        EXPECT_EQ(m_frame[length], 0xEE) << size;
    }
}

TEST_F(TestFrame, StampingRewritesOnlyTheSendTime) {
    buildTestFrame(m_frame, 200, m_header, 7, 0, m_time);
    unsigned char before[1600];
    std::memcpy(before, m_frame, sizeof(before));
    const timeval later{1700000000, 5};
    stampSendTime(m_frame, later);
    EXPECT_EQ(std::memcmp(m_frame, before, 43), 0);
    EXPECT_EQ(std::memcmp(m_frame + 59, before + 59, sizeof(before) - 59), 0);
    timeval back;
    std::memcpy(&back, m_frame + 43, sizeof(back));
    EXPECT_EQ(back.tv_sec, later.tv_sec);
    EXPECT_EQ(back.tv_usec, later.tv_usec);
}

} // namespace
