// Motorola S-record lines: the simulated product checks them, the sample generator writes them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace SRecord {

enum class Kind : uint8_t { Invalid, Header, Data, Count, End };

inline constexpr size_t MaxDataBytes = 250; // count byte 255 minus the longest address and checksum
inline constexpr size_t MaxLineLength = 4 + 2 * 255;

// Checks one record without its line end: "S", a type 0-9 other than 4, a hexadecimal count of the
// bytes that follow, an address of the type's width, data, and a checksum that makes the byte sum
// 0xFF. Count, termination and end records carry no data.
Kind check(const char* text, size_t length);

// Copies the data of a valid S0 record into out as text (at most capacity - 1 bytes, NUL-ended).
// Returns the number of data bytes, or 0 when the record is not a header.
size_t headerData(const char* text, size_t length, char* out, size_t capacity);

// Writes "S<type>" with count, address, data and checksum, upper-case hexadecimal, NUL-ended and
// without a line end. Returns the length, or 0 when the type is unknown, the data too long or the
// out area (at least MaxLineLength + 1 bytes) too small.
size_t compose(char type, uint32_t address, const uint8_t* data, size_t dataLength, char* out,
               size_t capacity);

} // namespace SRecord
