// The digest in the form people compare: lower-case hex, as sha256sum prints it.
#include "os/sha256.h"

namespace Os {

bool sha256Hex(const void* data, size_t size, std::string& hex) {
    hex.clear();
    Sha256Digest digest{};
    if (!sha256(data, size, digest)) {
        return false;
    }
    constexpr char Digits[] = "0123456789abcdef";
    hex.reserve(Sha256HexLength);
    for (const uint8_t byte : digest) {
        hex += Digits[byte >> 4];
        hex += Digits[byte & 0x0F];
    }
    return true;
}

} // namespace Os
