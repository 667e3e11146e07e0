#include "station/watch_state.h"

#include "os/ascii_text.h"
#include "report/json_report.h"
#include "serial/port_group.h"
#include "serial/serial_number_entry.h"

#include <algorithm>

namespace Station {

namespace {

constexpr const char* SerialPrefix = "SN=";

std::vector<std::string> splitEntries(const std::string& argument) {
    std::vector<std::string> entries;
    size_t from = 0;
    while (from <= argument.size()) {
        const size_t comma = std::min(argument.find(',', from), argument.size());
        entries.push_back(argument.substr(from, comma - from));
        from = comma + 1;
    }
    if (entries.size() > 1 && entries.back().empty()) {
        entries.pop_back(); // "SN=0001A2B3," names one
    }
    return entries;
}

// A unit that came: its update starts now, it waits for its code, or it is skipped, or (stopping)
// it waits.
void arrive(Watch& watch, Slot& slot, const Sighting& seen, std::vector<SlotChange>& changes) {
    slot.port = seen.port;
    slot.serial = seen.usb.serialNumber;
    if (!watch.accepting) {
        slot.state = SlotState::Waiting;
        return;
    }
    // With scanned codes a unit is its code, and a bridge plugged in again may carry another.
    if (!watch.scanCodes && !slot.serial.empty() && !watch.again &&
        watch.updated.count(slot.serial) != 0) {
        slot.state = SlotState::Skipped;
        ++watch.skipped;
        changes.push_back({Change::Skipped, slot.key, slot.port, slot.serial});
        return;
    }
    if (watch.scanCodes && watch.codes.empty()) {
        slot.state = SlotState::AwaitingCode;
        changes.push_back({Change::AwaitingCode, slot.key, slot.port, slot.serial});
        return;
    }
    std::string code;
    if (watch.scanCodes) {
        code = watch.codes.front();
        watch.codes.pop_front();
    }
    beginUpdate(watch, slot, code);
    changes.push_back({Change::Plugged, slot.key, slot.port, slot.serial});
}

// For ALL a port's line goes with its unit, so that ports seen once do not pile up (Windows
// gives each new serial number a COM port of its own).
void dropFreeSlots(Watch& watch) {
    if (watch.target.allBridges) {
        std::erase_if(watch.slots, [](const Slot& slot) {
            return !slot.present && slot.state != SlotState::Updating;
        });
    }
}

} // namespace

namespace {

constexpr const char* EntryRefusal =
    "--watch takes ALL, SN= entries (SN=0001A2B3,SN=0001A2B4) or ports that stay plugged "
    "(/dev/ttyUSB0,rfc2217://fixture-3:3001), not ";

bool parseSerials(const std::vector<std::string>& entries, Target& target, std::string& problem) {
    for (const std::string& entry : entries) {
        const char* text = PortDiscovery::serialArgument(entry.c_str());
        std::string serial;
        if (text[0] == '\0') {
            problem = EntryRefusal + entry;
            return false;
        }
        if (!SerialNumberEntry::read(text, serial)) {
            problem = SerialNumberEntry::problem(entry);
            return false;
        }
        if (std::find(target.serials.begin(), target.serials.end(), serial) !=
            target.serials.end()) {
            problem = entry + " is named twice";
            return false;
        }
        target.serials.push_back(serial);
    }
    return true;
}

// Ports of a fixture, resolved as a port list resolves them: each port once however named.
bool parsePorts(const std::string& argument, const std::vector<std::string>& entries,
                Target& target, std::string& problem) {
    for (const std::string& entry : entries) {
        if (PortDiscovery::exactPortName(entry.c_str()).empty()) {
            problem = EntryRefusal + entry;
            return false;
        }
    }
    // A single port is a list of one, as "COM7," is for a port list.
    const std::string list = argument.find(',') == std::string::npos ? argument + "," : argument;
    const PortGroup group = PortDiscovery::resolveGroup(list.c_str());
    if (!group.problem.empty()) {
        problem = group.problem;
        return false;
    }
    target.fixedPorts = true;
    for (const GroupPort& port : group.ports) {
        target.ports.push_back(port.name);
    }
    return true;
}

} // namespace

bool parseTarget(const std::string& argument, Target& target, std::string& problem) {
    target = Target{};
    if (AsciiText::equalIgnoringCase(argument.c_str(), "ALL")) {
        return true;
    }
    target.allBridges = false;
    const std::vector<std::string> entries = splitEntries(argument);
    if (entries.size() > MaxGroupPorts) {
        problem = std::to_string(entries.size()) + " entries named; at most " +
                  std::to_string(MaxGroupPorts) + " at once";
        return false;
    }
    for (const std::string& entry : entries) {
        if (entry.empty() || AsciiText::equalIgnoringCase(entry.c_str(), "ALL") ||
            AsciiText::equalIgnoringCase(entry.c_str(), "AUTO")) {
            problem = EntryRefusal + (entry.empty() ? std::string("an empty entry") : entry);
            return false;
        }
    }
    const auto isSerial = [](const std::string& entry) {
        return PortDiscovery::serialArgument(entry.c_str()) != nullptr;
    };
    const size_t serials =
        static_cast<size_t>(std::count_if(entries.begin(), entries.end(), isSerial));
    if (serials == entries.size()) {
        return parseSerials(entries, target, problem);
    }
    if (serials > 0) {
        const auto serial = std::find_if(entries.begin(), entries.end(), isSerial);
        const auto port = std::find_if_not(entries.begin(), entries.end(), isSerial);
        problem =
            "--watch takes SN= entries (units that come with their bridge) or ports that stay "
            "plugged, not both: " +
            *serial + " beside " + (port->empty() ? std::string("an empty entry") : *port);
        return false;
    }
    return parsePorts(argument, entries, target, problem);
}

std::vector<Sighting> sightings(const PortList& list, const Target& target) {
    std::vector<Sighting> seen;
    if (target.allBridges) {
        for (size_t pick : PortDiscovery::bridgePositions(list)) {
            const PortEntry& entry = list.entries[pick];
            seen.push_back({entry.name, entry.name, entry.usb});
        }
        return seen;
    }
    for (const std::string& serial : target.serials) {
        const std::vector<size_t> picks = PortDiscovery::serialPositions(list, serial);
        if (picks.size() == 1) {
            const PortEntry& entry = list.entries[picks.front()];
            seen.push_back({SerialPrefix + serial, entry.name, entry.usb});
        }
    }
    return seen;
}

const std::string& unitName(const Unit& unit) {
    return unit.code.empty() ? unit.serial : unit.code;
}

void makeSlots(Watch& watch) {
    watch.slots.clear();
    if (watch.target.fixedPorts) {
        for (const std::string& port : watch.target.ports) {
            Slot slot;
            slot.key = port;
            slot.port = port;
            slot.number = static_cast<uint32_t>(watch.slots.size() + 1);
            watch.slots.push_back(std::move(slot));
        }
        return;
    }
    for (const std::string& serial : watch.target.serials) {
        Slot slot;
        slot.key = SerialPrefix + serial;
        slot.serial = serial;
        watch.slots.push_back(std::move(slot));
    }
}

void beginUpdate(Watch& watch, Slot& slot, const std::string& code) {
    // A fixture's probe holds the port: the update starts once it has let go.
    slot.state = watch.target.fixedPorts ? SlotState::Starting : SlotState::Updating;
    slot.unit = code.empty() && !watch.target.fixedPorts ? slot.serial : code;
    slot.run = ChildUpdate::PortRun{};
    slot.run.entry = watch.target.allBridges ? slot.port : slot.key;
    slot.run.name = slot.port;
    slot.run.unit = code;
    slot.run.named = watch.scanCodes || watch.target.fixedPorts;
    slot.run.records = watch.records;
}

const Slot* findSlot(const Watch& watch, const std::string& key) {
    return findSlot(const_cast<Watch&>(watch), key);
}

Slot* findSlot(Watch& watch, const std::string& key) {
    for (Slot& slot : watch.slots) {
        if (slot.key == key) {
            return &slot;
        }
    }
    return nullptr;
}

std::vector<SlotChange> takeListing(Watch& watch, const std::vector<Sighting>& seen) {
    std::vector<SlotChange> changes;
    for (Slot& slot : watch.slots) {
        const bool there = std::any_of(seen.begin(), seen.end(),
                                       [&slot](const Sighting& s) { return s.key == slot.key; });
        if (slot.present && !there) {
            slot.present = false;
            changes.push_back({Change::Unplugged, slot.key, slot.port, slot.serial});
            if (slot.state != SlotState::Updating) {
                slot.state = SlotState::Waiting;
            }
            slot.code.clear();
        }
    }
    for (const Sighting& sighting : seen) {
        Slot* slot = findSlot(watch, sighting.key);
        if (slot == nullptr) {
            watch.slots.emplace_back();
            slot = &watch.slots.back();
            slot->key = sighting.key;
        }
        const bool sameUnit = slot->present && slot->serial == sighting.usb.serialNumber;
        slot->present = true;
        if (!sameUnit && slot->state != SlotState::Updating) {
            arrive(watch, *slot, sighting, changes);
        }
    }
    dropFreeSlots(watch);
    return changes;
}

Unit* endUpdate(Watch& watch, const std::string& key, int processStatus) {
    Slot* slot = findSlot(watch, key);
    if (slot == nullptr || slot->state != SlotState::Updating) {
        return nullptr;
    }
    ChildUpdate::endRun(slot->run, processStatus);
    const bool fixture = watch.target.fixedPorts;
    watch.units.push_back({fixture ? std::string() : slot->serial, slot->unit, slot->run});
    const std::string& name = unitName(watch.units.back());
    if (ChildUpdate::succeeded(slot->run) && !name.empty()) {
        watch.updated.insert(name);
    }
    slot->child = nullptr;
    slot->state = slot->present ? SlotState::Finished : SlotState::Waiting;
    dropFreeSlots(watch);
    return &watch.units.back();
}

} // namespace Station
