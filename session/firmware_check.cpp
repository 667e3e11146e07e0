#include "session/firmware_check.h"

#include <cstdio>

namespace FirmwareCheck {

LineScan findOverlongLine(const char* path, uint32_t& lineNumber) {
    // Binary mode: line ends are judged here the same way on every platform.
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return LineScan::Unreadable;
    }
    uint32_t line = 1;
    size_t length = 0;
    bool pendingReturn = false; // a CR whose fate depends on the next byte
    LineScan result = LineScan::AllFit;
    for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
        if (c == '\n') {
            if (!lineFits(length, true)) {
                result = LineScan::Overlong;
                break;
            }
            ++line;
            length = 0;
            pendingReturn = false;
            continue;
        }
        length += pendingReturn ? 1 : 0;
        pendingReturn = c == '\r';
        length += pendingReturn ? 0 : 1;
    }
    if (result == LineScan::AllFit) {
        if (std::ferror(file)) {
            result = LineScan::Unreadable;
        } else if (!lineFits(length + (pendingReturn ? 1 : 0), false)) {
            result = LineScan::Overlong;
        }
    }
    std::fclose(file);
    if (result == LineScan::Overlong) {
        lineNumber = line;
    }
    return result;
}

} // namespace FirmwareCheck
