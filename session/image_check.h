// The rules a firmware image must meet before anything reaches the product: every line that
// would be sent is a whole Motorola S-record with the right count and checksum, and the file as
// a whole holds data, one end record after it, and a count record (if any) that agrees.
#pragma once

#include "session/session_state.h"

#include <cstddef>
#include <cstdint>

namespace ImageCheck {

// A line and its line feed must fit recordText together with the NUL.
inline constexpr size_t MaxLineLength = RecordTextSize - 1;
// Shorter lines (line feed included) are never sent.
inline constexpr size_t ShortestRecord = 10;
inline constexpr size_t ReportedProblems = 10;

// One line of the image: LF, CR LF and a lone CR each end a line.
struct LineSpan {
    size_t start = 0;
    size_t length = 0; // without its line end
    bool hasEnd = false;
};

// The line at offset, which it moves past the line's end; false at the end of the bytes.
bool nextLine(const char* bytes, size_t size, size_t& offset, LineSpan& line);
// The text sent for a line: its characters and, if it had a line end, one line feed.
constexpr size_t recordLength(const LineSpan& line) {
    return line.length + (line.hasEnd ? 1 : 0);
}
bool isBlank(const char* text, size_t length);
// Blank lines and lines shorter than ShortestRecord are counted but never sent.
bool isSent(const char* text, const LineSpan& line);

enum class Problem : uint8_t {
    Overlong,
    HoldsNul,
    CutRecord,
    NotSRecord,
    ReservedType,
    NotHex,
    OddDigits,
    CountMismatch,
    TooShortForType,
    BadChecksum,
    SecondEnd,
    DataAfterEnd,
    WrongCount,
    NoData,
    NoEnd,
};

// What is wrong and where; line 0 speaks of the file as a whole. The two values and the
// character fill the message (a found and an expected checksum, a column and its character...).
struct Finding {
    Problem problem = Problem::NoData;
    uint32_t line = 0;
    uint32_t first = 0;
    uint32_t second = 0;
    char type = '0';
};

struct Summary {
    uint32_t lineCount = 0; // a last line without a line end counts too
    uint32_t recordsByType[10] = {};
    uint64_t dataBytes = 0;
    uint32_t lowestAddress = 0;
    uint32_t highestAddress = 0; // of the last data byte
    uint32_t startAddress = 0;   // from the end record
    uint32_t sentLines = 0;
};

struct Report {
    Summary summary;
    Finding findings[ReportedProblems];
    uint32_t problemCount = 0; // all of them, also those past ReportedProblems
    bool onlyBlank = true;     // no line with anything but blanks and tabs
};

// Judges every line and the file as a whole.
void check(const char* bytes, size_t size, Report& report);
// The message for a finding, after "Line N of [file]: " or "[file]: ".
void describe(const Finding& finding, char* text, size_t capacity);

} // namespace ImageCheck
