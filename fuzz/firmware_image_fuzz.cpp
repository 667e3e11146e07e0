// Checks arbitrary bytes as a firmware image and, when they are accepted, hands the image out
// the way the upload session does. Accepted or not must agree with an independent reading of
// the bytes, and what goes out must be exactly the file's lines (or, for an image converted or
// split, the lines of the records made from it), each a whole S-record.
//
// Input: the file's bytes, as they are.
#include "session/firmware_image.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

constexpr char Canary = static_cast<char>(0xA5);

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// The lines as a reader independent of the tool sees them: any of LF, CR LF or CR ends one,
// Ctrl-Z bytes at the very end are not part of the text.
std::vector<std::string> splitLines(const uint8_t* data, size_t size) {
    while (size > 0 && data[size - 1] == 0x1A) {
        --size;
    }
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c != '\n' && c != '\r') {
            line.push_back(c);
            continue;
        }
        if (c == '\r' && i + 1 < size && data[i + 1] == '\n') {
            ++i;
        }
        lines.push_back(line + "\n");
        line.clear();
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

int hex(char c) {
    const char* digits = "0123456789ABCDEF0123456789abcdef";
    const char* at = std::strchr(digits, c);
    return c != '\0' && at != nullptr ? static_cast<int>((at - digits) % 16) : -1;
}

// A sent record: "S", a type other than 4, hex pairs whose count and checksum agree.
bool wholeRecord(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
        text.pop_back();
    }
    if (text.size() < 4 || text[0] != 'S' || text[1] < '0' || text[1] > '9' || text[1] == '4' ||
        text.size() % 2 != 0) {
        return false;
    }
    unsigned sum = 0;
    std::vector<unsigned> bytes;
    for (size_t i = 2; i < text.size(); i += 2) {
        if (hex(text[i]) < 0 || hex(text[i + 1]) < 0) {
            return false;
        }
        bytes.push_back(static_cast<unsigned>(hex(text[i]) * 16 + hex(text[i + 1])));
        sum += bytes.back();
    }
    return bytes[0] + 1 == bytes.size() && (sum & 0xFFu) == 0xFFu;
}

bool blank(const std::string& line) {
    return line.find_first_not_of(" \t\n") == std::string::npos;
}

// Hands the accepted image out as the session does and compares every record with the lines.
void sendAll(const std::vector<std::string>& lines) {
    sessionState.productId = "KORVA";
    sessionState.firmwarePath = "fuzz.srec";
    check(FirmwareImage::rewind());
    check(FirmwareImage::lineCount() == lines.size());
    size_t taken = 0;
    size_t ends = 0;
    for (;;) {
        std::memset(sessionState.updateArgs, Canary, sizeof sessionState.updateArgs);
        const LineOutcome outcome = FirmwareImage::nextLine();
        if (outcome == LineOutcome::EndOfFile) {
            break;
        }
        check(taken < lines.size());
        const std::string& line = lines[taken++];
        const bool sent = outcome == LineOutcome::Record;
        check(sent == (line.size() >= ImageCheck::ShortestRecord && !blank(line)));
        if (sent) {
            check(line == sessionState.recordText && wholeRecord(line));
            ends += line[1] >= '7' ? 1 : 0;
        }
        for (char c : sessionState.updateArgs) {
            check(c == Canary);
        }
    }
    check(taken == lines.size() && ends == 1 && FirmwareImage::atEnd());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The problems, the heading and the times go to the console; it would dominate the run time.
    return std::freopen("/dev/null", "w", stdout) == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool accepted =
        FirmwareImage::loadBytes("fuzz.srec", reinterpret_cast<const char*>(data), size);
    const ImageCheck::Report& report = FirmwareImage::report();
    check(accepted == (report.problemCount == 0 && !report.onlyBlank));
    const bool asRead =
        report.source.format == ImageFormat::Format::SRecords && !report.source.converted;
    if (!accepted) {
        if (asRead) {
            check(report.summary.lineCount == splitLines(data, size).size());
        }
        check(!FirmwareImage::rewind()); // nothing of a refused image may go out
        return 0;
    }
    const std::span<const char> sent = FirmwareImage::sentText();
    check(!asRead || sent.data() == FirmwareImage::fileBytes().data()); // sent as it stands
    const std::vector<std::string> lines =
        asRead ? splitLines(data, size)
               : splitLines(reinterpret_cast<const uint8_t*>(sent.data()), sent.size());
    check(report.summary.lineCount == lines.size());
    sendAll(lines);
    return 0;
}
