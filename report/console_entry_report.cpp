// The command line's own texts, as the console shows them: each message carries its line ends,
// and a few end without any (the usage example, the COM prompt, "not currently supported").
#include "protocol/wire_format.h"
#include "report/entry_report.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A process list from the system, each byte shown as a product's text would be.
constexpr size_t HolderTextCapacity = 1024;

void banner(const char* program, const char* version) {
    std::printf("\n+------------------------------------------+\n");
    std::printf("| %s for ARM firmware\n", program);
    std::printf("| Version %s\n", version);
    std::printf("+------------------------------------------+\n\n");
}

void validUse(const char* program) {
    std::printf("  Valid Use:\n");
    std::printf("> %s  <COM PORT> <Baud Rate> <Product ID> <Device> <Filename.srec>\n\n", program);
    std::printf("Example: %s COM1 115200 KORVA ARM korva.srec", program);
}

void usage(const char* program) {
    std::printf("ERROR: Missing Arguments!\n");
    validUse(program);
}

void unknownDevice(const char* word) {
    std::printf("%s Device not recognised\n", word);
    std::printf("Supported devices:\n");
    std::printf("\tARM\n");
}

void productIdTooLong(size_t length, size_t limit) {
    std::printf("Error: Product ID is %zu characters long; at most %zu fit\n", length, limit);
}

void imageNotReleased(const char* path, const char* actual, const char* released) {
    std::printf("Error: %s is not the released image: its SHA-256 is %s, not %s\n", path, actual,
                released);
}

void ledgerRefused(const char* problem) {
    std::printf("Error: %s\n", problem);
}

// On standard error whatever the form, so that it is seen beside the product's own outcome.
void ledgerNotWritten(const char* problem) {
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %s\n", problem);
}

void ledgerReplaced(const char* notice) {
    std::fflush(stdout);
    std::fprintf(stderr, "Warning: %s\n", notice);
}

void portList(const PortList& list) {
    if (list.entries.empty()) {
        std::printf("\r\nError: No serial ports found\r\n");
        return;
    }
    std::printf("\r\nAvailable serial ports on your computer:\r\n");
    for (size_t i = 0; i < list.entries.size(); ++i) {
        // Descriptions come from the devices: shown, never obeyed by the terminal.
        std::string description(list.descriptions[i].size() * 4 + 1, '\0');
        description.resize(WireFormat::shownText(list.descriptions[i].c_str(), description.data(),
                                                 description.size()));
        std::printf("%s [%s]\r\n", list.entries[i].name.c_str(), description.c_str());
    }
}

void portPrompt(PortNaming naming) {
    if (naming == PortNaming::ComNumber) {
        std::printf("Enter the port number to use. For example COM1:\r\n\r\nCOM");
    } else {
        std::printf("Enter the device path of the port to use. For example /dev/ttyUSB0 or "
                    "ttyUSB0:\r\n\r\n");
    }
    std::fflush(stdout); // the COM prompt has no line end to push it out
}

void noPort() {
    std::printf("\r\nError: Failed to detect any Com ports!\r\n");
}

void portNotOpened(const char* name) {
    std::printf("\r\nCould not open %s\r\n", name);
    std::printf("Ensure it is not being used by another application.\r\n");
}

void portHeld(const char* holders) {
    if (std::strcmp(holders, "-") == 0) {
        std::printf("The port is held exclusively by another program.\r\n");
        return;
    }
    char shown[HolderTextCapacity];
    WireFormat::shownText(holders, shown, sizeof shown);
    std::printf("The port is held exclusively by another program: %s.\r\n", shown);
}

void portRefused(const char* server, PortRefusal why) {
    switch (why) {
    case PortRefusal::None:
    case PortRefusal::Stopped: // told by portOpenAborted instead
        break;
    case PortRefusal::NotHostAndPort:
        std::printf("A port on another machine is named rfc2217://HOST:PORT or "
                    "socket://HOST:PORT.\r\n");
        break;
    case PortRefusal::UnknownHost:
        std::printf("Unknown host: %s\r\n", server);
        break;
    case PortRefusal::NameServerSilent:
        std::printf("The name server did not answer for %s.\r\n", server);
        break;
    case PortRefusal::ConnectionRefused:
        std::printf("The server at %s refused the connection.\r\n", server);
        break;
    case PortRefusal::NoAnswer:
        std::printf("No connection to the server at %s (it did not answer).\r\n", server);
        break;
    case PortRefusal::NotRfc2217:
        std::printf("The server at %s does not speak RFC 2217.\r\n", server);
        break;
    case PortRefusal::SettingsNotTaken:
        std::printf("The server at %s did not take the line settings.\r\n", server);
        break;
    case PortRefusal::ConnectionClosed:
        std::printf("The server at %s closed the connection.\r\n", server);
        break;
    case PortRefusal::Failed:
        std::printf("The connection to the server at %s failed.\r\n", server);
        break;
    }
}

void portOpenAborted(const char* name) {
    std::printf("\r\nUpdate aborted while opening the port %s.\r\n", name);
}

void deviceNotSupported() {
    std::printf("ERROR: Device not currently supported!");
}

void nothingToSay(const char*) {}
void nothingToSay(EndReason) {}

} // namespace

const EntryReporter ConsoleEntryReporter{
    .banner = banner,
    .usage = usage,
    .validUse = validUse,
    .unknownDevice = unknownDevice,
    .productIdTooLong = productIdTooLong,
    .imageNotReleased = imageNotReleased,
    .ledgerRefused = ledgerRefused,
    .ledgerNotWritten = ledgerNotWritten,
    .ledgerReplaced = ledgerReplaced,
    .portList = portList,
    .portPrompt = portPrompt,
    .noPort = noPort,
    .portNotOpened = portNotOpened,
    .portHeld = portHeld,
    .portRefused = portRefused,
    .portOpenAborted = portOpenAborted,
    .portOpened = nothingToSay,
    .deviceNotSupported = deviceNotSupported,
    .stopped = nothingToSay,
};
