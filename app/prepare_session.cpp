#include "app/prepare_session.h"

#include "protocol/wire_format.h"
#include "serial/decimal.h"
#include "serial/port_discovery.h"
#include "session/firmware_image.h"
#include "session/report.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

const char* choosePortFor(const char* portArgument) {
    if (const char* direct = PortDiscovery::directPortName(portArgument)) {
        return direct;
    }
    if (const char* serial = PortDiscovery::serialArgument(portArgument)) {
        return PortDiscovery::choosePortBySerial(serial);
    }
    if (WireFormat::equalIgnoringCase(portArgument, "AUTO")) {
        if (const char* chosen = PortDiscovery::choosePort(PortChoiceMode::Automatic)) {
            return chosen;
        }
    }
    return PortDiscovery::choosePort(PortChoiceMode::Manual);
}

PrepareResult stop(EndReason reason) {
    Report::current().stopped(reason);
    return PrepareResult::Stop;
}

} // namespace

int32_t readBaudRate(const char* text) {
    DecimalReading reading;
    while (*text != '\0' && takeDecimalCharacter(reading, static_cast<unsigned char>(*text))) {
        ++text;
    }
    return decimalValue(reading);
}

PrepareResult prepareSession(int argc, char** argv, UpdateRequest& request) {
    request = UpdateRequest{};
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "uartflash";
    const Reporter& report = Report::current();
    report.banner(program, UARTFLASH_VERSION);
    if (argc != 6) {
        report.usage(program);
        return stop(EndReason::Usage);
    }
    if (!FirmwareImage::load(argv[5])) {
        return stop(EndReason::FileRefused);
    }
    const DeviceKind kind = deviceFromWord(argv[4]);
    if (kind == DeviceKind::None) {
        report.unknownDevice(argv[4]);
        return stop(EndReason::Usage);
    }
    request.device = kind;
    const size_t productIdLength = std::strlen(argv[3]);
    if (productIdLength > MaxProductIdLength) {
        report.productIdTooLong(productIdLength, MaxProductIdLength);
        return stop(EndReason::Usage);
    }
    const uint32_t rate = static_cast<uint32_t>(readBaudRate(argv[2]));
    const char* chosen = choosePortFor(argv[1]);
    if (chosen == nullptr) {
        report.noPort();
        return stop(EndReason::NoPort);
    }
    request.portName = chosen;
    request.baudRate = rate;
    request.productId = argv[3];
    request.imagePath = argv[5];
    return PrepareResult::Proceed;
}
