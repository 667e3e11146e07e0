// Which image a file holds, told from its content and never from its name: Motorola S-records,
// Intel HEX, ELF, or (only when a base address is given) a raw binary. Anything else is named
// (a ZIP archive, UTF-16 text, ...) with how to make an image of it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ImageFormat {

enum class Format : uint8_t { SRecords, IntelHex, Elf, RawBinary, Unknown };

// What a file is when it is no image the tool reads.
enum class Kind : uint8_t {
    Zip,
    Gzip,
    Bzip2,
    Xz,
    Zstandard,
    SevenZip,
    Tar,
    Pdf,
    Html,
    WindowsProgram,
    Utf16,
    ElfObject,
    ElfCore,
    ElfNoSections,
    ElfNoData,
    Text,
    Binary,
};

struct Detection {
    Format format = Format::Unknown;
    Kind kind = Kind::Binary; // when Unknown
};

// With a base address, a file of no format that carries addresses is a raw binary; the formats
// that do carry them are still told, so that the base can be refused for them. Blank text is
// S-records, whose check calls it empty.
Detection detect(const char* bytes, size_t size, bool baseGiven);

// "S-records", "Intel HEX", "ELF", "raw binary".
const char* name(Format format);
// "an S-record file", "an Intel HEX file", "an ELF file", "a raw binary", for messages.
const char* fileName(Format format);
// One word for scripts: "srec", "ihex", "elf", "binary" ("unknown").
const char* word(Format format);
// The format a word names; false for any other text.
bool fromWord(const char* text, Format& format);
// "a ZIP archive", "UTF-16 text", ...
const char* what(Kind kind);
// How to make an image of it: "unpack the image from it first", ...
const char* advice(Kind kind);

} // namespace ImageFormat
