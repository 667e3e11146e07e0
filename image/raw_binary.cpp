#include "image/raw_binary.h"

namespace RawBinary {

void read(const uint8_t* bytes, size_t size, uint32_t base, MemoryImage::Image& image) {
    MemoryImage::clear(image);
    image.entry = base;
    if (size == 0) {
        return;
    }
    MemoryImage::Run run;
    run.address = base;
    run.data = bytes;
    run.size = static_cast<uint32_t>(size); // a file of at most 64 MiB
    image.runs.push_back(run);
}

} // namespace RawBinary
