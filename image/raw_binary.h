// A raw binary: the file's bytes as they are, from the base address on, as one run (objcopy -I
// binary --change-addresses BASE), with the base as the entry point.
#pragma once

#include "image/memory_image.h"

#include <cstddef>
#include <cstdint>

namespace RawBinary {

// The run points into bytes. Where it reaches past 4 GiB is judged with the other formats'.
void read(const uint8_t* bytes, size_t size, uint32_t base, MemoryImage::Image& image);

} // namespace RawBinary
