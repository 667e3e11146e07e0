#include "session/firmware_check.h"

namespace FirmwareCheck {

namespace {

struct LineState {
    size_t length = 0;
    bool pendingReturn = false; // a CR whose fate depends on the next byte
};

// Takes one byte of the current line; false when the line can no longer be sent.
LineScan take(LineState& line, int c) {
    if (c == '\0') {
        return LineScan::HoldsNul;
    }
    line.length += line.pendingReturn ? 1 : 0;
    line.pendingReturn = c == '\r';
    line.length += line.pendingReturn ? 0 : 1;
    return LineScan::AllFit;
}

} // namespace

ScanReport scan(std::FILE* file) {
    ScanReport report;
    LineState line;
    for (int c = std::getc(file); c != EOF; c = std::getc(file)) {
        if (c == '\n') {
            if (!lineFits(line.length, true)) {
                report.result = LineScan::Overlong;
                break;
            }
            ++report.lineCount;
            line = LineState{};
        } else if ((report.result = take(line, c)) != LineScan::AllFit) {
            break;
        }
    }
    const size_t lastLength = line.length + (line.pendingReturn ? 1 : 0);
    if (report.result == LineScan::AllFit && std::ferror(file) != 0) {
        report.result = LineScan::Unreadable;
    } else if (report.result == LineScan::AllFit && !lineFits(lastLength, false)) {
        report.result = LineScan::Overlong;
    }
    if (report.result == LineScan::Overlong || report.result == LineScan::HoldsNul) {
        report.lineNumber = report.lineCount + 1;
    } else if (lastLength > 0) {
        ++report.lineCount;
    }
    return report;
}

ScanReport scanFile(const char* path) {
    // Binary mode: line ends are judged here the same way on every platform.
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return ScanReport{LineScan::Unreadable, 0, 0};
    }
    const ScanReport report = scan(file);
    std::fclose(file);
    return report;
}

} // namespace FirmwareCheck
