// What the image readers and the S-record writer refuse, and where: a line of a text image, or an
// offset into the file with the ELF section there. The texts read like the S-record check's; the
// session prints them after "Line N of [file]: " (a line) or "[file]: " (the rest).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ImageProblem {

enum class Code : uint8_t {
    // The file as a whole.
    NotAnImage,       // what: a Kind (image_format.h) saying what the file is instead
    BaseNotForFormat, // what: the Format that carries its own addresses
    // Intel HEX, on a line.
    HexNotRecord,
    HexCutRecord,      // a: its characters
    HexNotHex,         // a: column; character
    HexOddDigits,      // a: digits
    HexLengthMismatch, // a: the length byte, b: the data bytes that follow the type
    HexBadChecksum,    // a: found, b: needed
    HexUnknownType,    // a: type
    HexWrongLength,    // a: type, b: data bytes needed, c: data bytes it has
    HexAfterEnd,       // otherLine: the end-of-file record's
    HexNoEnd,
    HexNoData,
    // ELF, at an offset.
    ElfCutShort,     // what: an ElfPart; a: offset, b: bytes, c: the file's size; name (a section)
    ElfBadIdent,     // what: an ElfIdent; a: the byte's value
    ElfSmallEntries, // what: an ElfPart (headers); a: entry size, b: the least it must be
    // Addresses and records, of any format.
    PastFourGiB,           // a: first address, b: last (past 0xFFFFFFFF); at: where
    EntryPastFourGiB,      // a: the entry point
    Overlap,               // a, b: this data's addresses; c, d: the other's; at, other: where
    RecordBytesOutOfRange, // a: data bytes asked, b: record type, d: the most that fit
};

// The parts of an ELF file whose place the messages name.
enum class ElfPart : uint8_t { Header, ProgramHeaders, SectionHeaders, SectionContents };
// The identification bytes an ELF reader checks.
enum class ElfIdent : uint8_t { Class, ByteOrder, Version };

inline constexpr size_t NameCapacity = 32;

// Where data came from: a line of a text image, or an offset into the file with the name of the
// ELF section there (empty for a raw binary). Names longer than fit are cut.
struct Origin {
    uint32_t line = 0;
    uint64_t offset = 0;
    char name[NameCapacity] = {};
};

struct Problem {
    Code code = Code::NotAnImage;
    uint8_t what = 0;
    char character = 0;
    uint32_t otherLine = 0;
    uint64_t a = 0;
    uint64_t b = 0;
    uint64_t c = 0;
    uint64_t d = 0;
    Origin at;
    Origin other;
};

inline constexpr size_t ShownProblems = 10;

// The first ShownProblems problems and the count of all of them.
struct List {
    Problem shown[ShownProblems];
    uint32_t count = 0;
};

void add(List& list, const Problem& problem);

// Copies text into an origin's name, cut to what fits.
void setName(Origin& origin, const char* text, size_t length);

// The message, without the line or the file's name before it.
void describe(const Problem& problem, char* text, size_t capacity);

} // namespace ImageProblem
