#ifndef TRAFFICGEN_TEXTPARSING_H
#define TRAFFICGEN_TEXTPARSING_H

#include <cstdint>
#include <string>

// An IPv4 address as four bytes in dotted order (first number first).
struct TIpv4Address {
    unsigned char bytes[4];
};

// The longest wait for a cycle's frames after its last sender has ended, unless set otherwise,
// and the range a setting may have (microseconds).
constexpr std::uint32_t DEFAULT_LOSS_TIMEOUT_US = 2000000;
constexpr std::uint32_t MIN_LOSS_TIMEOUT_US = 1000;
constexpr std::uint32_t MAX_LOSS_TIMEOUT_US = 3600000000u;
extern const char* const INVALID_LOSS_TIMEOUT;

// Reads a number written with decimal digits only, within minimum..maximum.
bool readDecimal(const std::string& text, std::uint32_t minimum, std::uint32_t maximum,
                 std::uint32_t& value);

// Reads a loss timeout: decimal digits only, within MIN_LOSS_TIMEOUT_US..MAX_LOSS_TIMEOUT_US.
bool readLossTimeout(const std::string& text, std::uint32_t& microseconds);

bool getMacAddressFromStr(const char* text, unsigned char* mac);
void getIpv4AdressFromStr(const char* text, TIpv4Address* address);

#endif
