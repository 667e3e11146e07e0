#include "serial/serial_number_entry.h"

#include "os/hex_digits.h"

namespace {

bool keptAsItIs(unsigned char byte) {
    return byte >= 0x20 && byte < 0x7F && byte != ',' && byte != '%' && byte != '"';
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
            char digits[2];
            HexDigits::put(byte, digits);
            entry += {'%', digits[0], digits[1]};
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
        const int high = room ? HexDigits::value(text[i + 1]) : -1;
        const int low = room ? HexDigits::value(text[i + 2]) : -1;
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
