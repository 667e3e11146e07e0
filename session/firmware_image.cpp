#include "session/firmware_image.h"

#include "os/file_read.h"
#include "os/file_write.h"
#include "os/sha256.h"
#include "session/report.h"
#include "session/session_state.h"

#include <cstring>
#include <vector>

namespace FirmwareImage {

namespace {

struct Snapshot {
    std::vector<char> bytes;     // the file as read at start; never read again
    std::vector<char> converted; // the records made from it, when it was not sent as it stands
    std::span<const char> sent;  // what is checked and sent: into bytes or converted
    const char* path = "";
    bool loaded = false;
    Os::FileReadResult readResult = Os::FileReadResult::Unreadable; // of the last read
    bool fromPipe = false;
    size_t cursor = 0; // the next line to hand out
    ImageCheck::Report report;
    // Each made once, when first asked for: a station's page asks five times a second.
    std::string fileSha256;
    std::string sentSha256;
};

Snapshot image;
ImageSource source = ImageSource::NamedFile;
ImageConversion::Options conversion;
Origin toldOrigin; // a parent's word on the file; empty sha256: none

const std::string& hashOf(std::span<const char> bytes, std::string& kept) {
    if (kept.empty()) {
        Os::sha256Hex(bytes.data(), bytes.size(), kept);
    }
    return kept;
}

bool readRefused(const char* path, Os::FileReadResult result) {
    if (result == Os::FileReadResult::Ok) {
        return false;
    }
    Report::current().fileUnreadable(path, result);
    return true;
}

bool accept(const char* path) {
    const bool accepted = ImageConversion::prepare(image.bytes, path, conversion, image.converted,
                                                   image.sent, image.report);
    if (accepted) {
        image.path = path;
        image.loaded = true;
        return true;
    }
    if (image.report.onlyBlank) {
        Report::current().imageEmpty(path);
    } else {
        Report::current().imageProblems(path, image.report);
    }
    unload();
    return false;
}

} // namespace

Origin origin() {
    if (!toldOrigin.sha256.empty()) {
        return toldOrigin;
    }
    const std::span<const char> file = fileBytes();
    return {image.report.source.format, hashOf(file, image.fileSha256), file.size()};
}

std::string sentSha256() {
    return hashOf(sentText(), image.sentSha256);
}

void setOrigin(const Origin& told) {
    toldOrigin = told;
}

std::string originText(const Origin& told) {
    return std::string(ImageFormat::word(told.format)) + ":" + told.sha256 + ":" +
           std::to_string(told.bytes);
}

bool originFromText(const char* text, Origin& told) {
    const std::string whole = text;
    const size_t first = whole.find(':');
    const size_t second = whole.find(':', first == std::string::npos ? first : first + 1);
    if (first == std::string::npos || second == std::string::npos || second - first - 1 != 64) {
        return false;
    }
    const std::string word = whole.substr(0, first);
    const std::string digits = whole.substr(second + 1);
    if (digits.empty() || digits.size() > 19 ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        !ImageFormat::fromWord(word.c_str(), told.format)) {
        return false;
    }
    told.sha256 = whole.substr(first + 1, 64);
    told.bytes = std::stoull(digits);
    return true;
}

void setSource(ImageSource replacement) {
    source = replacement;
}

void setConversion(const ImageConversion::Options& options) {
    conversion = options;
}

Os::FileReadResult read(const char* path) {
    unload();
    int error = 0;
    if (source == ImageSource::StandardInput) {
        image.readResult = Os::readStandardInput(MaxImageBytes, image.bytes, error);
        return image.readResult;
    }
    image.fromPipe = Os::isPipe(path);
    image.readResult = Os::readWholeFile(path, MaxImageBytes, image.bytes, error);
    return image.readResult;
}

bool check(const char* path) {
    if (readRefused(path, image.readResult)) {
        unload();
        return false;
    }
    return accept(path);
}

bool load(const char* path) {
    read(path);
    return check(path);
}

bool loadBytes(const char* path, const char* bytes, size_t size) {
    unload();
    image.bytes.assign(bytes, bytes + size);
    return accept(path);
}

const ImageCheck::Report& report() {
    return image.report;
}

std::span<const char> fileBytes() {
    return image.loaded ? std::span<const char>(image.bytes) : std::span<const char>();
}

std::span<const char> sentText() {
    return image.loaded ? image.sent : std::span<const char>();
}

bool saveSentText(const char* path, int& error) {
    error = 0;
    return image.loaded && Os::writeWholeFile(path, image.sent.data(), image.sent.size(), error);
}

bool cameThroughPipe() {
    return image.fromPipe;
}

void unload() {
    image.readResult = Os::FileReadResult::Unreadable;
    image.fromPipe = false;
    image.bytes.clear();
    image.converted.clear();
    image.sent = {};
    image.fileSha256.clear();
    image.sentSha256.clear();
    image.loaded = false;
    image.cursor = 0;
}

bool rewind() {
    image.cursor = 0;
    return image.loaded;
}

uint32_t lineCount() {
    return image.loaded ? image.report.summary.lineCount : 0;
}

LineOutcome nextLine() {
    ImageCheck::LineSpan line;
    sessionState.recordText[0] = '\0';
    if (!image.loaded ||
        !ImageCheck::nextLine(image.sent.data(), image.sent.size(), image.cursor, line)) {
        return LineOutcome::EndOfFile;
    }
    const char* text = image.sent.data() + line.start;
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
    return image.cursor >= image.sent.size();
}

} // namespace FirmwareImage
