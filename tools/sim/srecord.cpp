#include "srecord.h"

namespace SRecord {
namespace {

// Address width in bytes by record type; 0 marks the reserved type 4.
constexpr uint8_t AddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The byte at hex position `index` (two characters each), or -1 when they are not hexadecimal.
int byteAt(const char* hex, size_t index) {
    const int high = hexValue(hex[2 * index]);
    const int low = hexValue(hex[2 * index + 1]);
    return (high < 0 || low < 0) ? -1 : high * 16 + low;
}

Kind kindOf(int type) {
    if (type == 0)
        return Kind::Header;
    if (type <= 3)
        return Kind::Data;
    if (type <= 6)
        return Kind::Count;
    return Kind::End;
}

} // namespace

Kind check(const char* text, size_t length) {
    if (length < 4 || text[0] != 'S' || text[1] < '0' || text[1] > '9')
        return Kind::Invalid;
    const int type = text[1] - '0';
    const size_t addressBytes = AddressBytes[type];
    const int count = byteAt(text + 2, 0);
    if (addressBytes == 0 || count < 0 || static_cast<size_t>(count) < addressBytes + 1 ||
        length != 4 + 2 * static_cast<size_t>(count))
        return Kind::Invalid;
    const Kind kind = kindOf(type);
    if ((kind == Kind::Count || kind == Kind::End) &&
        static_cast<size_t>(count) != addressBytes + 1)
        return Kind::Invalid;
    unsigned sum = static_cast<unsigned>(count);
    for (int i = 0; i < count; ++i) {
        const int value = byteAt(text + 4, static_cast<size_t>(i));
        if (value < 0)
            return Kind::Invalid;
        sum += static_cast<unsigned>(value);
    }
    return (sum & 0xFFu) == 0xFFu ? kind : Kind::Invalid;
}

size_t headerData(const char* text, size_t length, char* out, size_t capacity) {
    if (capacity == 0 || check(text, length) != Kind::Header)
        return 0;
    const size_t dataBytes = static_cast<size_t>(byteAt(text + 2, 0)) - 3;
    size_t copied = 0;
    for (; copied < dataBytes && copied + 1 < capacity; ++copied)
        out[copied] = static_cast<char>(byteAt(text + 8, copied));
    out[copied] = '\0';
    return dataBytes;
}

size_t compose(char type, uint32_t address, const uint8_t* data, size_t dataLength, char* out,
               size_t capacity) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    if (type < '0' || type > '9' || AddressBytes[type - '0'] == 0 || dataLength > MaxDataBytes)
        return 0;
    const size_t addressBytes = AddressBytes[type - '0'];
    const size_t count = addressBytes + dataLength + 1;
    const size_t length = 4 + 2 * count;
    if (count > 255 || capacity < length + 1)
        return 0;
    size_t at = 0;
    unsigned sum = 0;
    auto put = [&](unsigned value) {
        out[at++] = Digits[(value >> 4) & 0xFu];
        out[at++] = Digits[value & 0xFu];
        sum += value & 0xFFu;
    };
    out[at++] = 'S';
    out[at++] = type;
    put(static_cast<unsigned>(count));
    for (size_t i = addressBytes; i > 0; --i)
        put((address >> (8 * (i - 1))) & 0xFFu);
    for (size_t i = 0; i < dataLength; ++i)
        put(data[i]);
    put(~sum & 0xFFu);
    out[at] = '\0';
    return at;
}

} // namespace SRecord
