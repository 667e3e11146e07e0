#include "image/srecord_split.h"

#include "image/srecord_writer.h"
#include "image/text_lines.h"
#include "os/hex_digits.h"

namespace SRecordSplit {

namespace {

struct Splitter {
    const char* text;
    std::vector<char>& out;
    uint32_t dataBytes;
    uint32_t dataRecords = 0; // written so far
    bool splitAny = false;
};

struct Decoded {
    unsigned type = 0;
    uint32_t address = 0;
    uint8_t data[256] = {};
    size_t dataLength = 0;
};

// A record already checked whole.
Decoded decode(const char* text, size_t length) {
    Decoded record;
    record.type = static_cast<unsigned>(text[1] - '0');
    const size_t count = HexDigits::byteAt(text + 2);
    const unsigned width = SRecordWriter::addressBytes(record.type);
    for (unsigned i = 0; i < width; ++i) {
        record.address = record.address << 8 | HexDigits::byteAt(text + 4 + 2 * i);
    }
    record.dataLength = count - width - 1;
    const char* data = text + 4 + 2 * width;
    for (size_t i = 0; i < record.dataLength && 2 * i + 1 < length; ++i) {
        record.data[i] = HexDigits::byteAt(data + 2 * i);
    }
    return record;
}

void append(Splitter& splitter, unsigned type, uint32_t address, const uint8_t* data, size_t length,
            const char* end, size_t endLength) {
    char record[SRecordWriter::LongestLine + 2];
    const size_t written = SRecordWriter::writeRecord(record, type, address, data, length);
    splitter.out.insert(splitter.out.end(), record, record + written - 1); // without its line feed
    splitter.out.insert(splitter.out.end(), end, end + endLength);
}

bool splitLine(Splitter& splitter, const char* line, size_t length, const char* end,
               size_t endLength, ImageProblem::List& problems) {
    const Decoded record = decode(line, TextLines::trimmedLength(line, length));
    const uint32_t most = SRecordWriter::mostDataBytes(record.type);
    if (splitter.dataBytes < 1 || splitter.dataBytes > most) {
        ImageProblem::Problem problem;
        problem.code = ImageProblem::Code::RecordBytesOutOfRange;
        problem.a = splitter.dataBytes;
        problem.b = record.type;
        problem.d = most;
        ImageProblem::add(problems, problem);
        return false;
    }
    for (size_t done = 0; done < record.dataLength; done += splitter.dataBytes) {
        const size_t left = record.dataLength - done;
        append(splitter, record.type, static_cast<uint32_t>(record.address + done),
               record.data + done, left < splitter.dataBytes ? left : splitter.dataBytes, end,
               endLength);
        ++splitter.dataRecords;
    }
    splitter.splitAny = true;
    return true;
}

void countLine(Splitter& splitter, char type, const char* end, size_t endLength) {
    const bool narrow = type == '5' && splitter.dataRecords <= 0xFFFF;
    append(splitter, narrow ? 5 : 6, splitter.dataRecords, nullptr, 0, end, endLength);
}

} // namespace

bool fits(size_t length, bool hasEnd) {
    return length + (hasEnd ? 1 : 0) <= SRecordWriter::LongestLine + 1;
}

bool split(const char* text, size_t size, uint32_t dataBytes, std::vector<char>& out,
           ImageProblem::List& problems) {
    out.clear();
    out.reserve(size + size / 2);
    Splitter splitter{text, out, dataBytes};
    size_t offset = 0;
    TextLines::Line line;
    while (TextLines::next(text, size, offset, line)) {
        const char* start = text + line.start;
        const char* end = start + line.length;
        const size_t endLength = text + offset - end;
        const bool blank = TextLines::isBlank(start, line.length);
        const char type = line.length > 1 ? start[1] : '0';
        if (!fits(line.length, line.hasEnd)) {
            if (!splitLine(splitter, start, line.length, end, endLength, problems)) {
                return false;
            }
        } else if (!blank && splitter.splitAny && (type == '5' || type == '6')) {
            countLine(splitter, type, end, endLength);
        } else {
            splitter.dataRecords += !blank && type >= '1' && type <= '3';
            out.insert(out.end(), start, text + offset);
        }
    }
    return true;
}

} // namespace SRecordSplit
