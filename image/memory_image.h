// An image in memory, as the readers make it and the S-record writer takes it: runs of data at
// addresses, and the entry point. Each run starts a fresh record, as objcopy starts one for each
// of its sections: an ELF section, a raw binary, or a HEX run (a new one after every extended
// address or start address record). Runs of an ELF file or a raw binary point into the file's
// bytes; those of a HEX file into the bytes it decoded.
#pragma once

#include "image/image_problem.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace MemoryImage {

// The highest address a record carries (S3 and S7).
inline constexpr uint64_t HighestAddress = 0xFFFFFFFF;

struct Run {
    uint64_t address =
        0; // of the first byte; wider than a record carries, so that past 4 GiB shows
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t line = 0;    // of a text image: where the run begins
    uint32_t offset = 0;  // of an ELF file or a raw binary: where the bytes are in the file
    uint32_t section = 0; // of an ELF file: the index into names (0: none)
};

struct Image {
    std::vector<Run> runs;
    std::vector<uint8_t> decoded;        // what the runs of a text image point into
    std::vector<std::string_view> names; // ELF section names by Run::section
    uint64_t entry = 0;
};

void clear(Image& image);

constexpr uint64_t lastAddress(const Run& run) {
    return run.address + run.size - 1;
}

// The line, or the offset with the section's name, for a message.
ImageProblem::Origin originOf(const Image& image, const Run& run);

uint64_t dataBytes(const Image& image);

// Puts the runs in address order (as objcopy writes its sections) and notes every run that
// overlaps another or reaches past HighestAddress, and an entry point past it. False when any.
bool order(Image& image, ImageProblem::List& problems);

} // namespace MemoryImage
