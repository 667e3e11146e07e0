// The one decimal reader: the baud-rate argument and the port number typed at the prompt are both
// read as "%d" reads a number. Blanks before it are skipped, an optional sign is taken, then
// digits up to the first character that cannot continue the number; numbers beyond 32 bits
// saturate rather than overflow.
#pragma once

#include <cctype>
#include <cstdint>

struct DecimalReading {
    bool started = false; // a sign or a digit has been taken
    bool negative = false;
    bool anyDigit = false;
    int64_t magnitude = 0;
};

// Takes the next character (EOF as -1 ends it); false when it cannot continue the number and
// stays unread.
inline bool takeDecimalCharacter(DecimalReading& reading, int c) {
    constexpr int64_t Ceiling = int64_t{1} << 32;
    if (!reading.started && c >= 0 && std::isspace(c)) {
        return true;
    }
    if (!reading.started && (c == '-' || c == '+')) {
        reading.started = true;
        reading.negative = c == '-';
        return true;
    }
    if (c < '0' || c > '9') {
        return false;
    }
    reading.started = true;
    reading.anyDigit = true;
    reading.magnitude =
        reading.magnitude < Ceiling ? reading.magnitude * 10 + (c - '0') : reading.magnitude;
    return true;
}

// The value read; no digits gives 0.
inline int32_t decimalValue(const DecimalReading& reading) {
    const int64_t value = reading.negative ? -reading.magnitude : reading.magnitude;
    return static_cast<int32_t>(value < INT32_MIN   ? INT32_MIN
                                : value > INT32_MAX ? INT32_MAX
                                                    : value);
}
