#include "image/image_format.h"

#include <cstring>
#include <initializer_list>

namespace ImageFormat {

namespace {

// Files that announce themselves in their first bytes.
struct Magic {
    size_t offset;
    const char* bytes;
    size_t length;
    Kind kind;
};
constexpr Magic Magics[] = {
    {0, "PK\x03\x04", 4, Kind::Zip},
    {0, "PK\x05\x06", 4, Kind::Zip},
    {0, "\x1F\x8B", 2, Kind::Gzip},
    {0, "BZh", 3, Kind::Bzip2},
    {0,
     "\xFD"
     "7zXZ\x00",
     6, Kind::Xz},
    {0, "\x28\xB5\x2F\xFD", 4, Kind::Zstandard},
    {0, "7z\xBC\xAF\x27\x1C", 6, Kind::SevenZip},
    {257, "ustar", 5, Kind::Tar},
    {0, "%PDF-", 5, Kind::Pdf},
    {0, "MZ", 2, Kind::WindowsProgram},
    {0, "\xFF\xFE", 2, Kind::Utf16},
    {0, "\xFE\xFF", 2, Kind::Utf16},
};

struct KindText {
    Kind kind;
    const char* what;
    const char* advice;
};
constexpr const char* Convert = "convert it with objcopy -O srec, or give --base ADDR for a raw "
                                "binary";
constexpr const char* Unpack = "unpack the image from it first";
constexpr KindText KindTexts[] = {
    {Kind::Zip, "a ZIP archive", Unpack},
    {Kind::Gzip, "a gzip file", "unpack it first (gunzip)"},
    {Kind::Bzip2, "a bzip2 file", "unpack it first (bunzip2)"},
    {Kind::Xz, "an xz file", "unpack it first (unxz)"},
    {Kind::Zstandard, "a Zstandard file", "unpack it first (unzstd)"},
    {Kind::SevenZip, "a 7-Zip archive", Unpack},
    {Kind::Tar, "a tar archive", Unpack},
    {Kind::Pdf, "a PDF document", "ask for the image file itself"},
    {Kind::Html, "an HTML page", "download the image file itself, not the page that links to it"},
    {Kind::WindowsProgram, "a Windows or DOS program", "give the product's firmware image"},
    {Kind::Utf16, "UTF-16 text", "save it again as ASCII text"},
    {Kind::ElfObject, "an ELF object file (not linked)", "link the firmware and give its ELF file"},
    {Kind::ElfCore, "an ELF core dump", "give the firmware's ELF file"},
    {Kind::ElfNoSections, "an ELF file without section headers",
     "give the ELF file as the linker wrote it"},
    {Kind::ElfNoData, "an ELF file with no loadable data",
     "give the linked firmware, not its debug file"},
    {Kind::Text, "text that is no known image format", Convert},
    {Kind::Binary, "binary data of no known image format", Convert},
};

constexpr bool inKindOrder() {
    for (size_t i = 0; i < sizeof KindTexts / sizeof KindTexts[0]; ++i) {
        if (static_cast<size_t>(KindTexts[i].kind) != i) {
            return false;
        }
    }
    return sizeof KindTexts / sizeof KindTexts[0] == static_cast<size_t>(Kind::Binary) + 1;
}
static_assert(inKindOrder());

bool startsWith(const char* bytes, size_t size, const Magic& magic) {
    return size >= magic.offset + magic.length &&
           std::memcmp(bytes + magic.offset, magic.bytes, magic.length) == 0;
}

// The lines that are not blank, and of those the ones that begin as an S-record ("S" and a
// digit) or as an Intel HEX record (a colon) do.
struct Census {
    size_t lines = 0;
    size_t sRecords = 0;
    size_t hexRecords = 0;
    size_t controlBytes = 0; // other than tab, line ends, form feed and the DOS end mark
};

Census censusOf(const char* bytes, size_t size) {
    Census census;
    bool lineStart = true;
    bool counted = false; // the line has been counted as not blank
    for (size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == '\n' || c == '\r') {
            lineStart = true;
            counted = false;
            continue;
        }
        if (u < 0x20 && c != '\t' && c != '\f' && c != '\x1A') {
            ++census.controlBytes;
        }
        if (!counted && c != ' ' && c != '\t') {
            counted = true;
            ++census.lines;
            census.sRecords +=
                lineStart && c == 'S' && i + 1 < size && bytes[i + 1] >= '0' && bytes[i + 1] <= '9';
            census.hexRecords += lineStart && c == ':';
        }
        lineStart = false;
    }
    return census;
}

bool equalIgnoringCase(const char* text, const char* lower, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != lower[i]) {
            return false;
        }
    }
    return true;
}

