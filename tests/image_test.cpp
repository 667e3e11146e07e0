// The image readers, the image in memory and the S-record writer: what each format becomes, and
// what each refuses with its line or offset. The whole road against objcopy is in
// image_objcopy.sh; these rows pin the cases objcopy cannot be asked about or that it gets wrong.
#include "image/elf_image.h"
#include "image/image_format.h"
#include "image/intel_hex.h"
#include "image/raw_binary.h"
#include "image/srecord_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ImageProblem::Code;
using Kind = ImageFormat::Kind;

std::string hexRecord(unsigned type, unsigned address, const std::vector<unsigned>& data) {
    std::vector<unsigned> bytes = {static_cast<unsigned>(data.size()), address >> 8, address & 0xFF,
                                   type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string text = ":";
    char digits[3];
    for (unsigned byte : bytes) {
        sum += byte;
        std::snprintf(digits, sizeof digits, "%02X", byte & 0xFF);
        text += digits;
    }
    std::snprintf(digits, sizeof digits, "%02X", -sum & 0xFF);
    return text + digits + "\n";
}
const std::string HexEnd = hexRecord(1, 0, {});

// The runs as "address:bytes" in their order, and the entry point.
std::string runsOf(const MemoryImage::Image& image) {
    std::string text;
    char part[24];
    for (const MemoryImage::Run& run : image.runs) {
        std::snprintf(part, sizeof part, "%s%llX:", text.empty() ? "" : " ",
                      static_cast<unsigned long long>(run.address));
        text += part;
        for (uint32_t i = 0; i < run.size; ++i) {
            std::snprintf(part, sizeof part, "%02X", run.data[i]);
            text += part;
        }
    }
    std::snprintf(part, sizeof part, " entry %llX", static_cast<unsigned long long>(image.entry));
    return text + part;
}

struct Expected {
    std::string runs;   // when read
    Code code{};        // else the first problem
    uint32_t where = 0; // its line (HEX) or its first value (ELF)
};

void expectRead(bool read, const MemoryImage::Image& image, const ImageProblem::List& problems,
                const Expected& expected, bool byLine) {
    if (!expected.runs.empty()) {
        EXPECT_TRUE(read);
        EXPECT_EQ(problems.count, 0u);
        EXPECT_EQ(runsOf(image), expected.runs);
        return;
    }
    ASSERT_FALSE(read);
    ASSERT_GT(problems.count, 0u);
    EXPECT_EQ(problems.shown[0].code, expected.code);
    EXPECT_EQ(byLine ? problems.shown[0].at.line : problems.shown[0].a, expected.where);
}

TEST(IntelHex, ReadsEveryRecordTypeAsObjcopyDoes) {
    const auto data = [](unsigned first, unsigned count) {
        std::vector<unsigned> bytes;
        for (unsigned i = 0; i < count; ++i) {
            bytes.push_back(first + i);
        }
        return bytes;
    };
    const struct {
        const char* name;
        std::string text;
        Expected expected;
    } cases[] = {
        {"data", hexRecord(0, 0x100, {1, 2}) + HexEnd, {"100:0102 entry 0"}},
        {"04 base, a record across 64 KiB runs on",
         hexRecord(4, 0, {0, 1}) + hexRecord(0, 0xFFFE, data(0, 4)) + HexEnd,
         {"1FFFE:00010203 entry 0"}},
        {"02 and 04 bases add up",
         hexRecord(4, 0, {0, 1}) + hexRecord(2, 0, {0x10, 0}) + hexRecord(0, 2, {7}) + HexEnd,
         {"20002:07 entry 0"}},
        {"a run ends at a gap and at an 04 record, even one that changes nothing",
         hexRecord(0, 0, {1}) + hexRecord(0, 1, {2}) + hexRecord(0, 3, {3}) +
             hexRecord(4, 0, {0, 0}) + hexRecord(0, 4, {4}) + HexEnd,
         {"0:0102 3:03 4:04 entry 0"}},
        {"05 sets the start, each 03 adds CS * 16 + IP",
         hexRecord(0, 0, {1}) + hexRecord(5, 0, {0x12, 0x34, 0, 0}) +
             hexRecord(3, 0, {0, 1, 0, 2}) + hexRecord(0, 1, {2}) + HexEnd,
         {"0:01 1:02 entry 12340012"}},
        {"without a start record, the end-of-file record's address",
         hexRecord(0, 0, {1}) + hexRecord(1, 0x55, {}),
         {"0:01 entry 55"}},
        {"lower case, blank lines, CR LF, blanks after the checksum, empty data records",
         "\r\n:0200100012ab31 \t\r\n" + hexRecord(0, 0x300, {}) + hexRecord(0, 0x12, {0xCD}) +
             HexEnd + "\n",
         {"10:12ABCD entry 0"}},
        {"a checksum", ":0201000001020A\n" + HexEnd, {"", Code::HexBadChecksum, 1}},
        {"no colon", hexRecord(0, 0, {1}) + "S1030000FC\n" + HexEnd, {"", Code::HexNotRecord, 2}},
        {"cut short", ":020100\n" + HexEnd, {"", Code::HexCutRecord, 1}},
        {"a letter", ":02010000010G0A\n" + HexEnd, {"", Code::HexNotHex, 1}},
        {"odd digits", ":0201000001020\n" + HexEnd, {"", Code::HexOddDigits, 1}},
        {"a length that disagrees", ":0301000001020A\n" + HexEnd, {"", Code::HexLengthMismatch, 1}},
        {"type 06", hexRecord(6, 0, {}) + HexEnd, {"", Code::HexUnknownType, 1}},
        {"an 04 record of 3 bytes",
         hexRecord(4, 0, {0, 0, 1}) + HexEnd,
         {"", Code::HexWrongLength, 1}},
        {"a record after the end",
         hexRecord(0, 0, {1}) + HexEnd + "\n" + hexRecord(0, 1, {2}),
         {"", Code::HexAfterEnd, 4}},
        {"no end-of-file record", hexRecord(0, 0, {1}), {"", Code::HexNoEnd, 0}},
        {"no data", hexRecord(4, 0, {0, 1}) + HexEnd, {"", Code::HexNoData, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryImage::Image image;
        ImageProblem::List problems;
        const bool read = IntelHex::read(c.text.data(), c.text.size(), image, problems);
        expectRead(read, image, problems, c.expected, true);
    }
}

// An ELF file built to order: sections laid out one after another behind the header and the
// program headers, each segment spanning the contents of the sections it lists.
struct ElfSection {
    std::string name;
    uint32_t type = 1;  // SHT_PROGBITS
    uint64_t flags = 2; // SHF_ALLOC
    uint64_t address = 0;
    std::string contents;
};
struct ElfSegment {
    uint32_t type = 1; // PT_LOAD
    uint64_t paddr = 0;
    size_t first = 0, last = 0; // the sections it spans
};
struct ElfLayout {
    bool wide = false;
    bool big = false;
    uint64_t entry = 0x08000001;
    std::vector<ElfSection> sections;
    std::vector<ElfSegment> segments;
    uint16_t type = 2; // ET_EXEC
};

std::string buildElf(const ElfLayout& layout) {
    const size_t w = layout.wide ? 8 : 4, header = layout.wide ? 64 : 52;
    const size_t phSize = layout.wide ? 56 : 32, shSize = layout.wide ? 64 : 40;
    std::string file(header + phSize * layout.segments.size(), '\0');
    const auto put = [&](size_t at, uint64_t value, size_t width) {
        for (size_t i = 0; i < width; ++i) {
            file[at + (layout.big ? width - 1 - i : i)] = static_cast<char>(value >> (8 * i));
        }
    };
    std::vector<ElfSection> sections = layout.sections;
    sections.push_back({".shstrtab", 3, 0, 0, ""});
    std::vector<size_t> offsets, nameAt;
    std::string names(1, '\0');
    for (ElfSection& section : sections) {
        nameAt.push_back(names.size());
        names += section.name + '\0';
        section.contents = &section == &sections.back() ? names : section.contents;
        offsets.push_back(file.size());
        file += section.type == 8 ? "" : section.contents;
    }
    const size_t shoff = file.size();
    file.resize(shoff + shSize * (sections.size() + 1));
    file.replace(0, 7,
                 std::string("\x7F"
                             "ELF") +
                     char(layout.wide ? 2 : 1) + char(layout.big ? 2 : 1) + '\x01');
    const uint64_t fields[] = {layout.entry, header, shoff};
    for (size_t f = 0; f < 3; ++f) {
        put(24 + f * w, fields[f], w);
    }
    put(16, layout.type, 2);
    const uint64_t counts[] = {phSize, layout.segments.size(), shSize, sections.size() + 1,
                               sections.size()}; // the names come last
    for (size_t f = 0; f < 5; ++f) {
        put(header - 10 + 2 * f, counts[f], 2);
    }
    for (size_t i = 0; i < layout.segments.size(); ++i) {
        const ElfSegment& s = layout.segments[i];
        const ElfSection& last = sections[s.last];
        const size_t begin = offsets[s.first], at = header + i * phSize;
        const size_t end = offsets[s.last] + (last.type == 8 ? 0 : last.contents.size());
        const size_t memEnd = end + (last.type == 8 ? last.contents.size() : 0);
        const uint64_t values[] = {begin, sections[s.first].address, s.paddr, end - begin,
                                   memEnd - begin}; // offset, vaddr, paddr, filesz, memsz
        put(at, s.type, 4);
        for (size_t f = 0; f < 5; ++f) {
            put(at + (layout.wide ? 8 : 4) + f * w, values[f], w);
        }
    }
    for (size_t i = 0; i < sections.size(); ++i) {
        const ElfSection& s = sections[i];
        const size_t at = shoff + (i + 1) * shSize;
        const uint64_t values[] = {s.flags, s.address, offsets[i], s.contents.size()};
        put(at, nameAt[i], 4);
        put(at + 4, s.type, 4);
        for (size_t f = 0; f < 4; ++f) {
            put(at + 8 + f * w, values[f], w);
        }
    }
    return file;
}

ElfLayout flashAndRam(bool wide, bool big) {
    ElfLayout layout;
    layout.wide = wide;
    layout.big = big;
    layout.sections = {{".text", 1, 6, 0x08000000, "\x01\x02\x03"},
                       {".data", 1, 3, 0x20000000, "\x0D\x0A"},
                       {".bss", 8, 3, 0x20000002, std::string(4, '\0')},
                       {".comment", 1, 0, 0, "GCC"}};
    layout.segments = {{1, 0x08000000, 0, 0}, {1, 0x08000003, 1, 2}};
    return layout;
}

TEST(ElfImage, ReadsTheLoadableSectionsAtTheirLoadAddresses) {
    const auto with = [](ElfLayout layout, auto change) {
        change(layout);
        return layout;
    };
    const std::string flashRuns = "8000000:010203 8000003:0D0A entry 8000001";
    const struct {
        const char* name;
        ElfLayout layout;
        Expected expected;
    } cases[] = {
        {"32-bit little-endian", flashAndRam(false, false), {flashRuns}},
        {"32-bit big-endian", flashAndRam(false, true), {flashRuns}},
        {"64-bit little-endian", flashAndRam(true, false), {flashRuns}},
        {"64-bit big-endian", flashAndRam(true, true), {flashRuns}},
        {"every physical address zero, two segments: the sections' own addresses",
         with(flashAndRam(false, false),
              [](ElfLayout& s) { s.segments[0].paddr = 0, s.segments[1].paddr = 0; }),
         {"8000000:010203 20000000:0D0A entry 8000001"}},
        {"a section in no segment, and thread-local data placed by PT_TLS",
         with(flashAndRam(true, false),
              [](ElfLayout& s) {
                  s.segments.pop_back();
                  s.sections[1].flags |= 0x400;
                  s.segments.push_back({7, 0x0800F000, 1, 1});
                  s.sections.push_back({".extra", 1, 2, 0x9000, "\xEE"});
              }),
         {"8000000:010203 800F000:0D0A 9000:EE entry 8000001"}},
        {"an object file",
         with(flashAndRam(false, false), [](ElfLayout& s) { s.type = 1; }),
         {"", Code::NotAnImage, 0}},
        {"nothing loadable",
         with(flashAndRam(true, true),
              [](ElfLayout& s) { s.sections[0].flags = 0, s.sections[1].type = 8; }),
         {"", Code::NotAnImage, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = buildElf(c.layout);
        MemoryImage::Image image;
        ImageProblem::List problems;
        const bool read = ElfImage::read(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                                         image, problems);
        expectRead(read, image, problems, c.expected, false);
    }
}

// Headers that lie: each refusal names where the bad part is.
TEST(ElfImage, RefusesHeadersCutShortOrInvalidNamingTheOffset) {
    const std::string good = buildElf(flashAndRam(true, false));
    const auto patched = [&](size_t at, std::string bytes) {
        std::string file = good;
        return file.replace(at, bytes.size(), bytes);
    };
    const struct {
        const char* name;
        std::string file;
        Code code;
        uint8_t what;
        uint64_t a; // the offset, or the value named
    } cases[] = {
        {"a header cut short", good.substr(0, 40), Code::ElfCutShort, 0, 0},
        {"class 3", patched(4, "\x03"), Code::ElfBadIdent, 0, 3},
        {"byte order 0", patched(5, std::string(1, '\0')), Code::ElfBadIdent, 1, 0},
        {"version 2", patched(6, "\x02"), Code::ElfBadIdent, 2, 2},
        {"program headers past the end", patched(32, "\xF0\xFF"), Code::ElfCutShort, 1, 0xFFF0},
        {"section headers past the end", good.substr(0, good.size() - 8), Code::ElfCutShort, 2,
         good.size() - 6 * 64},
        {"program header entries too small", patched(54, "\x20"), Code::ElfSmallEntries, 1, 32},
        {"contents past the end", patched(good.size() - 5 * 64 + 32, std::string("\0\0\1", 3)),
         Code::ElfCutShort, 3, 64 + 2 * 56},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryImage::Image image;
        ImageProblem::List problems;
        EXPECT_FALSE(ElfImage::read(reinterpret_cast<const uint8_t*>(c.file.data()), c.file.size(),
                                    image, problems));
        ASSERT_EQ(problems.count, 1u);
        EXPECT_EQ(problems.shown[0].code, c.code);
        EXPECT_EQ(problems.shown[0].what, c.what);
        EXPECT_EQ(problems.shown[0].a, c.a);
    }
}

// What the writer makes of an image in memory, and what it refuses.
TEST(SRecordWriter, ChoosesTheTypeCutsEachRunAndRefusesWhatCannotBeSent) {
    const std::vector<uint8_t> bytes(40, 0xAB);
    const struct {
        const char* name;
        std::vector<std::pair<uint64_t, uint32_t>> runs; // address, size
        uint64_t entry;
        uint32_t dataBytes;
        std::string records; // types and addresses, or the first problem's code
    } cases[] = {
        {"S1 up to 0xFFFF, a run cut from its first byte",
         {{0xFFD8, 40}},
         0xFFD8,
         16,
         "S0 S1FFD8 S1FFE8 S1FFF8 S9FFD8"},
        {"S2 past it, runs in address order, each fresh",
         {{0x10010, 4}, {0x1000E, 2}},
         0,
         16,
         "S0 S201000E S2010010 S8000000"},
        {"S3 past 0xFFFFFF", {{0xFFFFFF, 2}}, 0, 16, "S0 S300FFFFFF S700000000"},
        {"an entry point above the data widens the type",
         {{0x100, 2}},
         0x12345,
         16,
         "S0 S2000100 S8012345"},
        {"one byte a record", {{0x100, 2}}, 0, 1, "S0 S10100 S10101 S90000"},
        {"197 bytes fit an S3 record", {{0x01000000, 40}}, 0, 197, "S0 S301000000 S700000000"},
        {"198 do not", {{0x01000000, 40}}, 0, 198, "RecordBytesOutOfRange"},
        {"nor 0", {{0x100, 2}}, 0, 0, "RecordBytesOutOfRange"},
        {"overlapping runs", {{0x100, 4}, {0x103, 1}}, 0, 16, "Overlap"},
        {"past 4 GiB", {{0xFFFFFFF0, 17}}, 0, 16, "PastFourGiB"},
        {"so far past that the end wraps", {{UINT64_MAX, 2}}, 0, 16, "PastFourGiB"},
        {"an entry point past 4 GiB", {{0x100, 1}}, 0x100000000, 16, "EntryPastFourGiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryImage::Image image;
        uint32_t line = 0;
        for (const auto& [address, size] : c.runs) {
            image.runs.push_back({address, bytes.data(), size, ++line});
        }
        image.entry = c.entry;
        std::vector<char> text;
        ImageProblem::List problems;
        std::string found;
        if (SRecordWriter::write(image, "", c.dataBytes, text, problems)) {
            std::istringstream lines(std::string(text.begin(), text.end()));
            for (std::string line; std::getline(lines, line);) {
                const size_t width = 2 * SRecordWriter::addressBytes(line[1] - '0');
                found.append(found.empty() ? "" : " ").append(line, 0, 2);
                found.append(line[1] == '0' ? "" : line.substr(4, width));
            }
        } else {
            const char* const Names[] = {"PastFourGiB", "EntryPastFourGiB", "Overlap",
                                         "RecordBytesOutOfRange"};
            found = Names[static_cast<int>(problems.shown[0].code) -
                          static_cast<int>(Code::PastFourGiB)];
        }
        EXPECT_EQ(found, c.records);
    }
    // The header names at most 40 bytes, as objcopy's does; the records end in line feeds.
    MemoryImage::Image image;
    image.runs.push_back({0x100, bytes.data(), 2});
    std::vector<char> text;
    ImageProblem::List problems;
    ASSERT_TRUE(SRecordWriter::write(image, std::string(41, 'n').c_str(), 16, text, problems));
    std::string named;
    for (int i = 0; i < 40; ++i) {
        named += "6E";
    }
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "S02B0000" + named + "A4\nS1050100ABABA3\nS9030000FC\n");
}

// Windows Notepad's "Unicode": UTF-16 little-endian without a byte order mark.
std::string utf16(const std::string& text) {
    std::string wide;
    for (char c : text) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return wide;
}

TEST(ImageFormat, TellsTheFormatFromTheContent) {
    const struct {
        std::string bytes;
        bool base;
        ImageFormat::Format format;
        Kind kind = Kind::Binary;
    } cases[] = {
        {"S00600004844521B\nS1050000AABBFF\n", false, ImageFormat::Format::SRecords},
        {"notes\nS1050000AABBFF\nS9030000FC\n", false, ImageFormat::Format::SRecords},
        {"\n \t\n", false, ImageFormat::Format::SRecords}, // empty, as the check says
        {HexEnd, false, ImageFormat::Format::IntelHex},
        {"\x7F"
         "ELF\x01\x01\x01",
         false, ImageFormat::Format::Elf},
        {HexEnd, true, ImageFormat::Format::IntelHex}, // refused with a base, not taken raw
        {std::string("PK\x03\x04") + "S1050000AABBFF\n", false, ImageFormat::Format::Unknown,
         Kind::Zip},
        {std::string("PK\x03\x04"), true, ImageFormat::Format::RawBinary},
        {"\x1F\x8B\x08", false, ImageFormat::Format::Unknown, Kind::Gzip},
        {"%PDF-1.7\n", false, ImageFormat::Format::Unknown, Kind::Pdf},
        {"\n<!DOCTYPE HTML>", false, ImageFormat::Format::Unknown, Kind::Html},
        {utf16("S1050000AABBFF\n"), false, ImageFormat::Format::Unknown, Kind::Utf16},
        {"hello, product\n", false, ImageFormat::Format::Unknown, Kind::Text},
        {std::string("\x00\x01\x02\nS1\n\x05\x06\n", 10), false, ImageFormat::Format::Unknown,
         Kind::Binary},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 12));
        const ImageFormat::Detection detection =
            ImageFormat::detect(c.bytes.data(), c.bytes.size(), c.base);
        EXPECT_EQ(detection.format, c.format);
        if (c.format == ImageFormat::Format::Unknown) {
            EXPECT_EQ(detection.kind, c.kind);
        }
    }
    MemoryImage::Image image;
    const uint8_t bytes[3] = {1, 2, 0x1A}; // a raw binary keeps what would end a text
    RawBinary::read(bytes, sizeof bytes, 0x08000000, image);
    EXPECT_EQ(runsOf(image), "8000000:01021A entry 8000000");
}

} // namespace
