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

// A unit that came: its update starts now, or it is skipped, or (stopping) it waits.
void arrive(Watch& watch, Slot& slot, const Sighting& seen, std::vector<SlotChange>& changes) {
    slot.port = seen.port;
    slot.serial = seen.usb.serialNumber;
    if (!watch.accepting) {
        slot.state = SlotState::Waiting;
        return;
    }
    if (!slot.serial.empty() && !watch.again && watch.updated.count(slot.serial) != 0) {
        slot.state = SlotState::Skipped;
        ++watch.skipped;
        changes.push_back({Change::Skipped, slot.key, slot.port, slot.serial});
        return;
    }
    slot.state = SlotState::Updating;
    slot.run = ChildUpdate::PortRun{};
    slot.run.entry = watch.target.allBridges ? seen.port : slot.key;
    slot.run.name = seen.port;
    slot.run.records = watch.records;
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

bool failed(const Unit& unit) {
    return !ChildUpdate::succeeded(unit.run);
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
        problem = std::to_string(entries.size()) + " serial numbers named; at most " +
                  std::to_string(MaxGroupPorts) + " at once";
        return false;
    }
    for (const std::string& entry : entries) {
        const char* text = PortDiscovery::serialArgument(entry.c_str());
        if (text == nullptr || text[0] == '\0') {
            problem = "--watch takes ALL or SN= entries (SN=0001A2B3,SN=0001A2B4), not " +
                      (entry.empty() ? std::string("an empty entry") : entry);
            return false;
        }
        std::string serial;
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
    if (!watch.target.allBridges && watch.slots.empty()) {
        for (const std::string& serial : watch.target.serials) {
            Slot slot;
            slot.key = SerialPrefix + serial;
            slot.serial = serial;
            watch.slots.push_back(std::move(slot));
        }
    }
    for (Slot& slot : watch.slots) {
        const bool there = std::any_of(seen.begin(), seen.end(),
                                       [&slot](const Sighting& s) { return s.key == slot.key; });
        if (slot.present && !there) {
            slot.present = false;
            changes.push_back({Change::Unplugged, slot.key, slot.port, slot.serial});
            if (slot.state != SlotState::Updating) {
                slot.state = SlotState::Waiting;
            }
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
    watch.units.push_back({slot->serial, slot->run});
    if (ChildUpdate::succeeded(slot->run) && !slot->serial.empty()) {
        watch.updated.insert(slot->serial);
    }
    slot->child = nullptr;
    slot->state = slot->present ? SlotState::Finished : SlotState::Waiting;
    dropFreeSlots(watch);
    return &watch.units.back();
}

std::vector<std::string> failedSerials(const Watch& watch) {
    std::vector<std::string> serials;
    for (const Unit& unit : watch.units) {
        if (unit.serial.empty()) {
            continue;
        }
        std::erase(serials, unit.serial);
        if (failed(unit)) {
            serials.push_back(unit.serial);
        }
    }
    return serials;
}

size_t failedWithoutSerial(const Watch& watch) {
    return static_cast<size_t>(
        std::count_if(watch.units.begin(), watch.units.end(),
                      [](const Unit& unit) { return unit.serial.empty() && failed(unit); }));
}

uint32_t unitsOk(const Watch& watch) {
    return static_cast<uint32_t>(std::count_if(watch.units.begin(), watch.units.end(),
                                               [](const Unit& unit) { return !failed(unit); }));
}

uint32_t unitsFailed(const Watch& watch) {
    return static_cast<uint32_t>(watch.units.size()) - unitsOk(watch);
}

ExitStatus overallStatus(const Watch& watch, bool aborted) {
    if (aborted) {
        return ExitStatus::ExitAborted;
    }
    return failedSerials(watch).empty() && failedWithoutSerial(watch) == 0
               ? ExitStatus::ExitDone
               : ExitStatus::ExitSessionFailed;
}

// The serial numbers as SN= entries with their escapes, so that the shell hands the retry's
// parseTarget exactly these serial numbers.
std::string retryCommand(const ChildUpdate::Invocation& invocation, const Watch& watch) {
    std::string serials;
    for (const std::string& serial : failedSerials(watch)) {
        serials.append(serials.empty() ? "" : ",").append(SerialNumberEntry::of(serial));
    }
    if (serials.empty()) {
        return {};
    }
    return ChildUpdate::commandFor(invocation, serials);
}

Json summaryEvent(const ChildUpdate::Invocation& invocation, const Watch& watch, ExitStatus status,
                  const std::string& reason, double seconds) {
    Json units = Json::array();
    for (const Unit& unit : watch.units) {
        units.push_back(ChildUpdate::outcome(
            unit.run, "serial", unit.serial.empty() ? Json(nullptr) : Json(unit.serial)));
    }
    const std::string retry = retryCommand(invocation, watch);
    return {{"event", "summary"},
            {"t", JsonReport::rounded(seconds)},
            {"ok", status == ExitStatus::ExitDone},
            {"exit_status", exitCode(status)},
            {"reason", reason},
            {"units", units},
            {"units_ok", unitsOk(watch)},
            {"units_failed", unitsFailed(watch)},
            {"skipped", watch.skipped},
            {"failed_serials", failedSerials(watch)},
            {"failed_without_serial", failedWithoutSerial(watch)},
            {"retry", retry.empty() ? Json(nullptr) : Json(retry)}};
}

} // namespace Station
