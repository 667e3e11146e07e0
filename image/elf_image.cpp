#include "image/elf_image.h"

#include "image/image_format.h"

#include <cstring>

namespace ElfImage {

namespace {

using ImageProblem::Code;
using ImageProblem::ElfPart;

constexpr uint16_t TypeRelocatable = 1;
constexpr uint16_t TypeCore = 4;
constexpr uint32_t SegmentLoad = 1;
constexpr uint32_t SegmentTls = 7;
constexpr uint32_t SectionNull = 0;
constexpr uint32_t SectionNoBits = 8;
constexpr uint64_t FlagAlloc = 0x2;
constexpr uint64_t FlagTls = 0x400;
constexpr uint32_t ExtendedNumber = 0xFFFF; // the count or index is in section 0

// Where each field lies in the 32-bit and the 64-bit layout, and how wide it is.
struct Field {
    uint8_t at32, width32, at64, width64;
};
constexpr Field EntryField{24, 4, 24, 8}, PhOffField{28, 4, 32, 8}, ShOffField{32, 4, 40, 8},
    PhEntSizeField{42, 2, 54, 2}, PhNumField{44, 2, 56, 2}, ShEntSizeField{46, 2, 58, 2},
    ShNumField{48, 2, 60, 2}, ShStrNdxField{50, 2, 62, 2};
constexpr Field PTypeField{0, 4, 0, 4}, POffsetField{4, 4, 8, 8}, PVaddrField{8, 4, 16, 8},
    PPaddrField{12, 4, 24, 8}, PFileszField{16, 4, 32, 8}, PMemszField{20, 4, 40, 8};
constexpr Field ShNameField{0, 4, 0, 4}, ShTypeField{4, 4, 4, 4}, ShFlagsField{8, 4, 8, 8},
    ShAddrField{12, 4, 16, 8}, ShOffsetField{16, 4, 24, 8}, ShSizeField{20, 4, 32, 8},
    ShLinkField{24, 4, 40, 4}, ShInfoField{28, 4, 44, 4};
constexpr uint64_t HeaderSize[2] = {52, 64};
constexpr uint64_t SegmentEntrySize[2] = {32, 56};
constexpr uint64_t SectionEntrySize[2] = {40, 64};

struct File {
    const uint8_t* bytes;
    size_t size;
    bool wide; // 64-bit
    bool big;  // big-endian
};

// A field of the header or table entry at at, in the file's class and byte order.
uint64_t fieldAt(const File& file, const uint8_t* at, const Field& field) {
    const size_t width = file.wide ? field.width64 : field.width32;
    const uint8_t* p = at + (file.wide ? field.at64 : field.at32);
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value = value << 8 | p[file.big ? i : width - 1 - i];
    }
    return value;
}

// The range lies within the file.
bool holds(const File& file, uint64_t offset, uint64_t length) {
    return offset <= file.size && length <= file.size - offset;
}

struct Segment {
    uint32_t type = 0;
    uint64_t offset = 0, vaddr = 0, paddr = 0, filesz = 0, memsz = 0;
};

struct Section {
    uint32_t name = 0, type = 0, link = 0, info = 0;
    uint64_t flags = 0, addr = 0, offset = 0, size = 0;
};

struct Table {
    uint64_t offset = 0;
    uint64_t entrySize = 0;
    uint64_t count = 0;
};

struct Layout {
    Table segments;
    Table sections;
    uint64_t names = 0; // the index of the section that holds the section names
    uint64_t entry = 0;
    uint16_t type = 0;
};

Segment segmentAt(const File& file, const Table& table, uint64_t index) {
    const uint8_t* at = file.bytes + table.offset + index * table.entrySize;
    return {static_cast<uint32_t>(fieldAt(file, at, PTypeField)),
            fieldAt(file, at, POffsetField),
            fieldAt(file, at, PVaddrField),
            fieldAt(file, at, PPaddrField),
            fieldAt(file, at, PFileszField),
            fieldAt(file, at, PMemszField)};
}

Section sectionAt(const File& file, const Table& table, uint64_t index) {
    const uint8_t* at = file.bytes + table.offset + index * table.entrySize;
    Section s;
    s.name = static_cast<uint32_t>(fieldAt(file, at, ShNameField));
    s.type = static_cast<uint32_t>(fieldAt(file, at, ShTypeField));
    s.flags = fieldAt(file, at, ShFlagsField);
    s.addr = fieldAt(file, at, ShAddrField);
    s.offset = fieldAt(file, at, ShOffsetField);
    s.size = fieldAt(file, at, ShSizeField);
    s.link = static_cast<uint32_t>(fieldAt(file, at, ShLinkField));
    s.info = static_cast<uint32_t>(fieldAt(file, at, ShInfoField));
    return s;
}

struct Reader {
    File file;
    MemoryImage::Image& image;
    ImageProblem::List& problems;
};

void note(Reader& reader, Code code, uint8_t what, uint64_t a, uint64_t b = 0, uint64_t c = 0) {
    ImageProblem::Problem problem;
    problem.code = code;
    problem.what = what;
    problem.a = a;
    problem.b = b;
    problem.c = c;
    ImageProblem::add(reader.problems, problem);
}

void notAnImage(Reader& reader, ImageFormat::Kind kind) {
    note(reader, Code::NotAnImage, static_cast<uint8_t>(kind), 0);
}

// The identification bytes: class, byte order, version; then the header must fit.
bool readIdent(Reader& reader) {
    const uint8_t* bytes = reader.file.bytes;
    const size_t size = reader.file.size;
    const uint8_t values[3] = {size > 4 ? bytes[4] : uint8_t{0}, size > 5 ? bytes[5] : uint8_t{0},
                               size > 6 ? bytes[6] : uint8_t{0}};
    const bool wide = values[0] == 2;
    if (size < HeaderSize[wide]) {
        note(reader, Code::ElfCutShort, static_cast<uint8_t>(ElfPart::Header), 0, HeaderSize[wide],
             size);
        return false;
    }
    const uint8_t highest[3] = {2, 2, 1};
    for (uint8_t i = 0; i < 3; ++i) {
        if (values[i] == 0 || values[i] > highest[i]) {
            note(reader, Code::ElfBadIdent, i, values[i]);
            return false;
        }
    }
    reader.file.wide = wide;
    reader.file.big = values[1] == 2;
    return true;
}

bool checkTable(Reader& reader, const Table& table, ElfPart part, uint64_t leastEntry) {
    if (table.count == 0) {
        return true;
    }
    if (table.entrySize < leastEntry) {
        note(reader, Code::ElfSmallEntries, static_cast<uint8_t>(part), table.entrySize,
             leastEntry);
        return false;
    }
    // A count from section 0 may be as wide as 64 bits.
    const uint64_t bytes =
        table.count > UINT64_MAX / table.entrySize ? UINT64_MAX : table.count * table.entrySize;
    if (!holds(reader.file, table.offset, bytes)) {
        note(reader, Code::ElfCutShort, static_cast<uint8_t>(part), table.offset, bytes,
             reader.file.size);
        return false;
    }
    return true;
}

// Section 0 holds the counts and the index that do not fit the header's 16 bits.
bool readLayout(Reader& reader, Layout& layout) {
    const File& file = reader.file;
    const uint8_t* header = file.bytes;
    layout.type = static_cast<uint16_t>(fieldAt(file, header, {16, 2, 16, 2}));
    layout.entry = fieldAt(file, header, EntryField);
    layout.segments = {fieldAt(file, header, PhOffField), fieldAt(file, header, PhEntSizeField),
                       fieldAt(file, header, PhNumField)};
    layout.sections = {fieldAt(file, header, ShOffField), fieldAt(file, header, ShEntSizeField),
                       fieldAt(file, header, ShNumField)};
    layout.names = fieldAt(file, header, ShStrNdxField);
    const bool extended = layout.sections.count == 0 || layout.segments.count == ExtendedNumber ||
                          layout.names == ExtendedNumber;
    if (extended && layout.sections.offset != 0) {
        Table first = layout.sections;
        first.count = 1;
        if (!checkTable(reader, first, ElfPart::SectionHeaders, SectionEntrySize[file.wide])) {
            return false;
        }
        const Section zero = sectionAt(file, first, 0);
        layout.sections.count = layout.sections.count == 0 ? zero.size : layout.sections.count;
        layout.segments.count =
            layout.segments.count == ExtendedNumber ? zero.info : layout.segments.count;
        layout.names = layout.names == ExtendedNumber ? zero.link : layout.names;
    }
    if (layout.sections.offset == 0) {
        layout.sections.count = 0;
    }
    return checkTable(reader, layout.segments, ElfPart::ProgramHeaders,
                      SegmentEntrySize[file.wide]) &&
           checkTable(reader, layout.sections, ElfPart::SectionHeaders,
                      SectionEntrySize[file.wide]);
}

// Linkers that leave every physical address zero give no load addresses apart from the virtual
// ones; with more than one loaded segment, objcopy then takes each section's own address.
bool physicalAddressesMissing(const File& file, const Table& segments) {
    uint64_t loaded = 0;
    for (uint64_t i = 0; i < segments.count; ++i) {
        const Segment segment = segmentAt(file, segments, i);
        if (segment.paddr != 0) {
            return false;
        }
        loaded += segment.type == SegmentLoad && segment.memsz != 0 ? 1 : 0;
    }
    return loaded > 1;
}

bool spans(const Segment& segment, const Section& section) {
    return section.offset >= segment.offset &&
           section.offset - segment.offset + section.size <= segment.filesz &&
           section.addr >= segment.vaddr &&
           section.addr - segment.vaddr + section.size <= segment.memsz;
}

// The first segment that holds the section, by its place in the file and in memory: PT_LOAD, or
// PT_TLS for thread-local data.
uint64_t loadAddress(const File& file, const Table& segments, const Section& section) {
    const uint32_t wanted = (section.flags & FlagTls) != 0 ? SegmentTls : SegmentLoad;
    for (uint64_t i = 0; i < segments.count; ++i) {
        const Segment segment = segmentAt(file, segments, i);
        if (segment.type == wanted && spans(segment, section)) {
            return segment.paddr + (section.offset - segment.offset);
        }
    }
    return section.addr;
}

std::string_view sectionName(const File& file, const Layout& layout, const Section& section) {
    if (layout.names == 0 || layout.names >= layout.sections.count) {
        return {};
    }
    const Section names = sectionAt(file, layout.sections, layout.names);
    if (!holds(file, names.offset, names.size) || section.name >= names.size) {
        return {};
    }
    const char* start = reinterpret_cast<const char*>(file.bytes + names.offset + section.name);
    const size_t room = static_cast<size_t>(names.size - section.name);
    const void* end = std::memchr(start, '\0', room);
    return {start,
            end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - start) : room};
}

