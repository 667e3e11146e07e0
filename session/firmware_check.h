// How long a firmware file line may be, and the check that refuses a file with a longer line
// before any port is touched: such a line would otherwise go out cut into pieces.
#pragma once

#include "session/session_state.h"

#include <cstddef>
#include <cstdint>

namespace FirmwareCheck {

// A line and its line feed must fit recordText together with the NUL. A carriage return right
// before the line feed is dropped and does not count.
inline constexpr size_t MaxLineLength = RecordTextSize - 1;

constexpr bool lineFits(size_t textLength, bool endsWithLineFeed) {
    return textLength + (endsWithLineFeed ? 1 : 0) <= MaxLineLength;
}

enum class LineScan : uint8_t { AllFit, Overlong, Unreadable };

// Reads the whole file. On Overlong, lineNumber is the first line that does not fit, from 1.
LineScan findOverlongLine(const char* path, uint32_t& lineNumber);

} // namespace FirmwareCheck
