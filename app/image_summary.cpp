#include "app/image_summary.h"

#include "os/error_text.h"
#include "session/firmware_image.h"

#include <cinttypes>
#include <cstdio>

namespace ImageSummary {

namespace {

void printRecordTypes(const ImageCheck::Summary& summary) {
    std::printf("  Records:        ");
    const char* separator = "";
    for (int type = 0; type < 10; ++type) {
        if (summary.recordsByType[type] != 0) {
            std::printf("%sS%d %u", separator, type, summary.recordsByType[type]);
            separator = ", ";
        }
    }
    std::printf("\n");
}

// The file's format, and what the records sent are made of when they are not its lines.
void printSource(const ImageCheck::Report& report) {
    const ImageCheck::Source& source = report.source;
    std::printf("  Format:         %s", ImageFormat::name(source.format));
    if (source.format == ImageFormat::Format::RawBinary) {
        std::printf(" at 0x%08X", report.summary.lowestAddress);
    }
    if (source.splitLines > 0) {
        std::printf(", %u long line%s split into records of %u data bytes", source.splitLines,
                    source.splitLines == 1 ? "" : "s", source.recordBytes);
    } else if (source.converted) {
        std::printf(", converted to %u S-records (%u data bytes each)", report.summary.sentLines,
                    source.recordBytes);
    }
    std::printf("\n");
}

bool save(const char* savePath) {
    int error = 0;
    if (FirmwareImage::saveSentText(savePath, error)) {
        std::printf("  Saved:          %s\n", savePath);
        return true;
    }
    std::printf("Error: cannot write %s: %s\n", savePath, Os::errorText(error).c_str());
    return false;
}

} // namespace

ExitStatus check(const char* path, const char* savePath) {
    if (!FirmwareImage::load(path)) {
        return ExitStatus::ExitNotStarted;
    }
    const ImageCheck::Summary& summary = FirmwareImage::report().summary;
    std::printf("Image [%s] is good.\n", path);
    printSource(FirmwareImage::report());
    printRecordTypes(summary);
    std::printf("  Data bytes:     %" PRIu64 "\n", summary.dataBytes);
    if (summary.dataBytes > 0) {
        std::printf("  Addresses:      0x%08X to 0x%08X\n", summary.lowestAddress,
                    summary.highestAddress);
    }
    std::printf("  Start address:  0x%08X\n", summary.startAddress);
    std::printf("  Lines:          %u (%u sent as records)\n", summary.lineCount,
                summary.sentLines);
    const bool saved = savePath == nullptr || save(savePath);
    FirmwareImage::unload();
    return saved ? ExitStatus::ExitDone : ExitStatus::ExitSessionFailed;
}

} // namespace ImageSummary
