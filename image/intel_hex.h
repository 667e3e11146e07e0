// Intel HEX, read as objcopy reads it: data (00), end of file (01), extended segment address
// (02), start segment address (03), extended linear address (04) and start linear address (05)
// records, checksums checked. A data record lies at the linear base plus the segment base plus
// its own address, running on past 64 KiB rather than wrapping; a run of data ends at a gap and at
// every 02 to 05 record. The start address is the 05 record's, plus every 03 record's CS * 16 + IP,
// or else the end-of-file record's address.
#pragma once

#include "image/image_problem.h"
#include "image/memory_image.h"

#include <cstddef>

namespace IntelHex {

// Reads the text (without a DOS end mark) into image; false with the problems of every line
// (and of the file as a whole: no end-of-file record, or no data when no line was spoilt)
// otherwise. Blank lines are
// skipped, blanks and tabs after the checksum allowed, and nothing but blank lines may follow the
// end-of-file record.
bool read(const char* text, size_t size, MemoryImage::Image& image, ImageProblem::List& problems);

} // namespace IntelHex
