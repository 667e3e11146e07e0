// Writes arbitrary bytes to a firmware file and reads it the way the upload session does: open,
// one line per step until the counted lines are taken or the file ends, then finish. The
// pre-flight line check must judge the file as the reader does.
//
// Input: the file's bytes, as they are.
#include "session/firmware_check.h"
#include "session/firmware_image.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MaxLineLength = RecordTextSize - 1;
constexpr size_t ShortestRecord = 10; // shorter lines are counted but not sent
constexpr char Canary = static_cast<char>(0xA5);

char filePath[512];

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// What the reader must hand out: the file with every CR that stands right before an LF dropped,
// cut after each LF; a last piece without LF is a line too.
struct Expected {
    std::string text;
    std::vector<size_t> lineStarts;
    std::vector<bool> doubleReturn; // the raw file had CR CR LF at the line's end
    size_t firstUnsendable = 0;     // first line that cannot be sent, from 1; 0 when all can
    bool holdsNul = false;          // that line holds a NUL byte (else it is too long)

    size_t lineCount() const { return lineStarts.size(); }
    size_t lineEnd(size_t k) const {
        return k + 1 < lineStarts.size() ? lineStarts[k + 1] : text.size();
    }
};

Expected expect(const uint8_t* data, size_t size) {
    Expected e;
    size_t lineLength = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n') {
            continue;
        }
        if (lineLength == 0) {
            e.lineStarts.push_back(e.text.size());
            e.doubleReturn.push_back(false);
        }
        e.text.push_back(static_cast<char>(data[i]));
        ++lineLength;
        const size_t line = e.lineStarts.size();
        if (data[i] == '\0' && (e.firstUnsendable == 0 || e.firstUnsendable == line)) {
            e.firstUnsendable = line;
            e.holdsNul = true;
        }
        if (lineLength > MaxLineLength && e.firstUnsendable == 0) {
            e.firstUnsendable = line;
        }
        if (data[i] == '\n') {
            e.doubleReturn.back() = i >= 2 && data[i - 1] == '\r' && data[i - 2] == '\r';
            lineLength = 0;
        }
    }
    return e;
}

bool writeFile(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(filePath, "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

void checkLineCheck(const Expected& e) {
    const FirmwareCheck::ScanReport report = FirmwareCheck::scanFile(filePath);
    if (e.firstUnsendable == 0) {
        check(report.result == FirmwareCheck::LineScan::AllFit);
        check(report.lineCount == e.lineCount());
    } else {
        check(report.result ==
              (e.holdsNul ? FirmwareCheck::LineScan::HoldsNul : FirmwareCheck::LineScan::Overlong));
        check(report.lineNumber == e.firstUnsendable);
    }
}

// recordText holds line k exactly, NUL-terminated, and nothing was written past it.
void checkRecordText(const Expected& e, size_t k) {
    const char* text = sessionState.recordText;
    const size_t begin = e.lineStarts[k];
    const size_t length = e.lineEnd(k) - begin;
    check(length <= MaxLineLength);
    check(std::memcmp(text, e.text.data() + begin, length) == 0);
    for (size_t i = length; i < RecordTextSize; ++i) {
        check(text[i] == '\0');
    }
    for (char c : sessionState.updateArgs) {
        check(c == Canary);
    }
    // The CR before a line feed is gone; one can stay only where the file had two.
    const bool returnBeforeFeed =
        length >= 2 && text[length - 2] == '\r' && text[length - 1] == '\n';
    check(!returnBeforeFeed || e.doubleReturn[k]);
}

LineOutcome takeLine() {
    std::memset(sessionState.recordText, 0, sizeof sessionState.recordText);
    std::memset(sessionState.updateArgs, Canary, sizeof sessionState.updateArgs);
    return FirmwareImage::nextLine();
}

// As the session: a line or the end of the file counts against lineCount; the transfer also
// ends when a sent record met the end of the file.
void readAsSession(const Expected& e) {
    sessionState.linesRead = 0;
    size_t lines = 0;
    while (sessionState.linesRead < sessionState.lineCount) {
        const LineOutcome outcome = takeLine();
        if (outcome != LineOutcome::Line && outcome != LineOutcome::EndOfFile) {
            break;
        }
        ++sessionState.linesRead;
        if (outcome == LineOutcome::Line) {
            check(lines < sessionState.lineCount);
            checkRecordText(e, lines);
            ++lines;
        }
        if (std::strlen(sessionState.recordText) >= ShortestRecord && FirmwareImage::atEnd()) {
            break;
        }
    }
    // Every line went out whole and in order: together they are the file.
    check(lines == e.lineCount());
    FirmwareImage::finish();
    check(sessionState.firmwareFile == nullptr && sessionState.fileOpen == 0);
}

// A file that grew a long line after it was counted: the reader refuses that line instead of
// cutting it, after handing out every line before it whole.
void readChangedFile(const Expected& e) {
    sessionState.firmwareFile = std::fopen(filePath, "rb");
    check(sessionState.firmwareFile != nullptr);
    for (size_t k = 0; k + 1 < e.firstUnsendable; ++k) {
        check(takeLine() == LineOutcome::Line);
        checkRecordText(e, k);
    }
    check(takeLine() == LineOutcome::LineUnsendable);
    check(sessionState.recordText[0] == '\0');
    FirmwareImage::close();
    check(sessionState.firmwareFile == nullptr);
}

void removeFile() {
    std::remove(filePath);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The heading and the times go to the console; it would dominate the run time.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    const char* folder = std::getenv("TMPDIR");
    folder = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
    std::snprintf(filePath, sizeof filePath, "%s/uartflash_image_fuzz_%ld.srec", folder,
                  static_cast<long>(getpid()));
    std::atexit(removeFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check(writeFile(data, size));
    const Expected e = expect(data, size);
    checkLineCheck(e);
    sessionState.firmwarePath = filePath;
    sessionState.productId = "KORVA";
    const int opened = FirmwareImage::open();
    // The count stops at a line that cannot be sent.
    check(sessionState.lineCount ==
          (e.firstUnsendable != 0 ? e.firstUnsendable - 1 : e.lineCount()));
    if (opened == 0) {
        // Refused whole: an empty file or one with a line a record cannot carry (too long, or
        // holding a NUL byte that would cut it short).
        check(e.lineCount() == 0 || e.firstUnsendable != 0);
        check(sessionState.firmwareFile == nullptr);
        if (e.firstUnsendable != 0) {
            readChangedFile(e);
        }
        return 0;
    }
    check(e.lineCount() > 0 && e.firstUnsendable == 0);
    sessionState.fileOpen = 1;
    readAsSession(e);
    return 0;
}
