#include "session/firmware_image.h"

#include "session/firmware_check.h"
#include "session/session_state.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace FirmwareImage {

namespace {

int lastReadError = 0;

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

// Reads one character with a carriage return before a line feed dropped, so CR LF files read
// the same as LF files on every platform (the file is opened in binary mode).
int readChar(std::FILE* file) {
    int c = std::getc(file);
    if (c != '\r') {
        return c;
    }
    int next = std::getc(file);
    if (next == '\n') {
        return '\n';
    }
    if (next != EOF) {
        std::ungetc(next, file);
    }
    return c;
}

void closeFile() {
    std::fclose(sessionState.firmwareFile);
    sessionState.firmwareFile = nullptr;
}

bool countAndCheck() {
    const char* path = sessionState.firmwarePath;
    const FirmwareCheck::ScanReport report = FirmwareCheck::scan(sessionState.firmwareFile);
    sessionState.lineCount = report.lineCount;
    const auto line = static_cast<unsigned long>(report.lineNumber);
    switch (report.result) {
    case FirmwareCheck::LineScan::Unreadable:
        std::printf("\nError: Failed to read file <%s>\r\n", path);
        break;
    case FirmwareCheck::LineScan::Overlong:
        std::printf("\nError: Line %lu is longer than 409 characters in file <%s>\r\n", line, path);
        break;
    case FirmwareCheck::LineScan::HoldsNul:
        std::printf("\nError: Line %lu holds a NUL byte in file <%s>\r\n", line, path);
        break;
    case FirmwareCheck::LineScan::AllFit:
        if (report.lineCount > 0) {
            return true;
        }
        std::printf("\nError: Invalid file size <%s>\r\n", path);
        break;
    }
    closeFile();
    return false;
}

} // namespace

int open() {
    sessionState.lineCount = 0;
    lastReadError = 0;
    sessionState.firmwareFile = std::fopen(sessionState.firmwarePath, "rb");
    if (sessionState.firmwareFile == nullptr) {
        std::printf("\nError: Failed to open file <%s>\r\n", sessionState.firmwarePath);
        return 0;
    }
    if (!countAndCheck()) {
        return 0;
    }
    std::rewind(sessionState.firmwareFile);
    std::printf("\nUploading File: <%s>\r\n", sessionState.firmwarePath);
    std::printf("For product <%s>\n", sessionState.productId);
    std::printf(".Ctrl C aborts.\r\n\r\n");
    printTimeOfDay("\n\t%s\n");
    return 1;
}

LineOutcome nextLine() {
    std::FILE* file = sessionState.firmwareFile;
    char* text = sessionState.recordText;
    size_t stored = 0;
    errno = 0;
    int c;
    while ((c = readChar(file)) != EOF) {
        if (stored == FirmwareCheck::MaxLineLength || c == '\0') {
            // The file changed since it was counted; a line is never cut or sent short.
            text[0] = '\0';
            return LineOutcome::LineUnsendable;
        }
        text[stored++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    text[stored] = '\0';
    if (stored > 0) {
        return LineOutcome::Line;
    }
    if (std::feof(file) != 0) {
        return LineOutcome::EndOfFile;
    }
    lastReadError = errno;
    return LineOutcome::ReadError;
}

bool atEnd() {
    return sessionState.firmwareFile != nullptr && std::feof(sessionState.firmwareFile) != 0;
}

void close() {
    if (sessionState.firmwareFile != nullptr) {
        closeFile();
    }
    sessionState.fileOpen = 0;
}

void finish() {
    close();
    printTimeOfDay("\n\t\t\t\t%s\n");
}

int lastError() {
    return lastReadError;
}

} // namespace FirmwareImage
