// From the file as read to the S-records that are checked and sent: S-records stay as they are
// unless some lines are too long to send whole, which are split; Intel HEX, ELF and a raw binary
// (only with a base address) become S-records in memory, as objcopy -O srec would make them.
// What the file is, whether it was converted and how, goes into the report's source.
#pragma once

#include "session/image_check.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ImageConversion {

struct Options {
    bool hasBase = false; // the file is a raw binary that starts at base
    uint32_t base = 0;
    uint32_t recordBytes = SRecordWriter::DefaultDataBytes; // data bytes a converted record
};

// Finds the records to send for the file named name. sent points into file (S-records sent as
// they stand, without a DOS end mark) or into converted. False when the image is refused: the
// report then holds its problems, or says that it is empty (onlyBlank).
bool prepare(std::span<const char> file, const char* name, const Options& options,
             std::vector<char>& converted, std::span<const char>& sent, ImageCheck::Report& report);

} // namespace ImageConversion
