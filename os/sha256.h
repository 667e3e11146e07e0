// SHA-256 from the platform's well-tested library: OpenSSL's libcrypto on Linux (sha256_posix.cpp),
// Windows CNG (sha256_win32.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Os {

using Sha256Digest = std::array<uint8_t, 32>;
inline constexpr size_t Sha256HexLength = 64;

// The digest of size bytes at data. False when the library failed.
bool sha256(const void* data, size_t size, Sha256Digest& digest);
// The same as lower-case hex, as sha256sum prints it. False, with hex cleared, when the library
// failed.
bool sha256Hex(const void* data, size_t size, std::string& hex);

} // namespace Os
