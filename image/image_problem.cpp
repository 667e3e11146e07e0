#include "image/image_problem.h"

#include "image/image_format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace ImageProblem {

namespace {

const char* partName(ElfPart part) {
    switch (part) {
    case ElfPart::Header:
        return "the ELF header";
    case ElfPart::ProgramHeaders:
        return "the program headers";
    case ElfPart::SectionHeaders:
        return "the section headers";
    case ElfPart::SectionContents:
        break;
    }
    return "the contents of section";
}

// "section .data at offset 0x2000", or "data at offset 0x0" for a raw binary.
void placeOf(const Origin& origin, char* text, size_t capacity) {
    if (origin.name[0] != '\0') {
        std::snprintf(text, capacity, "section %s at offset 0x%" PRIX64, origin.name,
                      origin.offset);
    } else {
        std::snprintf(text, capacity, "data at offset 0x%" PRIX64, origin.offset);
    }
}

void describeFile(const Problem& p, char* text, size_t capacity) {
    if (p.code == Code::NotAnImage) {
        const auto kind = static_cast<ImageFormat::Kind>(p.what);
        std::snprintf(text, capacity, "%s, not an image the tool reads; %s",
                      ImageFormat::what(kind), ImageFormat::advice(kind));
        return;
    }
    std::snprintf(text, capacity,
                  "--base ADDR is for a raw binary, but this is %s, which carries its own "
                  "addresses",
                  ImageFormat::fileName(static_cast<ImageFormat::Format>(p.what)));
}

void describeNotHex(const Problem& p, char* text, size_t capacity) {
    const auto c = static_cast<unsigned char>(p.character);
    const auto column = static_cast<unsigned>(p.a);
    if (c >= 0x21 && c < 0x7F) {
        std::snprintf(text, capacity, "'%c' at column %u is not a hex digit", p.character, column);
    } else {
        std::snprintf(text, capacity, "byte 0x%02X at column %u is not a hex digit", c, column);
    }
}

void describeHex(const Problem& p, char* text, size_t capacity) {
    const auto a = static_cast<unsigned>(p.a);
    const auto b = static_cast<unsigned>(p.b);
    const auto c = static_cast<unsigned>(p.c);
    switch (p.code) {
    case Code::HexNotRecord:
        std::snprintf(text, capacity, "not an Intel HEX record (a colon and hex digits)");
        break;
    case Code::HexCutRecord:
        std::snprintf(text, capacity, "%u characters are too few for a record (cut short?)", a);
        break;
    case Code::HexNotHex:
        describeNotHex(p, text, capacity);
        break;
    case Code::HexOddDigits:
        std::snprintf(text, capacity, "%u hex digits, an odd number", a);
        break;
    case Code::HexLengthMismatch:
        std::snprintf(text, capacity, "length byte %02X, but %u data bytes follow the type", a, b);
        break;
    case Code::HexBadChecksum:
        std::snprintf(text, capacity, "checksum %02X, the record's bytes need %02X", a, b);
        break;
    case Code::HexUnknownType:
        std::snprintf(text, capacity, "record type %02X is not an Intel HEX type (00 to 05)", a);
        break;
    case Code::HexWrongLength:
        std::snprintf(text, capacity, "a type %02X record needs %u data bytes, it has %u", a, b, c);
        break;
    case Code::HexAfterEnd:
        std::snprintf(text, capacity, "record after the end-of-file record on line %u",
                      p.otherLine);
        break;
    case Code::HexNoEnd:
        std::snprintf(text, capacity, "no end-of-file record (type 01)");
        break;
    default:
        std::snprintf(text, capacity, "no data record (type 00)");
        break;
    }
}

void describeElf(const Problem& p, char* text, size_t capacity) {
    if (p.code == Code::ElfCutShort) {
        const auto part = static_cast<ElfPart>(p.what);
        const bool contents = part == ElfPart::SectionContents;
        std::snprintf(text, capacity,
                      "%s%s%s at offset 0x%" PRIX64 " (%" PRIu64
                      " bytes) %s past the end of the file (%" PRIu64 " bytes)",
                      partName(part), contents ? " " : "", contents ? p.at.name : "", p.a, p.b,
                      part == ElfPart::Header ? "runs" : "run", p.c);
        return;
    }
    if (p.code == Code::ElfSmallEntries) {
        std::snprintf(text, capacity,
                      "%s are %" PRIu64 " bytes each, fewer than the %" PRIu64 " of one entry",
                      partName(static_cast<ElfPart>(p.what)), p.a, p.b);
        return;
    }
    static const char* const Fields[] = {"class", "byte order", "version"};
    static const char* const Allowed[] = {"1 (32-bit) or 2 (64-bit)",
                                          "1 (little-endian) or 2 (big-endian)", "1"};
    const auto field = static_cast<size_t>(p.what);
    std::snprintf(text, capacity, "ELF %s %" PRIu64 " at offset 0x%zX is not %s", Fields[field],
                  p.a, field + 4, Allowed[field]);
}

// Data of a text image is named by its line, which the message follows; other data by its place.
void describePastFourGiB(const Problem& p, char* text, size_t capacity) {
    const char* const Limit = "past 0xFFFFFFFF, the highest address an S3 record carries";
    if (p.at.line != 0) {
        std::snprintf(text, capacity, "data at 0x%08" PRIX64 " to 0x%" PRIX64 " runs %s", p.a, p.b,
                      Limit);
        return;
    }
    char place[80];
    placeOf(p.at, place, sizeof place);
    std::snprintf(text, capacity, "%s lies at 0x%08" PRIX64 " to 0x%" PRIX64 ", %s", place, p.a,
                  p.b, Limit);
}

void describeOverlap(const Problem& p, char* text, size_t capacity) {
    if (p.at.line != 0) {
        std::snprintf(text, capacity,
                      "data at 0x%08" PRIX64 " to 0x%08" PRIX64 " overlaps line %u's (0x%08" PRIX64
                      " to 0x%08" PRIX64 ")",
                      p.a, p.b, p.other.line, p.c, p.d);
        return;
    }
    char place[80];
    char otherPlace[80];
    placeOf(p.at, place, sizeof place);
    placeOf(p.other, otherPlace, sizeof otherPlace);
    std::snprintf(text, capacity,
                  "%s (0x%08" PRIX64 " to 0x%08" PRIX64 ") overlaps %s (0x%08" PRIX64
                  " to 0x%08" PRIX64 ")",
                  place, p.a, p.b, otherPlace, p.c, p.d);
}

void describeAddresses(const Problem& p, char* text, size_t capacity) {
    switch (p.code) {
    case Code::PastFourGiB:
        describePastFourGiB(p, text, capacity);
        break;
    case Code::EntryPastFourGiB:
        std::snprintf(text, capacity,
                      "entry point 0x%" PRIX64
                      " is past 0xFFFFFFFF, the highest address an S7 record carries",
                      p.a);
        break;
    case Code::Overlap:
        describeOverlap(p, text, capacity);
        break;
    default:
        std::snprintf(text, capacity,
                      "%u data bytes a record do not fit: an S%u record of at most 408 "
                      "characters holds 1 to %u",
                      static_cast<unsigned>(p.a), static_cast<unsigned>(p.b),
                      static_cast<unsigned>(p.d));
        break;
    }
}

} // namespace

void add(List& list, const Problem& problem) {
    if (list.count < ShownProblems) {
        list.shown[list.count] = problem;
    }
    ++list.count;
}

void setName(Origin& origin, const char* text, size_t length) {
    const size_t kept = length < NameCapacity - 1 ? length : NameCapacity - 1;
    if (kept > 0) { // an unnamed section has no text at all
        std::memcpy(origin.name, text, kept);
    }
    origin.name[kept] = '\0';
}

void describe(const Problem& problem, char* text, size_t capacity) {
    switch (problem.code) {
    case Code::NotAnImage:
    case Code::BaseNotForFormat:
        describeFile(problem, text, capacity);
        break;
    case Code::ElfCutShort:
    case Code::ElfBadIdent:
    case Code::ElfSmallEntries:
        describeElf(problem, text, capacity);
        break;
    case Code::PastFourGiB:
    case Code::EntryPastFourGiB:
    case Code::Overlap:
    case Code::RecordBytesOutOfRange:
        describeAddresses(problem, text, capacity);
        break;
    default:
        describeHex(problem, text, capacity);
        break;
    }
}

} // namespace ImageProblem
