// ELF files, 32-bit and 64-bit, either byte order, read as objcopy reads them for S-records: the
// allocated sections that have contents (SHF_ALLOC, not SHT_NOBITS, a size above 0), each at its
// load address: the physical address of the PT_LOAD segment that holds it plus its offset in that
// segment (a section in no segment loads at its own address). Nothing else of the file, neither
// headers nor the padding a segment may cover, becomes data. The entry point is the header's.
#pragma once

#include "image/image_problem.h"
#include "image/memory_image.h"

#include <cstddef>
#include <cstdint>

namespace ElfImage {

// Reads bytes (starting with the ELF magic) into image, whose runs point into bytes. False with
// the problem otherwise: headers cut short or invalid (their offset named), or a file that holds
// no image (an object file, a core dump, no section headers, no loadable data).
bool read(const uint8_t* bytes, size_t size, MemoryImage::Image& image,
          ImageProblem::List& problems);

} // namespace ElfImage
