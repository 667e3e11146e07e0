#include "session/image_check.h"

#include "os/hex_digits.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ImageCheck {

namespace {

// A record holds its count byte and the up to 255 bytes it counts; a longer line is none.
constexpr size_t MaxRecordBytes = 256;
constexpr size_t LongestRecordLine = 2 + 2 * MaxRecordBytes;
// The last address a data record of each type carries.
constexpr uint64_t HighestAddress[4] = {0, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF};

enum class Kind : uint8_t { Header, Data, Reserved, Count, End };

Kind kindOf(char type) {
    switch (type) {
    case '0':
        return Kind::Header;
    case '1':
    case '2':
    case '3':
        return Kind::Data;
    case '5':
    case '6':
        return Kind::Count;
    case '4':
        return Kind::Reserved;
    default:
        return Kind::End;
    }
}

struct Record {
    char type = '0';
    uint8_t bytes[MaxRecordBytes] = {}; // count, address, data, checksum
    size_t byteCount = 0;
    uint32_t address = 0;
    size_t dataLength = 0;
};

struct Walk {
    Report& report;
    uint32_t line = 0;
    uint32_t dataRecords = 0;
    uint32_t endLine = 0;
    bool sawData = false; // also a data line that failed its own checks
    bool sawEnd = false;
    uint64_t reach = 0;  // the highest data address so far, plus one
    bool ordered = true; // each record's data lay above all before it: none can overlap
};

void note(Report& report, const Finding& finding) {
    if (report.problemCount < ReportedProblems) {
        report.findings[report.problemCount] = finding;
    }
    ++report.problemCount;
}

// The hex digits after the type into bytes, in one pass; false (with the finding) when they are
// not hex. The caller makes sure that the bytes fit.
bool readHex(const char* text, size_t length, uint32_t line, Record& record, Finding& finding) {
    int high = 0;
    for (size_t i = 2; i < length; ++i) {
        const int digit = HexDigits::value(text[i]);
        if (digit < 0) {
            finding = {Problem::NotHex, line, static_cast<uint32_t>(i + 1), 0, text[i]};
            return false;
        }
        if (i % 2 == 0) {
            high = digit;
        } else {
            record.bytes[(i - 2) / 2] = static_cast<uint8_t>(high * 16 + digit);
        }
    }
    if ((length - 2) % 2 != 0) {
        finding = {Problem::OddDigits, line, static_cast<uint32_t>(length - 2), 0, record.type};
        return false;
    }
    record.byteCount = (length - 2) / 2;
    return true;
}

// Count, length for its type and checksum of decoded bytes.
bool checkBytes(uint32_t line, Record& record, Finding& finding) {
    const uint32_t follow = record.byteCount == 0 ? 0 : static_cast<uint32_t>(record.byteCount - 1);
    const uint32_t count = record.byteCount == 0 ? 0 : record.bytes[0];
    const uint32_t needed =
        SRecordWriter::addressBytes(static_cast<unsigned>(record.type - '0')) + 1u;
    if (record.byteCount == 0 || count != follow) {
        finding = {Problem::CountMismatch, line, count, follow, record.type};
        return false;
    }
    if (count < needed) {
        finding = {Problem::TooShortForType, line, needed, count, record.type};
        return false;
    }
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < record.byteCount; ++i) {
        sum += record.bytes[i];
    }
    const uint32_t expected = ~sum & 0xFFu;
    const uint32_t found = record.bytes[record.byteCount - 1];
    if (found != expected) {
        finding = {Problem::BadChecksum, line, found, expected, record.type};
        return false;
    }
    for (uint32_t i = 1; i < needed; ++i) {
        record.address = (record.address << 8) | record.bytes[i];
    }
    record.dataLength = count - needed;
    return true;
}

bool decode(const char* text, size_t length, uint32_t line, Record& record, Finding& finding) {
    length = TextLines::trimmedLength(text, length);
    if (length < 2 || text[0] != 'S' || text[1] < '0' || text[1] > '9') {
        finding = {Problem::NotSRecord, line, 0, 0, '0'};
        return false;
    }
    record.type = text[1];
    if (record.type == '4') {
        finding = {Problem::ReservedType, line, 0, 0, '4'};
        return false;
    }
    return readHex(text, length, line, record, finding) && checkBytes(line, record, finding);
}

