#include "report/update_arguments.h"

#include "report/entry_report.h"
#include "serial/decimal.h"
#include "session/firmware_image.h"

#include <cstring>

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
    return FirmwareImage::check(imagePath);
}

int32_t readBaudRate(const char* text) {
    DecimalReading reading;
    while (*text != '\0' && takeDecimalCharacter(reading, static_cast<unsigned char>(*text))) {
        ++text;
    }
    return decimalValue(reading);
}
