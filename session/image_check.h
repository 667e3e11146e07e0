// The rules a firmware image must meet before anything reaches the product: every line that
// would be sent is a whole Motorola S-record with the right count and checksum, its data within
// the addresses its type carries and overlapping no other record's, and the file as a whole holds
// data, one end record after it, and a count record (if any) that agrees. A whole data record too
// long to send as one is counted for a split; any other line that long is refused.
#pragma once

#include "image/image_format.h"
#include "image/image_problem.h"
#include "image/srecord_writer.h"
#include "image/text_lines.h"
#include "session/session_state.h"

#include <cstddef>
#include <cstdint>

namespace ImageCheck {

// A line and its line feed must fit recordText together with the NUL.
inline constexpr size_t MaxLineLength = RecordTextSize - 1;
static_assert(MaxLineLength == SRecordWriter::LongestLine + 1);
// Shorter lines (line feed included) are never sent.
inline constexpr size_t ShortestRecord = 10;
inline constexpr size_t ReportedProblems = 10;

// One line of the image: LF, CR LF and a lone CR each end a line.
using LineSpan = TextLines::Line;

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
    PastTypeRange, // the last data byte (detail.a) lies past what the record's type carries
    Image,         // told by detail: what the file is, a reader's or a conversion's refusal
};

// What is wrong and where; line 0 speaks of the file as a whole. The two values and the
// character fill the message (a found and an expected checksum, a column and its character...).
struct Finding {
    Finding() = default;
    Finding(Problem problem, uint32_t line, uint32_t first = 0, uint32_t second = 0,
            char type = '0')
        : problem(problem), line(line), first(first), second(second), type(type) {}

    Problem problem = Problem::NoData;
    uint32_t line = 0;
    uint32_t first = 0;
    uint32_t second = 0;
    char type = '0';
    ImageProblem::Problem detail;
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

// Where the records came from. The records sent are counted in Summary::sentLines.
struct Source {
    ImageFormat::Format format = ImageFormat::Format::SRecords;
    bool converted = false; // the records sent are not the file's lines: converted, or split
    uint32_t recordBytes =
        0; // data bytes a record when converted (the last of a run may hold fewer)
    uint32_t splitLines = 0; // S-record lines split because they were too long to send whole
};

struct Report {
    Summary summary;
    Finding findings[ReportedProblems];
    uint32_t problemCount = 0; // all of them, also those past ReportedProblems
    bool onlyBlank = true;     // no line with anything but blanks and tabs
    uint32_t longLines = 0;    // whole data records too long to send as one, to be split
    Source source;
};

// Judges every line and the file as a whole; report.source stays as it was.
void check(const char* bytes, size_t size, Report& report);
// Adds a reader's or a conversion's problems as findings (Problem::Image).
void noteImageProblems(const ImageProblem::List& problems, Report& report);
// The message for a finding, after "Line N of [file]: " or "[file]: ".
void describe(const Finding& finding, char* text, size_t capacity);

} // namespace ImageCheck
