#include "serial/port_discovery.h"
#include "serial/port_group.h"

#include "serial/decimal.h"
#include "serial/network_address.h"

#include <cctype>
#include <cstring>
#include <utility>

namespace {

// What differs between "COM7" and "/dev/ttyUSB0": which names enter the list, the prompt, and
// how the typed answer becomes a name.
struct NamingRules {
    bool (*accept)(const char* portName, PortEntry& entry);
    const char* prompt;
    // Reads the answer and writes chosenName; false when there is no name to hand out.
    bool (*readChoice)(std::FILE* input, bool haveMatch);
};

char chosenName[ChosenNameSize] = {};
int32_t chosenNumber = 0;
DeviceSource activeSource = {};
bool sourceReplaced = false;
bool namingReplaced = false;
PortNaming activeNaming = PortNaming::ComNumber;
std::FILE* activeInput = nullptr;
bool exactNames = false;

const DeviceSource& source() {
    return sourceReplaced ? activeSource : PortDiscovery::platformSource();
}

PortNaming naming() {
    return namingReplaced ? activeNaming : PortDiscovery::platformNaming();
}

std::FILE* input() {
    return activeInput != nullptr ? activeInput : stdin;
}

int skipSpace(std::FILE* in) {
    int c = std::getc(in);
    while (c != EOF && std::isspace(c)) {
        c = std::getc(in);
    }
    return c;
}

// The "%d" conversion; the character that cannot continue the number stays unread.
bool readDecimal(std::FILE* in, int32_t& value) {
    DecimalReading reading;
    int c = std::getc(in);
    while (c != EOF && takeDecimalCharacter(reading, c)) {
        c = std::getc(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    value = decimalValue(reading);
    return reading.anyDigit;
}

bool acceptComName(const char* portName, PortEntry& entry) {
    if (portName == nullptr || !PortDiscovery::parseComPortName(portName, entry.number)) {
        return false;
    }
    char text[16];
    std::snprintf(text, sizeof text, "COM%d", entry.number);
    entry.name = text;
    return true;
}

bool readComChoice(std::FILE* in, bool) {
    int32_t typed = 0;
    if (readDecimal(in, typed)) {
        chosenNumber = typed;
    }
    std::snprintf(chosenName, sizeof chosenName, "COM%d", chosenNumber);
    return true;
}

bool acceptDevicePath(const char* portName, PortEntry& entry) {
    if (portName == nullptr || portName[0] == '\0' || std::strlen(portName) >= ChosenNameSize) {
        return false;
    }
    entry.number = 0;
    entry.name = portName;
    return true;
}

// A word up to the next blank; a bare name means the device of that name in /dev.
bool readPathChoice(std::FILE* in, bool haveMatch) {
    char word[ChosenNameSize];
    size_t length = 0;
    bool tooLong = false;
    int c = skipSpace(in);
    while (c != EOF && !std::isspace(c)) {
        if (length + 1 < sizeof word) {
            word[length++] = static_cast<char>(c);
        } else {
            tooLong = true;
        }
        c = std::getc(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    word[length] = '\0';
    if (length == 0 || tooLong) {
        return haveMatch; // nothing usable typed: an automatic match stands, as with "%d"
    }
    char path[ChosenNameSize];
    const int written = std::snprintf(path, sizeof path, word[0] == '/' ? "%s" : "/dev/%s", word);
    if (written < 0 || static_cast<size_t>(written) >= sizeof path) {
        return haveMatch;
    }
    std::memcpy(chosenName, path, static_cast<size_t>(written) + 1);
    return true;
}

bool isBridge(const std::string& description) {
    return description.find(BridgeMarker) != std::string::npos;
}

// The list as every choice shows it; false when there is no port to show.
bool printList(const PortList& list) {
    if (list.entries.empty()) {
        std::printf("\r\nError: No serial ports found\r\n");
        return false;
    }
    std::printf("\r\nAvailable serial ports on your computer:\r\n");
    for (size_t i = 0; i < list.entries.size(); ++i) {
        std::printf("%s [%s]\r\n", list.entries[i].name.c_str(), list.descriptions[i].c_str());
    }
    return true;
}

const NamingRules& rules() {
    static const NamingRules table[] = {
        {acceptComName, "Enter the port number to use. For example COM1:\r\n\r\nCOM",
         readComChoice},
        {acceptDevicePath,
         "Enter the device path of the port to use. For example /dev/ttyUSB0 or ttyUSB0:\r\n\r\n",
         readPathChoice},
    };
    return table[static_cast<int>(naming())];
}

// Both sequences grow together so a number is never shown with another device's description;
// running out of memory here ends the process rather than unbalancing them.
void append(PortList& list, PortEntry&& entry, const char* description) {
    list.entries.reserve(list.entries.size() + 1);
    list.descriptions.reserve(list.descriptions.size() + 1);
    list.entries.push_back(std::move(entry));
    list.descriptions.emplace_back(description != nullptr ? description : "");
}

} // namespace

namespace PortDiscovery {

bool parseComPortName(const char* text, int32_t& number) {
    if (text == nullptr || std::strlen(text) <= 3) {
        return false;
    }
    if (std::toupper(static_cast<unsigned char>(text[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(text[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(text[2])) != 'M') {
        return false;
    }
    int64_t value = 0;
    for (const char* p = text + 3; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) {
            return false;
        }
    }
    number = static_cast<int32_t>(value);
    return true;
}

bool enumeratePorts(PortList& list) {
    list.entries.clear();
    list.descriptions.clear();
    const DeviceSource& devices = source();
    if (!devices.begin()) {
        return false;
    }
    const NamingRules& naming = rules();
    while (devices.next()) {
        PortEntry entry;
        if (!naming.accept(devices.portName(), entry)) {
            continue;
        }
        // Asked only now: nothing more of a refused device is ever fetched.
        devices.identity(entry.usb);
        append(list, std::move(entry), devices.description());
    }
    devices.end();
    return true;
}

const char* choosePort(PortChoiceMode mode) {
    chosenNumber = 0;
    int matchCount = 0;
    PortList list;
    if (!enumeratePorts(list) || !printList(list)) {
        return nullptr;
    }
    for (size_t i = 0; i < list.entries.size(); ++i) {
        const PortEntry& entry = list.entries[i];
        if (mode == PortChoiceMode::Automatic && isBridge(list.descriptions[i])) {
            chosenNumber = entry.number;
            std::snprintf(chosenName, sizeof chosenName, "%s", entry.name.c_str());
            ++matchCount;
        }
    }
    // Without a bridge there is no name from this call; the caller turns to the manual choice.
    if (mode == PortChoiceMode::Automatic && matchCount == 0) {
        return nullptr;
    }
    if (mode == PortChoiceMode::Manual || matchCount > 1) {
        const NamingRules& naming = rules();
        std::printf("%s", naming.prompt);
        std::fflush(stdout);
        if (!naming.readChoice(input(), matchCount > 0)) {
            return nullptr;
        }
    }
    return chosenName;
}

size_t automaticPick(const PortList& list) {
    size_t pick = NoPick;
    int matchCount = 0;
    for (size_t i = 0; i < list.descriptions.size(); ++i) {
        if (isBridge(list.descriptions[i])) {
            pick = i;
            ++matchCount;
        }
    }
    return matchCount == 1 ? pick : NoPick;
}

const char* serialArgument(const char* argument) {
    return argument != nullptr && std::strncmp(argument, "SN=", 3) == 0 ? argument + 3 : nullptr;
}

// A port without a known serial number never matches, not even "SN=" with nothing after it.
const char* choosePortBySerial(const char* serial) {
    PortList list;
    if (!enumeratePorts(list) || !printList(list)) {
        return nullptr;
    }
    int matchCount = 0;
    for (const PortEntry& entry : list.entries) {
        if (!entry.usb.serialNumber.empty() && entry.usb.serialNumber == serial) {
            std::snprintf(chosenName, sizeof chosenName, "%s", entry.name.c_str());
            ++matchCount;
        }
    }
    return matchCount == 1 ? chosenName : nullptr;
}

const char* directPortName(const char* argument) {
    if (NetworkPort::schemeOf(argument) != PortScheme::Local) {
        return argument; // SerialPort::open judges the rest
    }
    if (naming() == PortNaming::DevicePath && argument != nullptr && argument[0] == '/') {
        return argument;
    }
    const std::string exact = exactNames ? exactPortName(argument) : std::string();
    if (!exact.empty()) {
        std::snprintf(chosenName, sizeof chosenName, "%s", exact.c_str());
        return chosenName;
    }
    return nullptr;
}

void setSource(const DeviceSource& replacement) {
    activeSource = replacement;
    sourceReplaced = true;
}

void setNaming(PortNaming replacement) {
    activeNaming = replacement;
    namingReplaced = true;
}

void setInput(std::FILE* replacement) {
    activeInput = replacement;
}

PortNaming currentNaming() {
    return naming();
}

void setExactNames(bool exact) {
    exactNames = exact;
}

} // namespace PortDiscovery