bool isHtml(const char* bytes, size_t size) {
    size_t at = 0;
    while (at < size &&
           (bytes[at] == ' ' || bytes[at] == '\t' || bytes[at] == '\n' || bytes[at] == '\r')) {
        ++at;
    }
    const char* rest = bytes + at;
    const size_t left = size - at;
    return (left >= 14 && equalIgnoringCase(rest, "<!doctype html", 14)) ||
           (left >= 5 && equalIgnoringCase(rest, "<html", 5));
}

// UTF-16 without a byte order mark: in its first characters every other byte is zero.
bool looksUtf16(const char* bytes, size_t size) {
    const size_t looked = size < 512 ? size & ~size_t{1} : 512;
    if (looked < 8) {
        return false;
    }
    size_t evenZero = 0;
    size_t oddZero = 0;
    for (size_t i = 0; i < looked; i += 2) {
        evenZero += bytes[i] == '\0';
        oddZero += bytes[i + 1] == '\0';
    }
    const size_t half = looked / 2;
    return (oddZero == half && evenZero == 0) || (evenZero == half && oddZero == 0);
}

Detection unknown(Kind kind) {
    return {Format::Unknown, kind};
}

} // namespace

Detection detect(const char* bytes, size_t size, bool baseGiven) {
    if (size >= 4 && std::memcmp(bytes,
                                 "\x7F"
                                 "ELF",
                                 4) == 0) {
        return {Format::Elf, Kind::Binary};
    }
    // Before the lines are looked at: an archive that stores a text image holds its lines too.
    for (const Magic& magic : Magics) {
        if (!baseGiven && startsWith(bytes, size, magic)) {
            return unknown(magic.kind);
        }
    }
    const Census census = censusOf(bytes, size);
    if (census.lines == 0 && !baseGiven) {
        return {Format::SRecords, Kind::Text}; // blank: the check calls it empty
    }
    // Most of its lines: a file of records with a few spoilt lines is still checked line by line.
    if (census.lines > 0 && census.sRecords * 2 >= census.lines) {
        return {Format::SRecords, Kind::Text};
    }
    if (census.lines > 0 && census.hexRecords * 2 >= census.lines) {
        return {Format::IntelHex, Kind::Text};
    }
    if (baseGiven) {
        return {Format::RawBinary, Kind::Binary};
    }
    if (looksUtf16(bytes, size)) {
        return unknown(Kind::Utf16);
    }
    if (isHtml(bytes, size)) {
        return unknown(Kind::Html);
    }
    return unknown(census.controlBytes == 0 ? Kind::Text : Kind::Binary);
}

const char* name(Format format) {
    switch (format) {
    case Format::SRecords:
        return "S-records";
    case Format::IntelHex:
        return "Intel HEX";
    case Format::Elf:
        return "ELF";
    case Format::RawBinary:
        return "raw binary";
    case Format::Unknown:
        break;
    }
    return "unknown";
}

const char* fileName(Format format) {
    switch (format) {
    case Format::SRecords:
        return "an S-record file";
    case Format::IntelHex:
        return "an Intel HEX file";
    case Format::Elf:
        return "an ELF file";
    case Format::RawBinary:
        return "a raw binary";
    case Format::Unknown:
        break;
    }
    return "a file of no known format";
}

const char* word(Format format) {
    switch (format) {
    case Format::SRecords:
        return "srec";
    case Format::IntelHex:
        return "ihex";
    case Format::Elf:
        return "elf";
    case Format::RawBinary:
        return "binary";
    case Format::Unknown:
        break;
    }
    return "unknown";
}

bool fromWord(const char* text, Format& format) {
    for (const Format known :
         {Format::SRecords, Format::IntelHex, Format::Elf, Format::RawBinary}) {
        if (std::strcmp(text, word(known)) == 0) {
            format = known;
            return true;
        }
    }
    return false;
}

const char* what(Kind kind) {
    return KindTexts[static_cast<size_t>(kind)].what;
}

const char* advice(Kind kind) {
    return KindTexts[static_cast<size_t>(kind)].advice;
}

} // namespace ImageFormat
