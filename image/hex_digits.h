// Hexadecimal digits, read in either case and written in upper case, as S-records and Intel HEX
// carry their bytes.
#pragma once

#include <cstdint>

namespace HexDigits {

// The value of one digit, or -1 when c is none.
constexpr int value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The byte of two digits already known to be hex.
constexpr uint8_t byteAt(const char* text) {
    return static_cast<uint8_t>(value(text[0]) * 16 + value(text[1]));
}

// Writes the byte as two upper-case digits at out.
inline void put(uint8_t byte, char* out) {
    constexpr char Digits[] = "0123456789ABCDEF";
    out[0] = Digits[byte >> 4];
    out[1] = Digits[byte & 0x0F];
}

} // namespace HexDigits
