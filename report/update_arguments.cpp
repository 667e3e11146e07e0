#include "report/update_arguments.h"

#include "report/entry_report.h"
#include "serial/decimal.h"
#include "session/firmware_image.h"

#include <cstring>
#include <string>

namespace {

std::string releasedSha256; // empty: any image

// The file as read is the one released: its hash, as sha256sum prints it, is the one required.
bool isReleased(const char* imagePath) {
    if (releasedSha256.empty()) {
        return true;
    }
    const std::string actual = FirmwareImage::origin().sha256;
    if (actual == releasedSha256) {
        return true;
    }
    EntryReport::current().imageNotReleased(imagePath, actual.c_str(), releasedSha256.c_str());
    return false;
}

} // namespace

bool checkUpdateArguments(const char* productId, const char* deviceWord, const char* imagePath,
                          UpdateRequest& request, EndReason& refusal) {
    const EntryReporter& report = EntryReport::current();
    // The file is read once, here; of its problems only "cannot be opened" comes before the
    // other arguments are checked, as it always has.
    refusal = EndReason::FileRefused;
    if (FirmwareImage::read(imagePath) == Os::FileReadResult::Unreadable) {
        Report::current().fileUnreadable(imagePath, Os::FileReadResult::Unreadable);
        return false;
    }
    refusal = EndReason::Usage;
    request.device = deviceFromWord(deviceWord);
    if (request.device == DeviceKind::None) {
        report.unknownDevice(deviceWord);
        return false;
    }
    const size_t productIdLength = std::strlen(productId);
    if (productIdLength > MaxProductIdLength) {
        report.productIdTooLong(productIdLength, MaxProductIdLength);
        return false;
    }
    refusal = EndReason::FileRefused;
    return FirmwareImage::check(imagePath) && isReleased(imagePath);
}

namespace UpdateArguments {

void requireImage(const std::string& sha256Hex) {
    releasedSha256 = sha256Hex;
}

} // namespace UpdateArguments

int32_t readBaudRate(const char* text) {
    DecimalReading reading;
    while (*text != '\0' && takeDecimalCharacter(reading, static_cast<unsigned char>(*text))) {
        ++text;
    }
    return decimalValue(reading);
}
