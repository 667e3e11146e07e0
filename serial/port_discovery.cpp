#include "serial/port_discovery.h"
#include "serial/port_group.h"

#include "serial/network_address.h"
#include "serial/serial_number_entry.h"

#include <cctype>
#include <cstring>
#include <utility>

namespace {

char chosenName[ChosenNameSize] = {};
int32_t chosenNumber = 0;
DeviceSource activeSource = {};
PortChooser activeChooser = {[](const PortList&) {}, [](PortNaming) { return TypedChoice{}; }};
bool sourceReplaced = false;
bool namingReplaced = false;
PortNaming activeNaming = PortNaming::ComNumber;
bool exactNames = false;

const DeviceSource& source() {
    return sourceReplaced ? activeSource : PortDiscovery::platformSource();
}

PortNaming naming() {
    return namingReplaced ? activeNaming : PortDiscovery::platformNaming();
}

bool acceptComName(const char* portName, PortEntry& entry) {
    if (portName == nullptr || !PortDiscovery::parseComPortName(portName, entry.number)) {
        return false;
    }
    entry.name = PortDiscovery::comPortName(entry.number);
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

// Which names enter the list: "COM7", or any device path.
bool accepted(const char* portName, PortEntry& entry) {
    return naming() == PortNaming::ComNumber ? acceptComName(portName, entry)
                                             : acceptDevicePath(portName, entry);
}

void choose(const std::string& name) {
    std::snprintf(chosenName, sizeof chosenName, "%s", name.c_str());
}

// Shows the list; false when there is no list or no port in it.
bool listed(PortList& list) {
    if (!PortDiscovery::enumeratePorts(list)) {
        return false;
    }
    activeChooser.showList(list);
    return !list.entries.empty();
}

// The answer at the prompt becomes the chosen name. Nothing typed: a COM choice keeps the number
// it had (0, or the last bridge's), as "%d" leaves its variable; a path choice has a name only
// when a bridge matched.
bool takeAnswer(bool haveMatch) {
    const TypedChoice answer = activeChooser.ask(naming());
    if (naming() == PortNaming::ComNumber) {
        chosenNumber = answer.typed ? answer.number : chosenNumber;
        choose(PortDiscovery::comPortName(chosenNumber));
        return true;
    }
    const std::string path =
        answer.typed ? PortDiscovery::typedDevicePath(answer.word.c_str()) : std::string();
    if (path.empty()) {
        return haveMatch;
    }
    choose(path);
    return true;
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
    while (devices.next()) {
        PortEntry entry;
        if (!accepted(devices.portName(), entry)) {
            continue;
        }
        // Asked only now: nothing more of a refused device is ever fetched.
        devices.identity(entry.usb);
        append(list, std::move(entry), devices.description());
    }
    devices.end();
    return true;
}

bool isBridge(const std::string& description) {
    return description.find(BridgeMarker) != std::string::npos;
}

std::vector<size_t> bridgePositions(const PortList& list) {
    std::vector<size_t> picks;
    for (size_t i = 0; i < list.descriptions.size(); ++i) {
        if (isBridge(list.descriptions[i])) {
            picks.push_back(i);
        }
    }
    return picks;
}

size_t automaticPick(const PortList& list) {
    const std::vector<size_t> picks = bridgePositions(list);
    return picks.size() == 1 ? picks.front() : NoPick;
}

// A port without a known serial number never matches, not even "SN=" with nothing after it.
std::vector<size_t> serialPositions(const PortList& list, const std::string& serial) {
    std::vector<size_t> picks;
    for (size_t i = 0; i < list.entries.size(); ++i) {
        const std::string& known = list.entries[i].usb.serialNumber;
        if (!known.empty() && known == serial) {
            picks.push_back(i);
        }
    }
    return picks;
}

const char* choosePort(PortChoiceMode mode) {
    chosenNumber = 0;
    PortList list;
    if (!listed(list)) {
        return nullptr;
    }
    const std::vector<size_t> bridges =
        mode == PortChoiceMode::Automatic ? bridgePositions(list) : std::vector<size_t>();
    if (!bridges.empty()) {
        chosenNumber = list.entries[bridges.back()].number;
        choose(list.entries[bridges.back()].name);
    }
    // Without a bridge there is no name from this call; the caller turns to the manual choice.
    if (mode == PortChoiceMode::Automatic && bridges.empty()) {
        return nullptr;
    }
    if (mode == PortChoiceMode::Manual || bridges.size() > 1) {
        return takeAnswer(!bridges.empty()) ? chosenName : nullptr;
    }
    return chosenName;
}

const char* choosePortBySerial(const char* serialText) {
    PortList list;
    if (!listed(list)) {
        return nullptr;
    }
    std::string serial;
    const std::vector<size_t> picks = SerialNumberEntry::read(serialText, serial)
                                          ? serialPositions(list, serial)
                                          : std::vector<size_t>();
    if (picks.size() != 1) {
        return nullptr;
    }
    choose(list.entries[picks.front()].name);
    return chosenName;
}

void setChooser(const PortChooser& chooser) {
    activeChooser = chooser;
}

std::string comPortName(int32_t number) {
    return "COM" + std::to_string(number);
}

std::string typedDevicePath(const char* word) {
    if (word == nullptr || word[0] == '\0') {
        return {};
    }
    const std::string path = word[0] == '/' ? std::string(word) : std::string("/dev/") + word;
    return path.size() < ChosenNameSize ? path : std::string();
}

const char* serialArgument(const char* argument) {
    const std::string_view prefix = SerialNumberEntry::Prefix;
    return argument != nullptr && std::strncmp(argument, prefix.data(), prefix.size()) == 0
               ? argument + prefix.size()
               : nullptr;
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

PortNaming currentNaming() {
    return naming();
}

void setExactNames(bool exact) {
    exactNames = exact;
}

} // namespace PortDiscovery
