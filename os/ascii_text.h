// ASCII text the way the command line and the protocol compare it: letters without regard to
// case ("auto" is AUTO, a product id against the reply's spelling), every other byte exactly.
#pragma once

#include <string_view>

namespace AsciiText {

constexpr char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool equalIgnoringCase(std::string_view text, std::string_view other) {
    if (text.size() != other.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (upper(text[i]) != upper(other[i])) {
            return false;
        }
    }
    return true;
}

} // namespace AsciiText