void takeData(Walk& walk, const Record& record) {
    Summary& summary = walk.report.summary;
    if (walk.endLine != 0) {
        note(walk.report, {Problem::DataAfterEnd, walk.line, walk.endLine, 0, record.type});
    }
    ++walk.dataRecords;
    if (record.dataLength == 0) {
        return;
    }
    const uint64_t end = uint64_t{record.address} + record.dataLength;
    if (end - 1 > HighestAddress[record.type - '0']) {
        Finding finding{Problem::PastTypeRange, walk.line, 0, 0, record.type};
        finding.detail.a = end - 1;
        note(walk.report, finding);
    }
    walk.ordered = walk.ordered && (walk.reach == 0 || record.address >= walk.reach);
    walk.reach = std::max(walk.reach, end);
    const auto last = static_cast<uint32_t>(end - 1);
    const bool first = summary.dataBytes == 0;
    summary.lowestAddress =
        first || record.address < summary.lowestAddress ? record.address : summary.lowestAddress;
    summary.highestAddress = first || last > summary.highestAddress ? last : summary.highestAddress;
    summary.dataBytes += record.dataLength;
}

void take(Walk& walk, const Record& record) {
    ++walk.report.summary.recordsByType[record.type - '0'];
    switch (kindOf(record.type)) {
    case Kind::Data:
        takeData(walk, record);
        break;
    case Kind::Count:
        if (record.address != walk.dataRecords) {
            note(walk.report,
                 {Problem::WrongCount, walk.line, record.address, walk.dataRecords, record.type});
        }
        break;
    case Kind::End:
        if (walk.endLine != 0) {
            note(walk.report, {Problem::SecondEnd, walk.line, walk.endLine, 0, record.type});
        } else {
            walk.endLine = walk.line;
            walk.report.summary.startAddress = record.address;
        }
        break;
    case Kind::Header:
    case Kind::Reserved:
        break;
    }
}

void judgeRecord(Walk& walk, const char* text, size_t length) {
    Record record;
    Finding finding;
    if (decode(text, length, walk.line, record, finding)) {
        take(walk, record);
    } else {
        note(walk.report, finding);
    }
    const bool typed = length > 1 && text[0] == 'S' && text[1] >= '0' && text[1] <= '9';
    const Kind kind = typed ? kindOf(text[1]) : Kind::Header;
    walk.sawData = walk.sawData || kind == Kind::Data;
    walk.sawEnd = walk.sawEnd || kind == Kind::End;
}

// A line too long to send whole is split when it is a whole data record, and refused otherwise.
void judgeLongLine(Walk& walk, const char* text, size_t length) {
    Record record;
    Finding finding;
    const size_t trimmed = TextLines::trimmedLength(text, length);
    if (trimmed <= LongestRecordLine && decode(text, length, walk.line, record, finding) &&
        kindOf(record.type) == Kind::Data) {
        ++walk.report.longLines;
        ++walk.report.summary.sentLines;
        walk.sawData = true;
        take(walk, record);
    } else {
        note(walk.report, {Problem::Overlong, walk.line, 0, 0, '0'});
    }
}

void judgeLine(Walk& walk, const char* text, const LineSpan& line) {
    if (isBlank(text, line.length)) {
        return;
    }
    walk.report.onlyBlank = false;
    const auto lineNumber = walk.line;
    if (std::memchr(text, '\0', line.length) != nullptr) {
        note(walk.report, {Problem::HoldsNul, lineNumber, 0, 0, '0'});
    } else if (recordLength(line) > MaxLineLength) {
        judgeLongLine(walk, text, line.length);
    } else if (recordLength(line) < ShortestRecord) {
        note(walk.report, {Problem::CutRecord, lineNumber, static_cast<uint32_t>(line.length)});
    } else {
        ++walk.report.summary.sentLines;
        judgeRecord(walk, text, line.length);
    }
}

struct Range {
    uint64_t first;
    uint64_t end; // past the last byte
    uint32_t line;
};

// Every data record that decodes, with data, in the order of its lines.
std::vector<Range> dataRanges(const char* bytes, size_t size) {
    std::vector<Range> ranges;
    size_t offset = 0;
    LineSpan line;
    uint32_t number = 0;
    while (nextLine(bytes, size, offset, line)) {
        ++number;
        Record record;
        Finding finding;
        const char* text = bytes + line.start;
        if (isSent(text, line) && std::memchr(text, '\0', line.length) == nullptr &&
            TextLines::trimmedLength(text, line.length) <= LongestRecordLine &&
            decode(text, line.length, number, record, finding) &&
            kindOf(record.type) == Kind::Data && record.dataLength > 0) {
            ranges.push_back(
                {record.address, uint64_t{record.address} + record.dataLength, number});
        }
    }
    return ranges;
}

// Only for records out of address order: in order, none can overlap.
void noteOverlaps(const char* bytes, size_t size, Report& report) {
    std::vector<Range> ranges = dataRanges(bytes, size);
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const Range& a, const Range& b) { return a.first < b.first; });
    const Range* reach = nullptr;
    for (const Range& range : ranges) {
        if (reach != nullptr && range.first < reach->end) {
            const Range& later = range.line > reach->line ? range : *reach;
            const Range& earlier = range.line > reach->line ? *reach : range;
            Finding finding{Problem::Image, later.line, 0, 0, '0'};
            finding.detail.code = ImageProblem::Code::Overlap;
            finding.detail.a = later.first;
            finding.detail.b = later.end - 1;
            finding.detail.c = earlier.first;
            finding.detail.d = earlier.end - 1;
            finding.detail.at.line = later.line;
            finding.detail.other.line = earlier.line;
            note(report, finding);
        }
        if (reach == nullptr || range.end > reach->end) {
            reach = &range;
        }
    }
}

} // namespace

