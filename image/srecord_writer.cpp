#include "image/srecord_writer.h"

#include "os/hex_digits.h"

#include <cstring>

namespace SRecordWriter {

namespace {

size_t headerLength(const char* name) {
    const size_t length = std::strlen(name);
    return length < HeaderNameBytes ? length : HeaderNameBytes;
}

// The record lines, line feeds included, that the runs make.
size_t textSize(const MemoryImage::Image& image, unsigned type, uint32_t dataBytes, size_t header) {
    const size_t perRecord = lineLength(type, 0) + 1;
    size_t size = lineLength(0, header) + 1 + lineLength(10 - type, 0) + 1;
    for (const MemoryImage::Run& run : image.runs) {
        const size_t records = (run.size + dataBytes - 1) / dataBytes;
        size += records * perRecord + 2 * size_t{run.size};
    }
    return size;
}

bool recordBytesFit(unsigned type, uint32_t dataBytes, ImageProblem::List& problems) {
    if (dataBytes >= 1 && dataBytes <= mostDataBytes(type)) {
        return true;
    }
    ImageProblem::Problem problem;
    problem.code = ImageProblem::Code::RecordBytesOutOfRange;
    problem.a = dataBytes;
    problem.b = type;
    problem.d = mostDataBytes(type);
    ImageProblem::add(problems, problem);
    return false;
}

} // namespace

unsigned typeFor(uint64_t highest) {
    return highest <= 0xFFFF ? 1 : highest <= 0xFFFFFF ? 2 : 3;
}

size_t writeRecord(char* out, unsigned type, uint32_t address, const uint8_t* data,
                   size_t dataLength) {
    const unsigned width = addressBytes(type);
    const auto count = static_cast<uint8_t>(width + dataLength + 1);
    char* at = out;
    *at++ = 'S';
    *at++ = static_cast<char>('0' + type);
    HexDigits::put(count, at);
    at += 2;
    unsigned sum = count;
    for (unsigned i = width; i-- > 0;) {
        const auto byte = static_cast<uint8_t>(address >> (8 * i));
        sum += byte;
        HexDigits::put(byte, at);
        at += 2;
    }
    for (size_t i = 0; i < dataLength; ++i) {
        sum += data[i];
        HexDigits::put(data[i], at);
        at += 2;
    }
    HexDigits::put(static_cast<uint8_t>(~sum), at);
    at += 2;
    *at++ = '\n';
    return static_cast<size_t>(at - out);
}

bool write(MemoryImage::Image& image, const char* headerName, uint32_t dataBytes,
           std::vector<char>& text, ImageProblem::List& problems) {
    text.clear();
    if (!MemoryImage::order(image, problems)) {
        return false;
    }
    uint64_t highest = image.entry;
    for (const MemoryImage::Run& run : image.runs) {
        highest = MemoryImage::lastAddress(run) > highest ? MemoryImage::lastAddress(run) : highest;
    }
    const unsigned type = typeFor(highest);
    if (!recordBytesFit(type, dataBytes, problems)) {
        return false;
    }
    const size_t header = headerLength(headerName);
    text.resize(textSize(image, type, dataBytes, header));
    char* at = text.data();
    at += writeRecord(at, 0, 0, reinterpret_cast<const uint8_t*>(headerName), header);
    for (const MemoryImage::Run& run : image.runs) {
        for (uint32_t done = 0; done < run.size; done += dataBytes) {
            const uint32_t length = run.size - done < dataBytes ? run.size - done : dataBytes;
            at += writeRecord(at, type, static_cast<uint32_t>(run.address + done), run.data + done,
                              length);
        }
    }
    writeRecord(at, 10 - type, static_cast<uint32_t>(image.entry), nullptr, 0);
    return true;
}

} // namespace SRecordWriter
