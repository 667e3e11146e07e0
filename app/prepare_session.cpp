#include "app/prepare_session.h"

#include "protocol/wire_format.h"
#include "serial/port_discovery.h"
#include "session/firmware_image.h"
#include "session/report.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* ProgramVersion = UARTFLASH_VERSION;

void printBanner(const char* program) {
    std::printf("\n+------------------------------------------+\n");
    std::printf("| %s for ARM firmware\n", program);
    std::printf("| Version %s\n", ProgramVersion);
    std::printf("+------------------------------------------+\n\n");
}

void printUsage(const char* program) {
    std::printf("ERROR: Missing Arguments!\n");
    printValidUse(program);
}

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

} // namespace

void printValidUse(const char* program) {
    std::printf("  Valid Use:\n");
    std::printf("> %s  <COM PORT> <Baud Rate> <Product ID> <Device> <Filename.srec>\n\n", program);
    std::printf("Example: %s COM1 115200 KORVA ARM korva.srec", program);
}

int32_t readBaudRate(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude <= INT32_MAX ? magnitude * 10 + (*text - '0') : magnitude;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    return static_cast<int32_t>(value < INT32_MIN   ? INT32_MIN
                                : value > INT32_MAX ? INT32_MAX
                                                    : value);
}

namespace {

PrepareResult stop(EndReason reason) {
    Report::end(reason);
    return PrepareResult::Stop;
}

} // namespace

PrepareResult prepareSession(int argc, char** argv, UpdateRequest& request) {
    request = UpdateRequest{};
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "uartflash";
    printBanner(program);
    if (argc != 6) {
        printUsage(program);
        return stop(EndReason::Usage);
    }
    if (!FirmwareImage::load(argv[5])) {
        return stop(EndReason::FileRefused);
    }
    const DeviceKind kind = deviceFromWord(argv[4]);
    if (kind == DeviceKind::None) {
        std::printf("%s Device not recognised\n", argv[4]);
        std::printf("Supported devices:\n");
        std::printf("\tARM\n");
        return stop(EndReason::Usage);
    }
    request.device = kind;
    const size_t productIdLength = std::strlen(argv[3]);
    if (productIdLength > MaxProductIdLength) {
        std::printf("Error: Product ID is %zu characters long; at most %zu fit\n", productIdLength,
                    MaxProductIdLength);
        return stop(EndReason::Usage);
    }
    const uint32_t rate = static_cast<uint32_t>(readBaudRate(argv[2]));
    const char* chosen = choosePortFor(argv[1]);
    if (chosen == nullptr) {
        std::printf("\r\nError: Failed to detect any Com ports!\r\n");
        return stop(EndReason::NoPort);
    }
    request.portName = chosen;
    request.baudRate = rate;
    request.productId = argv[3];
    request.imagePath = argv[5];
    return PrepareResult::Proceed;
}
