#include "serial/port_group.h"

#include "os/ascii_text.h"
#include "serial/network_address.h"
#include "serial/serial_number_entry.h"

#include <cctype>
#include <cstring>
#include <string_view>

namespace {

std::vector<std::string> splitEntries(std::string_view argument) {
    std::vector<std::string> entries;
    size_t from = 0;
    while (from <= argument.size()) {
        const size_t comma = std::min(argument.find(',', from), argument.size());
        entries.emplace_back(argument.substr(from, comma - from));
        from = comma + 1;
    }
    if (entries.size() > 1 && entries.back().empty()) {
        entries.pop_back(); // "COM7," is a list of one
    }
    return entries;
}

PortGroup refuse(std::string problem) {
    return PortGroup{{}, std::move(problem)};
}

// Resolves SN= entries against one listing of the ports, taken at the first need.
struct Listing {
    bool taken = false;
    bool available = false;
    PortList list;
    const PortList* get() {
        if (!taken) {
            taken = true;
            available = PortDiscovery::enumeratePorts(list);
        }
        return available ? &list : nullptr;
    }
};

// The one port with exactly this serial number; the problem otherwise.
std::string bySerial(Listing& listing, const std::string& entry, std::string& problem) {
    std::string serial;
    if (!SerialNumberEntry::read(PortDiscovery::serialArgument(entry.c_str()), serial)) {
        problem = SerialNumberEntry::problem(entry);
        return {};
    }
    const PortList* list = listing.get();
    if (list == nullptr) {
        problem = "the serial ports cannot be listed";
        return {};
    }
    const std::vector<size_t> picks = PortDiscovery::serialPositions(*list, serial);
    if (picks.size() != 1) {
        problem = entry + ": " +
                  (picks.empty() ? "no port has" : std::to_string(picks.size()) + " ports have") +
                  " that serial number";
        return {};
    }
    return list->entries[picks.front()].name;
}

} // namespace

namespace PortDiscovery {

bool isPortGroup(const char* argument) {
    return argument != nullptr &&
           (std::strchr(argument, ',') != nullptr || AsciiText::equalIgnoringCase(argument, "ALL"));
}

std::string exactPortName(const char* entry) {
    if (entry == nullptr || entry[0] == '\0' || serialArgument(entry) != nullptr ||
        AsciiText::equalIgnoringCase(entry, "AUTO") || AsciiText::equalIgnoringCase(entry, "ALL") ||
        std::strlen(entry) + sizeof "/dev/" > ChosenNameSize) {
        return {};
    }
    if (NetworkPort::schemeOf(entry) != PortScheme::Local) {
        char canonical[ChosenNameSize];
        return NetworkPort::canonicalName(entry, canonical, sizeof canonical) ? canonical : "";
    }
    if (currentNaming() == PortNaming::ComNumber) {
        int32_t number = 0;
        return parseComPortName(entry, number) ? "COM" + std::to_string(number) : std::string();
    }
    return entry[0] == '/' ? std::string(entry) : std::string("/dev/") + entry;
}

PortGroup resolveGroup(const char* argument) {
    const std::vector<std::string> entries = splitEntries(argument != nullptr ? argument : "");
    if (entries.size() > MaxGroupPorts) {
        return refuse(std::to_string(entries.size()) + " ports named; at most " +
                      std::to_string(MaxGroupPorts) + " at once");
    }
    PortGroup group;
    Listing listing;
    for (const std::string& entry : entries) {
        if (entry.empty()) {
            return refuse("an empty entry in the port list");
        }
        if (AsciiText::equalIgnoringCase(entry, "ALL")) {
            if (entries.size() != 1) {
                return refuse("ALL names every bridge and stands alone");
            }
            const PortList* list = listing.get();
            if (list == nullptr) {
                return refuse("the serial ports cannot be listed");
            }
            for (size_t pick : bridgePositions(*list)) {
                group.ports.push_back({list->entries[pick].name, list->entries[pick].name});
            }
            if (group.ports.empty()) {
                return refuse("no port is described as a Silicon Labs bridge");
            }
            if (group.ports.size() > MaxGroupPorts) {
                return refuse(std::to_string(group.ports.size()) + " bridges found; at most " +
                              std::to_string(MaxGroupPorts) + " at once");
            }
            continue;
        }
        std::string problem;
        const std::string name = serialArgument(entry.c_str()) != nullptr
                                     ? bySerial(listing, entry, problem)
                                     : exactPortName(entry.c_str());
        if (name.empty()) {
            return refuse(problem.empty() ? entry + " is not a port name" : problem);
        }
        group.ports.push_back({entry, name});
    }
    std::vector<std::string> devices;
    for (const GroupPort& port : group.ports) {
        // A server's port is one product whichever scheme reaches it.
        const bool remote = NetworkPort::schemeOf(port.name.c_str()) != PortScheme::Local;
        devices.push_back(remote ? NetworkPort::serverOf(port.name.c_str()) : deviceKey(port.name));
    }
    for (size_t i = 0; i < group.ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (devices[i] == devices[j]) {
                const GroupPort& first = group.ports[j];
                const GroupPort& again = group.ports[i];
                if (first.entry == again.entry) {
                    return refuse(again.name + " is named twice");
                }
                return refuse(first.entry + " and " + again.entry +
                              (first.name == again.name ? " both name " + first.name
                                                        : " are the same device"));
            }
        }
    }
    return group;
}

} // namespace PortDiscovery