bool loadable(const Section& section) {
    return (section.flags & FlagAlloc) != 0 && section.type != SectionNull &&
           section.type != SectionNoBits && section.size > 0;
}

void takeSection(Reader& reader, const Layout& layout, const Section& section, bool byVirtual) {
    const File& file = reader.file;
    MemoryImage::Image& image = reader.image;
    image.names.push_back(sectionName(file, layout, section));
    if (!holds(file, section.offset, section.size)) {
        ImageProblem::Problem problem;
        problem.code = Code::ElfCutShort;
        problem.what = static_cast<uint8_t>(ElfPart::SectionContents);
        problem.a = section.offset;
        problem.b = section.size;
        problem.c = file.size;
        ImageProblem::setName(problem.at, image.names.back().data(), image.names.back().size());
        ImageProblem::add(reader.problems, problem);
        return;
    }
    MemoryImage::Run run;
    run.address = byVirtual ? section.addr : loadAddress(file, layout.segments, section);
    run.data = file.bytes + section.offset;
    run.size = static_cast<uint32_t>(section.size); // within the file, so at most 64 MiB
    run.offset = static_cast<uint32_t>(section.offset);
    run.section = static_cast<uint32_t>(image.names.size() - 1);
    image.runs.push_back(run);
}

bool readSections(Reader& reader, const Layout& layout) {
    if (layout.type == TypeRelocatable || layout.type == TypeCore) {
        notAnImage(reader, layout.type == TypeCore ? ImageFormat::Kind::ElfCore
                                                   : ImageFormat::Kind::ElfObject);
        return false;
    }
    if (layout.sections.count == 0) {
        notAnImage(reader, ImageFormat::Kind::ElfNoSections);
        return false;
    }
    const uint32_t before = reader.problems.count;
    const bool byVirtual = physicalAddressesMissing(reader.file, layout.segments);
    reader.image.names.push_back({}); // index 0: no section
    for (uint64_t i = 1; i < layout.sections.count; ++i) {
        const Section section = sectionAt(reader.file, layout.sections, i);
        if (loadable(section)) {
            takeSection(reader, layout, section, byVirtual);
        }
    }
    if (reader.problems.count == before && reader.image.runs.empty()) {
        notAnImage(reader, ImageFormat::Kind::ElfNoData);
    }
    return reader.problems.count == before;
}

} // namespace

bool read(const uint8_t* bytes, size_t size, MemoryImage::Image& image,
          ImageProblem::List& problems) {
    MemoryImage::clear(image);
    Reader reader{{bytes, size, false, false}, image, problems};
    Layout layout;
    if (!readIdent(reader) || !readLayout(reader, layout) || !readSections(reader, layout)) {
        return false;
    }
    image.entry = layout.entry;
    return true;
}

} // namespace ElfImage