bool nextLine(const char* bytes, size_t size, size_t& offset, LineSpan& line) {
    return TextLines::next(bytes, size, offset, line);
}

bool isBlank(const char* text, size_t length) {
    return TextLines::isBlank(text, length);
}

bool isSent(const char* text, const LineSpan& line) {
    return recordLength(line) >= ShortestRecord && !isBlank(text, line.length);
}

void check(const char* bytes, size_t size, Report& report) {
    const Source source = report.source;
    report = Report{};
    report.source = source;
    Walk walk{report};
    size_t offset = 0;
    LineSpan line;
    while (nextLine(bytes, size, offset, line)) {
        ++walk.line;
        judgeLine(walk, bytes + line.start, line);
    }
    report.summary.lineCount = walk.line;
    if (report.onlyBlank) {
        return;
    }
    if (!walk.ordered) {
        noteOverlaps(bytes, size, report);
    }
    if (!walk.sawData) {
        note(report, {Problem::NoData, 0, 0, 0, '0'});
    }
    if (!walk.sawEnd) {
        note(report, {Problem::NoEnd, 0, 0, 0, '0'});
    }
}

void noteImageProblems(const ImageProblem::List& problems, Report& report) {
    const uint32_t shown = std::min<uint32_t>(problems.count, ImageProblem::ShownProblems);
    for (uint32_t i = 0; i < shown; ++i) {
        Finding finding{Problem::Image, problems.shown[i].at.line, 0, 0, '0'};
        finding.detail = problems.shown[i];
        note(report, finding);
    }
    report.problemCount += problems.count - shown;
}

void describe(const Finding& f, char* text, size_t capacity) {
    const unsigned a = f.first;
    const unsigned b = f.second;
    const char t = f.type;
    const auto c = static_cast<unsigned char>(f.type);
    switch (f.problem) {
    case Problem::Overlong:
        std::snprintf(text, capacity,
                      "too long to send as one record (at most %u characters before its line end)",
                      static_cast<unsigned>(MaxLineLength - 1));
        break;
    case Problem::HoldsNul:
        std::snprintf(text, capacity, "holds a NUL byte and cannot be sent as a record");
        break;
    case Problem::CutRecord:
        std::snprintf(text, capacity, "%u characters are too few for a record (cut short?)", a);
        break;
    case Problem::NotSRecord:
        std::snprintf(text, capacity, "not an S-record (S and a type digit)");
        break;
    case Problem::ReservedType:
        std::snprintf(text, capacity, "record type S4 is reserved");
        break;
    case Problem::NotHex:
        if (c >= 0x21 && c < 0x7F) {
            std::snprintf(text, capacity, "'%c' at column %u is not a hex digit", t, a);
        } else {
            std::snprintf(text, capacity, "byte 0x%02X at column %u is not a hex digit", c, a);
        }
        break;
    case Problem::OddDigits:
        std::snprintf(text, capacity, "%u hex digits, an odd number", a);
        break;
    case Problem::CountMismatch:
        std::snprintf(text, capacity, "count byte %02X, but %u bytes follow it", a, b);
        break;
    case Problem::TooShortForType:
        std::snprintf(text, capacity, "an S%c record needs a count of at least %02X, it has %02X",
                      t, a, b);
        break;
    case Problem::BadChecksum:
        std::snprintf(text, capacity, "checksum %02X, the record's bytes need %02X", a, b);
        break;
    case Problem::SecondEnd:
        std::snprintf(text, capacity, "a second end record (the first is on line %u)", a);
        break;
    case Problem::DataAfterEnd:
        std::snprintf(text, capacity, "data record after the end record on line %u", a);
        break;
    case Problem::WrongCount:
        std::snprintf(text, capacity, "count record says %u data records, %u come before it", a, b);
        break;
    case Problem::NoData:
        std::snprintf(text, capacity, "no data record (S1, S2 or S3)");
        break;
    case Problem::NoEnd:
        std::snprintf(text, capacity, "no end record (S7, S8 or S9)");
        break;
    case Problem::PastTypeRange:
        std::snprintf(text, capacity, "an S%c record's data runs past 0x%llX (to 0x%08llX)", t,
                      static_cast<unsigned long long>(HighestAddress[t - '0']),
                      static_cast<unsigned long long>(f.detail.a));
        break;
    case Problem::Image:
        ImageProblem::describe(f.detail, text, capacity);
        break;
    }
}

} // namespace ImageCheck
