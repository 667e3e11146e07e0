#include "serial/serial_number_entry.h"

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

bool keptAsItIs(unsigned char byte) {
    return byte >= 0x20 && byte < 0x7F && byte != ',' && byte != '%' && byte != '"';
}

int hexValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return digit >= 'a' && digit <= 'f' ? digit - 'a' + 10 : -1;
}

} // namespace

namespace SerialNumberEntry {

std::string of(std::string_view serial) {
    std::string entry(Prefix);
    for (const char c : serial) {
        const auto byte = static_cast<unsigned char>(c);
        if (keptAsItIs(byte)) {
            entry += c;
        } else {
            entry += {'%', HexDigits[byte >> 4], HexDigits[byte & 0x0F]};
        }
    }
    return entry;
}

bool read(std::string_view text, std::string& serial) {
    serial.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            serial += text[i];
            continue;
        }
        const bool room = i + 2 < text.size();
        const int high = room ? hexValue(text[i + 1]) : -1;
        const int low = room ? hexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            return false;
        }
        serial += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

std::string problem(std::string_view entry) {
    return std::string(entry) +
           ": a % must be followed by two hexadecimal digits (%25 for % itself, %2C for a comma)";
}

} // namespace SerialNumberEntry
