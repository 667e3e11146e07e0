// Loads an image as an update does and writes the records it would send, for the comparisons
// with objcopy: image_convert_driver [--base ADDR] [--record-bytes N] FILE OUT
// Exit status 0 when written, 2 when the image is refused (its problems printed), 1 otherwise.
#include "session/firmware_image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    ImageConversion::Options options;
    int at = 1;
    for (; at + 1 < argc && std::strncmp(argv[at], "--", 2) == 0; at += 2) {
        const auto value = static_cast<uint32_t>(std::strtoul(argv[at + 1], nullptr, 0));
        if (std::strcmp(argv[at], "--base") == 0) {
            options.hasBase = true;
            options.base = value;
        } else {
            options.recordBytes = value;
        }
    }
    if (argc - at != 2) {
        std::fprintf(stderr, "usage: %s [--base ADDR] [--record-bytes N] FILE OUT\n", argv[0]);
        return 1;
    }
    FirmwareImage::setConversion(options);
    if (!FirmwareImage::load(argv[at])) {
        return 2;
    }
    int error = 0;
    if (!FirmwareImage::saveSentText(argv[at + 1], error)) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[at + 1], std::strerror(error));
        return 1;
    }
    return 0;
}
