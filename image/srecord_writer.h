// S-records made from an image in memory, byte for byte as objcopy -O srec --srec-len=N writes
// them apart from the S0 header's text (objcopy names its output file there; the caller names
// the image): an S0 header, each run cut into records of N data bytes from its first byte on, the
// runs in address order, and an end record with the entry point. The type is the narrowest that
// carries the highest address of the data (S1/S9, S2/S8, S3/S7), or of the entry point where that
// is higher: objcopy would cut the entry point short there, so those images differ from its
// records in the type alone.
#pragma once

#include "image/image_problem.h"
#include "image/memory_image.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace SRecordWriter {

// The characters of a record line, before its line end, that the product takes.
inline constexpr size_t LongestLine = 408;
inline constexpr uint32_t DefaultDataBytes = 16;
// objcopy names at most this many bytes of a file in the header.
inline constexpr size_t HeaderNameBytes = 40;

// The address bytes of a record type.
constexpr unsigned addressBytes(unsigned type) {
    constexpr unsigned Widths[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    return Widths[type];
}
// The characters of a record of this type (0 to 9) and data bytes, without its line end.
constexpr size_t lineLength(unsigned type, size_t dataBytes) {
    return 2 + 2 + 2 * addressBytes(type) + 2 * dataBytes + 2;
}
// The most data bytes a record of type 1, 2 or 3 carries within LongestLine.
constexpr uint32_t mostDataBytes(unsigned type) {
    return static_cast<uint32_t>((LongestLine - lineLength(type, 0)) / 2);
}
static_assert(mostDataBytes(1) == 199 && mostDataBytes(3) == 197);

// The narrowest data record type (1, 2 or 3) for addresses up to highest.
unsigned typeFor(uint64_t highest);

// Orders the image's runs and writes its records into text (which it replaces), each line ended
// by a line feed. False, with the problems, when runs overlap or reach past 4 GiB, or when
// dataBytes records do not fit LongestLine at the type the image needs.
bool write(MemoryImage::Image& image, const char* headerName, uint32_t dataBytes,
           std::vector<char>& text, ImageProblem::List& problems);

// One record of any type (0 to 9) with its line feed, written at out; returns its length.
size_t writeRecord(char* out, unsigned type, uint32_t address, const uint8_t* data,
                   size_t dataLength);

} // namespace SRecordWriter
