#include "session/image_check.h"

#include <cstdio>
#include <cstring>

namespace ImageCheck {

namespace {

// Address width in bytes by record type; type 4 is reserved and never reaches this table.
constexpr uint8_t AddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
// A line that fits recordText holds at most this many bytes in hex.
constexpr size_t MaxRecordBytes = MaxLineLength / 2;

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

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
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
};

void note(Report& report, const Finding& finding) {
    if (report.problemCount < ReportedProblems) {
        report.findings[report.problemCount] = finding;
    }
    ++report.problemCount;
}

size_t trimmedLength(const char* text, size_t length) {
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) {
        --length;
    }
    return length;
}

// The hex digits after the type into bytes; false (with the finding) when they are not hex.
bool readHex(const char* text, size_t length, uint32_t line, Record& record, Finding& finding) {
    for (size_t i = 2; i < length; ++i) {
        if (hexValue(text[i]) < 0) {
            finding = {Problem::NotHex, line, static_cast<uint32_t>(i + 1), 0, text[i]};
            return false;
        }
    }
    if ((length - 2) % 2 != 0) {
        finding = {Problem::OddDigits, line, static_cast<uint32_t>(length - 2), 0, record.type};
        return false;
    }
    record.byteCount = (length - 2) / 2;
    for (size_t i = 0; i < record.byteCount; ++i) {
        record.bytes[i] =
            static_cast<uint8_t>(hexValue(text[2 + 2 * i]) * 16 + hexValue(text[3 + 2 * i]));
    }
    return true;
}

// Count, length for its type and checksum of decoded bytes.
bool checkBytes(uint32_t line, Record& record, Finding& finding) {
    const uint32_t follow = record.byteCount == 0 ? 0 : static_cast<uint32_t>(record.byteCount - 1);
    const uint32_t count = record.byteCount == 0 ? 0 : record.bytes[0];
    const uint32_t needed = AddressBytes[record.type - '0'] + 1u;
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
    length = trimmedLength(text, length);
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
    const uint32_t last = record.address + static_cast<uint32_t>(record.dataLength - 1);
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

void judgeLine(Walk& walk, const char* text, const LineSpan& line) {
    if (isBlank(text, line.length)) {
        return;
    }
    walk.report.onlyBlank = false;
    const auto lineNumber = walk.line;
    if (std::memchr(text, '\0', line.length) != nullptr) {
        note(walk.report, {Problem::HoldsNul, lineNumber, 0, 0, '0'});
    } else if (recordLength(line) > MaxLineLength) {
        note(walk.report, {Problem::Overlong, lineNumber, 0, 0, '0'});
    } else if (recordLength(line) < ShortestRecord) {
        note(walk.report, {Problem::CutRecord, lineNumber, static_cast<uint32_t>(line.length)});
    } else {
        ++walk.report.summary.sentLines;
        judgeRecord(walk, text, line.length);
    }
}

} // namespace

bool nextLine(const char* bytes, size_t size, size_t& offset, LineSpan& line) {
    if (offset >= size) {
        return false;
    }
    line.start = offset;
    size_t at = offset;
    while (at < size && bytes[at] != '\n' && bytes[at] != '\r') {
        ++at;
    }
    line.length = at - offset;
    line.hasEnd = at < size;
    const bool crLf = line.hasEnd && bytes[at] == '\r' && at + 1 < size && bytes[at + 1] == '\n';
    offset = at + (line.hasEnd ? 1 : 0) + (crLf ? 1 : 0);
    return true;
}

bool isBlank(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != ' ' && text[i] != '\t') {
            return false;
        }
    }
    return true;
}

bool isSent(const char* text, const LineSpan& line) {
    return recordLength(line) >= ShortestRecord && !isBlank(text, line.length);
}

void check(const char* bytes, size_t size, Report& report) {
    report = Report{};
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
    if (!walk.sawData) {
        note(report, {Problem::NoData, 0, 0, 0, '0'});
    }
    if (!walk.sawEnd) {
        note(report, {Problem::NoEnd, 0, 0, 0, '0'});
    }
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
    }
}

} // namespace ImageCheck
