#include "session/image_conversion.h"

#include "image/elf_image.h"
#include "image/intel_hex.h"
#include "image/raw_binary.h"
#include "image/srecord_split.h"

namespace ImageConversion {

namespace {

using ImageFormat::Format;

bool refuse(const ImageProblem::List& problems, ImageCheck::Report& report) {
    report.onlyBlank = false;
    ImageCheck::noteImageProblems(problems, report);
    return false;
}

bool refuseFile(ImageProblem::Code code, uint8_t what, ImageCheck::Report& report) {
    ImageProblem::List problems;
    ImageProblem::Problem problem;
    problem.code = code;
    problem.what = what;
    ImageProblem::add(problems, problem);
    return refuse(problems, report);
}

// The converted records are the tool's own, and checked as any others are.
bool checkConverted(const std::vector<char>& converted, std::span<const char>& sent,
                    ImageCheck::Report& report) {
    ImageCheck::check(converted.data(), converted.size(), report);
    sent = std::span<const char>(converted);
    return report.problemCount == 0 && !report.onlyBlank;
}

bool fromSRecords(std::span<const char> file, const Options& options, std::vector<char>& converted,
                  std::span<const char>& sent, ImageCheck::Report& report) {
    const size_t size = TextLines::withoutEndMark(file.data(), file.size());
    ImageCheck::check(file.data(), size, report);
    if (report.problemCount > 0 || report.onlyBlank) {
        return false;
    }
    if (report.longLines == 0) {
        sent = file.first(size);
        return true;
    }
    ImageProblem::List problems;
    if (!SRecordSplit::split(file.data(), size, options.recordBytes, converted, problems)) {
        return refuse(problems, report);
    }
    report.source.converted = true;
    report.source.recordBytes = options.recordBytes;
    report.source.splitLines = report.longLines;
    return checkConverted(converted, sent, report);
}

// Intel HEX, ELF or a raw binary into an image in memory, then into records.
bool fromImage(std::span<const char> file, const char* name, const Options& options,
               std::vector<char>& converted, std::span<const char>& sent,
               ImageCheck::Report& report) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    MemoryImage::Image image;
    ImageProblem::List problems;
    bool read = true;
    switch (report.source.format) {
    case Format::IntelHex:
        read = IntelHex::read(file.data(), TextLines::withoutEndMark(file.data(), file.size()),
                              image, problems);
        break;
    case Format::Elf:
        read = ElfImage::read(bytes, file.size(), image, problems);
        break;
    default:
        RawBinary::read(bytes, file.size(), options.base, image);
        break;
    }
    if (!read || !SRecordWriter::write(image, name, options.recordBytes, converted, problems)) {
        return refuse(problems, report);
    }
    report.source.converted = true;
    report.source.recordBytes = options.recordBytes;
    return checkConverted(converted, sent, report);
}

} // namespace

bool prepare(std::span<const char> file, const char* name, const Options& options,
             std::vector<char>& converted, std::span<const char>& sent,
             ImageCheck::Report& report) {
    report = ImageCheck::Report{};
    converted.clear();
    sent = {};
    const ImageFormat::Detection detection =
        ImageFormat::detect(file.data(), file.size(), options.hasBase);
    report.source.format = detection.format;
    if (file.empty()) {
        return false; // onlyBlank: an empty file, whatever it was meant to be
    }
    if (detection.format == Format::Unknown) {
        return refuseFile(ImageProblem::Code::NotAnImage, static_cast<uint8_t>(detection.kind),
                          report);
    }
    if (options.hasBase && detection.format != Format::RawBinary) {
        return refuseFile(ImageProblem::Code::BaseNotForFormat,
                          static_cast<uint8_t>(detection.format), report);
    }
    if (detection.format == Format::SRecords) {
        return fromSRecords(file, options, converted, sent, report);
    }
    return fromImage(file, name, options, converted, sent, report);
}

} // namespace ImageConversion
