// Reads arbitrary bytes as Intel HEX or as an ELF file and writes the image as S-records. An image
// read must lie within the bytes it came from; the records written must be whole, at most 408
// characters, each within one run, and carry exactly the runs' bytes at their addresses and the
// entry point; a refusal of the writer must agree with an independent look at the runs.
//
// Input: one byte, then the file. Its low bit picks the reader (0: HEX, 1: ELF, whose magic is put
// in front so that every input reaches the header checks); the rest, the data bytes a record.
#include "image/elf_image.h"
#include "image/intel_hex.h"
#include "image/srecord_writer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

struct Copy {
    uint64_t address;
    std::vector<uint8_t> bytes;
};

int hex(char c) {
    const char* digits = "0123456789ABCDEF";
    const char* at = std::strchr(digits, c);
    return c != '\0' && at != nullptr ? static_cast<int>(at - digits) : -1;
}

// One written line, read without the tool's code: "S", type, count, address, data, checksum.
struct Line {
    unsigned type;
    uint64_t address;
    std::vector<uint8_t> data;
};

Line readLine(const std::string& text) {
    check(text.size() >= 10 && text.size() <= SRecordWriter::LongestLine && text[0] == 'S');
    check(text.size() % 2 == 0);
    std::vector<unsigned> bytes;
    unsigned sum = 0;
    for (size_t i = 2; i < text.size(); i += 2) {
        check(hex(text[i]) >= 0 && hex(text[i + 1]) >= 0);
        bytes.push_back(static_cast<unsigned>(hex(text[i]) * 16 + hex(text[i + 1])));
        sum += bytes.back();
    }
    check(bytes[0] + 1 == bytes.size() && (sum & 0xFFu) == 0xFFu);
    Line line{static_cast<unsigned>(text[1] - '0'), 0, {}};
    const unsigned width = SRecordWriter::addressBytes(line.type);
    for (unsigned i = 1; i <= width; ++i) {
        line.address = line.address << 8 | bytes[i];
    }
    for (size_t i = 1 + width; i + 1 < bytes.size(); ++i) {
        line.data.push_back(static_cast<uint8_t>(bytes[i]));
    }
    return line;
}

// What the writer must refuse: overlapping runs, data or an entry past 4 GiB, or records that
// cannot carry the data bytes asked.
bool writable(std::vector<Copy> runs, uint64_t entry, uint32_t dataBytes) {
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Copy& a, const Copy& b) { return a.address < b.address; });
    uint64_t reach = 0;
    uint64_t highest = entry;
    for (const Copy& run : runs) {
        const uint64_t last = run.address + run.bytes.size() - 1;
        if (run.address > 0xFFFFFFFF || last > 0xFFFFFFFF || (reach != 0 && run.address < reach)) {
            return false;
        }
        reach = std::max(reach, last + 1);
        highest = std::max(highest, last);
    }
    const unsigned type = highest <= 0xFFFF ? 1 : highest <= 0xFFFFFF ? 2 : 3;
    return entry <= 0xFFFFFFFF && dataBytes >= 1 &&
           SRecordWriter::lineLength(type, dataBytes) <= SRecordWriter::LongestLine;
}

void checkRecords(const std::vector<char>& text, const std::vector<Copy>& runs, uint64_t entry,
                  uint32_t dataBytes) {
    std::map<uint64_t, uint8_t> wanted; // every byte at its address
    std::map<uint64_t, uint64_t> spans; // each run's first and last address
    for (const Copy& run : runs) {
        spans[run.address] = run.address + run.bytes.size() - 1;
        for (size_t i = 0; i < run.bytes.size(); ++i) {
            wanted[run.address + i] = run.bytes[i];
        }
    }
    std::map<uint64_t, uint8_t> got;
    std::vector<Line> lines;
    size_t start = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\n') {
            lines.push_back(readLine(std::string(text.data() + start, at - start)));
            start = at + 1;
        }
    }
    check(start == text.size() && lines.size() >= 2 && lines.front().type == 0);
    check(lines.back().type >= 7 && lines.back().address == entry);
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const Line& line = lines[i];
        check(line.type == 10 - lines.back().type && !line.data.empty());
        check(line.data.size() <= dataBytes);
        auto span = spans.upper_bound(line.address);
        check(span != spans.begin());
        --span;
        check(line.address + line.data.size() - 1 <= span->second); // never across runs
        for (size_t b = 0; b < line.data.size(); ++b) {
            check(got.emplace(line.address + b, line.data[b]).second);
        }
    }
    check(got == wanted);
}

// The runs as bytes, each lying within what it was read from.
std::vector<Copy> copyRuns(const MemoryImage::Image& image, const uint8_t* from, size_t size) {
    std::vector<Copy> runs;
    for (const MemoryImage::Run& run : image.runs) {
        check(run.size > 0 && run.data >= from && run.size <= size &&
              run.data - from <= static_cast<ptrdiff_t>(size - run.size));
        runs.push_back({run.address, std::vector<uint8_t>(run.data, run.data + run.size)});
    }
    return runs;
}

void describeAll(const ImageProblem::List& problems) {
    check(problems.count > 0);
    for (uint32_t i = 0; i < problems.count && i < ImageProblem::ShownProblems; ++i) {
        char text[320];
        ImageProblem::describe(problems.shown[i], text, sizeof text);
        check(std::strlen(text) > 10);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool elf = (data[0] & 1) != 0;
    const uint32_t dataBytes = data[0] >> 1; // 0 to 127, 0 and some large ones refused
    std::vector<uint8_t> file;
    if (elf) {
        file = {0x7F, 'E', 'L', 'F'};
    }
    file.insert(file.end(), data + 1, data + size);
    MemoryImage::Image image;
    ImageProblem::List problems;
    const bool read = elf ? ElfImage::read(file.data(), file.size(), image, problems)
                          : IntelHex::read(reinterpret_cast<const char*>(file.data()), file.size(),
                                           image, problems);
    if (!read) {
        describeAll(problems);
        return 0;
    }
    check(problems.count == 0 && !image.runs.empty());
    const std::vector<Copy> runs =
        elf ? copyRuns(image, file.data(), file.size())
            : copyRuns(image, image.decoded.data(), image.decoded.size());
    std::vector<char> text;
    const bool written = SRecordWriter::write(image, "fuzz", dataBytes, text, problems);
    check(written == writable(runs, image.entry, dataBytes));
    if (written) {
        checkRecords(text, runs, image.entry, dataBytes);
    } else {
        describeAll(problems);
    }
    return 0;
}
