#include "app/prepare_session.h"

#include "ledger/ledger_record.h"
#include "os/ascii_text.h"
#include "protocol/wire_format.h"
#include "report/entry_report.h"
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
    if (AsciiText::equalIgnoringCase(portArgument, "AUTO")) {
        if (const char* chosen = PortDiscovery::choosePort(PortChoiceMode::Automatic)) {
            return chosen;
        }
    }
    return PortDiscovery::choosePort(PortChoiceMode::Manual);
}

PrepareResult stop(EndReason reason) {
    EntryReport::current().stopped(reason);
    return PrepareResult::Stop;
}

} // namespace

PrepareResult prepareSession(int argc, char** argv, UpdateRequest& request) {
    request = UpdateRequest{};
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "uartflash";
    const EntryReporter& report = EntryReport::current();
    report.banner(program, UARTFLASH_VERSION);
    if (argc != 6) {
        report.usage(program);
        return stop(EndReason::Usage);
    }
    EndReason refusal = EndReason::Done;
    if (!checkUpdateArguments(argv[3], argv[4], argv[5], request, refusal)) {
        return stop(refusal);
    }
    if (!LedgerRecord::openAsked()) {
        return stop(EndReason::LedgerRefused);
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
