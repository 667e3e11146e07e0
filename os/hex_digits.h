// Hexadecimal digits, read in either case and written in upper case, as S-records and Intel HEX
// carry their bytes and as a serial number's escapes write them.
#pragma once

#include <cstdint>

namespace HexDigits {

struct Table {
    int8_t values[256];
};

// Every character's value, -1 for those that are no digit: a look-up, as the check of a large
// image reads tens of millions of them.
constexpr Table makeTable() {
    Table table{};
    for (int c = 0; c < 256; ++c) {
        table.values[c] = c >= '0' && c <= '9'   ? static_cast<int8_t>(c - '0')
                          : c >= 'A' && c <= 'F' ? static_cast<int8_t>(c - 'A' + 10)
                          : c >= 'a' && c <= 'f' ? static_cast<int8_t>(c - 'a' + 10)
                                                 : int8_t{-1};
    }
    return table;
}
inline constexpr Table Values = makeTable();

// The value of one digit, or -1 when c is none.
constexpr int value(char c) {
    return Values.values[static_cast<unsigned char>(c)];
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
