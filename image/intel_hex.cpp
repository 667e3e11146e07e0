#include "image/intel_hex.h"

#include "image/text_lines.h"
#include "os/hex_digits.h"

#include <cstring>

namespace IntelHex {

namespace {

using ImageProblem::Code;

enum Type : uint8_t {
    Data = 0,
    EndOfFile = 1,
    SegmentAddress = 2,
    StartSegment = 3,
    LinearAddress = 4,
    StartLinear = 5,
};

// ":", length, two address bytes, type, the data, checksum.
constexpr size_t FixedBytes = 5;
constexpr size_t ShortestLine = 1 + 2 * FixedBytes;

struct Record {
    uint8_t bytes[FixedBytes + 255] = {};
    uint8_t length = 0;
    uint16_t address = 0;
    uint8_t type = 0;
    const uint8_t* data = nullptr;
};

struct Reader {
    MemoryImage::Image& image;
    ImageProblem::List& problems;
    uint32_t line = 0;
    uint64_t linearBase = 0;
    uint64_t segmentBase = 0;
    bool runOpen = false; // data that follows the last run on goes into it
    uint64_t start = 0;
    uint32_t endLine = 0;
};

void note(Reader& reader, Code code, uint64_t a = 0, uint64_t b = 0, uint64_t c = 0) {
    ImageProblem::Problem problem;
    problem.code = code;
    problem.a = a;
    problem.b = b;
    problem.c = c;
    problem.at.line = reader.line;
    ImageProblem::add(reader.problems, problem);
}

// The characters after the colon: hex digits, an even number of them.
bool digitsAreHex(Reader& reader, const char* text, size_t length) {
    for (size_t i = 1; i < length; ++i) {
        if (HexDigits::value(text[i]) < 0) {
            ImageProblem::Problem problem;
            problem.code = Code::HexNotHex;
            problem.a = i + 1;
            problem.character = text[i];
            problem.at.line = reader.line;
            ImageProblem::add(reader.problems, problem);
            return false;
        }
    }
    if ((length - 1) % 2 != 0) {
        note(reader, Code::HexOddDigits, length - 1);
        return false;
    }
    return true;
}

bool decode(Reader& reader, const char* text, size_t length, Record& record) {
    if (text[0] != ':') {
        note(reader, Code::HexNotRecord);
        return false;
    }
    if (length < ShortestLine) {
        note(reader, Code::HexCutRecord, length);
        return false;
    }
    if (!digitsAreHex(reader, text, length)) {
        return false;
    }
    const size_t count = (length - 1) / 2;
    const uint8_t declared = HexDigits::byteAt(text + 1);
    if (count - FixedBytes != declared) {
        note(reader, Code::HexLengthMismatch, declared, count - FixedBytes);
        return false;
    }
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) {
        record.bytes[i] = HexDigits::byteAt(text + 1 + 2 * i);
        sum += record.bytes[i];
    }
    if ((sum & 0xFFu) != 0) {
        const unsigned found = record.bytes[count - 1];
        note(reader, Code::HexBadChecksum, found, (found - sum) & 0xFFu);
        return false;
    }
    record.length = declared;
    record.address = static_cast<uint16_t>(record.bytes[1] << 8 | record.bytes[2]);
    record.type = record.bytes[3];
    record.data = record.bytes + 4;
    return true;
}

uint64_t bigEndian(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// Runs are kept as offsets into the decoded bytes until the end, when the bytes stop moving.
void takeData(Reader& reader, const Record& record) {
    if (record.length == 0) {
        return; // objcopy neither starts nor ends a run for it
    }
    MemoryImage::Image& image = reader.image;
    const uint64_t address = reader.linearBase + reader.segmentBase + record.address;
    if (!reader.runOpen || image.runs.back().address + image.runs.back().size != address) {
        MemoryImage::Run run;
        run.address = address;
        run.offset = static_cast<uint32_t>(image.decoded.size());
        run.line = reader.line;
        image.runs.push_back(run);
        reader.runOpen = true;
    }
    image.runs.back().size += record.length;
    image.decoded.insert(image.decoded.end(), record.data, record.data + record.length);
}

// 02 to 05 carry two or four bytes; each ends the run of data before it.
void takeAddress(Reader& reader, const Record& record) {
    const size_t needed = record.type == SegmentAddress || record.type == LinearAddress ? 2 : 4;
    if (record.length != needed) {
        note(reader, Code::HexWrongLength, record.type, needed, record.length);
        return;
    }
    const uint64_t value = bigEndian(record.data, needed);
    reader.runOpen = false;
    switch (record.type) {
    case SegmentAddress:
        reader.segmentBase = value << 4;
        break;
    case StartSegment:
        reader.start += (value >> 16 << 4) + (value & 0xFFFF);
        break;
    case LinearAddress:
        reader.linearBase = value << 16;
        break;
    default:
        reader.start = value;
        break;
    }
}

void take(Reader& reader, const Record& record) {
    switch (record.type) {
    case Data:
        takeData(reader, record);
        break;
    case EndOfFile:
        reader.endLine = reader.line;
        if (reader.start == 0) {
            reader.start = record.address;
        }
        break;
    case SegmentAddress:
    case StartSegment:
    case LinearAddress:
    case StartLinear:
        takeAddress(reader, record);
        break;
    default:
        note(reader, Code::HexUnknownType, record.type);
        break;
    }
}

void readLine(Reader& reader, const char* text, size_t length) {
    length = TextLines::trimmedLength(text, length);
    if (length == 0) {
        return;
    }
    if (reader.endLine != 0) {
        ImageProblem::Problem problem;
        problem.code = Code::HexAfterEnd;
        problem.otherLine = reader.endLine;
        problem.at.line = reader.line;
        ImageProblem::add(reader.problems, problem);
        return;
    }
    Record record;
    if (decode(reader, text, length, record)) {
        take(reader, record);
    }
}

} // namespace

bool read(const char* text, size_t size, MemoryImage::Image& image, ImageProblem::List& problems) {
    MemoryImage::clear(image);
    image.decoded.reserve(size / 2); // each byte takes two digits: the bytes never move
    const uint32_t before = problems.count;
    Reader reader{image, problems};
    size_t offset = 0;
    TextLines::Line line;
    while (TextLines::next(text, size, offset, line)) {
        ++reader.line;
        readLine(reader, text + line.start, line.length);
    }
    reader.line = 0;
    if (image.runs.empty() && problems.count == before) { // else a spoilt line may have held it
        note(reader, Code::HexNoData);
    }
    if (reader.endLine == 0) {
        note(reader, Code::HexNoEnd);
    }
    for (MemoryImage::Run& run : image.runs) {
        run.data = image.decoded.data() + run.offset;
        run.offset = 0;
    }
    image.entry = reader.start;
    return problems.count == before;
}

} // namespace IntelHex
