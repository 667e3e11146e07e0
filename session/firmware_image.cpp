#include "session/firmware_image.h"

#include "os/file_read.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace FirmwareImage {

namespace {

struct Snapshot {
    std::vector<char> bytes; // the file as read at start; never read again
    const char* path = "";
    bool loaded = false;
    size_t cursor = 0; // the next line to hand out
    ImageCheck::Report report;
};

Snapshot image;

void printTimeOfDay(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    const std::tm* parts = std::localtime(&now);
    if (parts != nullptr) {
        local = *parts;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    std::printf(format, text);
}

bool readRefused(const char* path, Os::FileReadResult result) {
    switch (result) {
    case Os::FileReadResult::Ok:
        return false;
    case Os::FileReadResult::Unreadable:
        std::printf("Error: Could not open [%s]\n", path);
        break;
    case Os::FileReadResult::NotAFile:
        std::printf("Error: [%s] is a directory or a device, not a firmware file\n", path);
        break;
    case Os::FileReadResult::TooLarge:
        std::printf("Error: [%s] is larger than %u MiB, too large for a firmware image\n", path,
                    static_cast<unsigned>(MaxImageBytes >> 20));
        break;
    case Os::FileReadResult::NoData:
        std::printf("Error: Nothing came through [%s] within %u s (a pipe nobody writes to?)\n",
                    path, static_cast<unsigned>(Os::PipeSilenceLimitMs / 1000));
        break;
    }
    return true;
}

void printFindings(const char* path, const ImageCheck::Report& report) {
    const uint32_t shown = report.problemCount < ImageCheck::ReportedProblems
                               ? report.problemCount
                               : static_cast<uint32_t>(ImageCheck::ReportedProblems);
    for (uint32_t i = 0; i < shown; ++i) {
        const ImageCheck::Finding& finding = report.findings[i];
        char what[160];
        ImageCheck::describe(finding, what, sizeof what);
        if (finding.line != 0) {
            std::printf("Error: Line %u of [%s]: %s\n", finding.line, path, what);
        } else {
            std::printf("Error: [%s]: %s\n", path, what);
        }
    }
    if (report.problemCount > shown) {
        std::printf("and %u more\n", report.problemCount - shown);
    }
}

// A DOS editor's Ctrl-Z marks the end of the text; what follows it is not part of the image.
size_t withoutEndMark(const char* bytes, size_t size) {
    while (size > 0 && bytes[size - 1] == '\x1A') {
        --size;
    }
    return size;
}

bool accept(const char* path) {
    image.bytes.resize(withoutEndMark(image.bytes.data(), image.bytes.size()));
    ImageCheck::check(image.bytes.data(), image.bytes.size(), image.report);
    if (image.report.onlyBlank) {
        std::printf("\nError: Invalid file size <%s>\r\n", path);
    } else if (image.report.problemCount > 0) {
        printFindings(path, image.report);
    } else {
        image.path = path;
        image.loaded = true;
        return true;
    }
    unload();
    return false;
}

} // namespace

bool load(const char* path) {
    unload();
    int error = 0;
    const Os::FileReadResult result = Os::readWholeFile(path, MaxImageBytes, image.bytes, error);
    if (readRefused(path, result)) {
        unload();
        return false;
    }
    return accept(path);
}

bool loadBytes(const char* path, const char* bytes, size_t size) {
    unload();
    image.bytes.assign(bytes, bytes + size);
    return accept(path);
}

const ImageCheck::Report& report() {
    return image.report;
}

void unload() {
    image.bytes.clear();
    image.loaded = false;
    image.cursor = 0;
}

int open() {
    if (!image.loaded) {
        std::printf("\nError: Failed to open file <%s>\r\n", sessionState.firmwarePath);
        return 0;
    }
    image.cursor = 0;
    sessionState.lineCount = image.report.summary.lineCount;
    std::printf("\nUploading File: <%s>\r\n", sessionState.firmwarePath);
    std::printf("For product <%s>\n", sessionState.productId);
    std::printf(".Ctrl C aborts.\r\n\r\n");
    printTimeOfDay("\n\t%s\n");
    return 1;
}

LineOutcome nextLine() {
    ImageCheck::LineSpan line;
    sessionState.recordText[0] = '\0';
    if (!image.loaded ||
        !ImageCheck::nextLine(image.bytes.data(), image.bytes.size(), image.cursor, line)) {
        return LineOutcome::EndOfFile;
    }
    const char* text = image.bytes.data() + line.start;
    if (!ImageCheck::isSent(text, line)) {
        return LineOutcome::Skipped;
    }
    // The check refused every sent line that would not fit, so the copy is never cut.
    std::memcpy(sessionState.recordText, text, line.length);
    size_t end = line.length;
    if (line.hasEnd) {
        sessionState.recordText[end++] = '\n';
    }
    sessionState.recordText[end] = '\0';
    return LineOutcome::Record;
}

bool atEnd() {
    return image.cursor >= image.bytes.size();
}

void close() {
    sessionState.fileOpen = 0;
}

void finish() {
    close();
    printTimeOfDay("\n\t\t\t\t%s\n");
}

} // namespace FirmwareImage
