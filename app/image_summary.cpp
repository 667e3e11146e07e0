#include "app/image_summary.h"

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

} // namespace

ExitStatus check(const char* path) {
    if (!FirmwareImage::load(path)) {
        return ExitStatus::ExitNotStarted;
    }
    const ImageCheck::Summary& summary = FirmwareImage::report().summary;
    std::printf("Image [%s] is good.\n", path);
    printRecordTypes(summary);
    std::printf("  Data bytes:     %" PRIu64 "\n", summary.dataBytes);
    if (summary.dataBytes > 0) {
        std::printf("  Addresses:      0x%08X to 0x%08X\n", summary.lowestAddress,
                    summary.highestAddress);
    }
    std::printf("  Start address:  0x%08X\n", summary.startAddress);
    std::printf("  Lines:          %u (%u sent as records)\n", summary.lineCount,
                summary.sentLines);
    FirmwareImage::unload();
    return ExitStatus::ExitDone;
}

} // namespace ImageSummary
