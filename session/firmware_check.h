// Which firmware file lines can go out as records, and the scan that counts a file's lines and
// finds the first one that cannot: such a line would otherwise be cut into pieces or lose bytes.
#pragma once

#include "session/session_state.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace FirmwareCheck {

// A line and its line feed must fit recordText together with the NUL. A carriage return right
// before the line feed is dropped and does not count.
inline constexpr size_t MaxLineLength = RecordTextSize - 1;

constexpr bool lineFits(size_t textLength, bool endsWithLineFeed) {
    return textLength + (endsWithLineFeed ? 1 : 0) <= MaxLineLength;
}

// HoldsNul: a record is sent as text, so a NUL byte would silently cut it or drop it.
enum class LineScan : uint8_t { AllFit, Overlong, HoldsNul, Unreadable };

struct ScanReport {
    LineScan result = LineScan::AllFit;
    uint32_t lineCount = 0;  // a last line without a line feed counts too
    uint32_t lineNumber = 0; // the first line that cannot be sent, from 1
};

// Reads an open file from its current position to its end.
ScanReport scan(std::FILE* file);
// Opens the file in binary mode and scans it; Unreadable when it cannot be opened or read.
ScanReport scanFile(const char* path);

} // namespace FirmwareCheck
