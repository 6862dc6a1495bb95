#include "textparsing.h"

#include <arpa/inet.h>
#include <cstring>

#include "testframe.h"

namespace {

int hexToInt(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

const char* const INVALID_LOSS_TIMEOUT =
    "Neplatna hodnota loss timeout! Rozsah pouze 1000 - 3600000000 us";

bool readDecimal(const std::string& text, std::uint32_t minimum, std::uint32_t maximum,
                 std::uint32_t& value) {
    // Eleven digits are beyond any 32-bit value; refusing them keeps the sum in range.
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number < minimum || number > maximum)
        return false;
    value = static_cast<std::uint32_t>(number);
    return true;
}

bool readLossTimeout(const std::string& text, std::uint32_t& microseconds) {
    return readDecimal(text, MIN_LOSS_TIMEOUT_US, MAX_LOSS_TIMEOUT_US, microseconds);
}

bool getMacAddressFromStr(const char* text, unsigned char* mac) {
    if (text == nullptr || mac == nullptr)
        return false;
    std::memset(mac, 0, MAC_LENGTH);
    // Reading stops at the first unexpected byte, the terminating zero included,
    // so at most 17 bytes of the text are ever looked at.
    for (std::size_t group = 0; group < MAC_LENGTH; ++group) {
        for (int digit = 0; digit < 2; ++digit) {
            const int value = hexToInt(*text);
            if (value < 0)
                return false;
            mac[group] = static_cast<unsigned char>(((mac[group] << 4) | value) & 0xFF);
            ++text;
        }
        if (group == MAC_LENGTH - 1)
            return *text == '\0';
        if (*text != ':' && *text != '-')
            return false;
        ++text;
    }
    return false;
}

void getIpv4AdressFromStr(const char* text, TIpv4Address* address) {
    if (address == nullptr)
        return;
    // inet_addr's own answer for rejected text; it would dereference a null pointer.
    const in_addr_t value = text != nullptr ? inet_addr(text) : INADDR_NONE;
    std::memcpy(address->bytes, &value, sizeof(address->bytes));
}
