#include "session/firmware_image.h"

#include "session/session_state.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace FirmwareImage {

namespace {

// The longest line a record can carry, its line feed included.
constexpr size_t MaxLineLength = RecordTextSize - 1;

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

// Counts the lines (a last line without a line feed counts too) and finds the first line
// too long for a record. Returns false on a read error.
bool countLines(std::FILE* file, uint32_t& lines, uint32_t& firstTooLong) {
    lines = 0;
    firstTooLong = 0;
    size_t length = 0;
    int c;
    while ((c = readChar(file)) != EOF) {
        ++length;
        if (length > MaxLineLength && firstTooLong == 0) {
            firstTooLong = lines + 1;
        }
        if (c == '\n') {
            ++lines;
            length = 0;
        }
    }
    if (length > 0) {
        ++lines;
    }
    return std::ferror(file) == 0;
}

void closeFile() {
    std::fclose(sessionState.firmwareFile);
    sessionState.firmwareFile = nullptr;
}

bool countAndCheck() {
    const char* path = sessionState.firmwarePath;
    uint32_t firstTooLong = 0;
    bool counted = countLines(sessionState.firmwareFile, sessionState.lineCount, firstTooLong);
    if (!counted) {
        std::printf("\nError: Failed to read file <%s>\r\n", path);
    } else if (sessionState.lineCount == 0) {
        std::printf("\nError: Invalid file size <%s>\r\n", path);
    } else if (firstTooLong != 0) {
        std::printf("\nError: Line %lu is longer than 409 characters in file <%s>\r\n",
                    static_cast<unsigned long>(firstTooLong), path);
    } else {
        return true;
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
        if (stored == MaxLineLength) {
            // The file changed since it was counted; a line is never cut into pieces.
            text[0] = '\0';
            return LineOutcome::LineTooLong;
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
