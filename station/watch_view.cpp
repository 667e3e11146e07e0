#include "station/watch_view.h"

#include "report/aligned_table.h"
#include "report/shown_text.h"
#include "station/port_list_view.h"
#include "station/watch_summary.h"

#include <algorithm>
#include <cstdio>

namespace WatchView {

namespace {

constexpr size_t StateWidth = 17; // as the port list's lines

std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string unitName(const std::string& serial) {
    return serial.empty() ? std::string("without a serial number") : "SN=" + ShownText::of(serial);
}

// The port while a unit is there or was last; the serial number's entry before any came. A
// fixture's ports carry their numbers, which a scan may name.
std::string slotName(const Station::Slot& slot) {
    const std::string name = slot.port.empty() ? ShownText::of(slot.key) : slot.port;
    return slot.number > 0 ? std::to_string(slot.number) + " " + name : name;
}

// A unit's code after a blank, shown, never obeyed; nothing without one.
std::string codeText(const std::string& code) {
    std::string text;
    if (!code.empty()) {
        text.append(" ").append(ShownText::of(code));
    }
    return text;
}

std::string cut(std::string line, int columns) {
    if (columns > 1 && line.size() > static_cast<size_t>(columns - 1)) {
        line.resize(static_cast<size_t>(columns - 1));
    }
    return line;
}

double perHour(const Station::Watch& watch, double seconds) {
    return seconds > 0 ? static_cast<double>(watch.units.size()) * 3600.0 / seconds : 0.0;
}

} // namespace

std::string target(const Station::Target& target) {
    if (target.allBridges) {
        return "every Silicon Labs bridge (ALL)";
    }
    if (target.fixedPorts) {
        std::string ports;
        for (const std::string& port : target.ports) {
            ports.append(ports.empty() ? "units on " : ", ").append(ShownText::of(port));
        }
        return ports;
    }
    std::string names;
    for (const std::string& serial : target.serials) {
        names.append(names.empty() ? "" : ", ").append(unitName(serial));
    }
    return names;
}

std::string heading(const Station::Watch& watch, double seconds) {
    const uint32_t ok = Station::unitsOk(watch);
    const uint32_t failed = Station::unitsFailed(watch);
    char text[160];
    double yield = 0;
    char yieldText[48] = "";
    if (Station::firstPassYield(watch, yield)) {
        std::snprintf(yieldText, sizeof yieldText, ", first-pass yield %.1f %%", yield * 100);
    }
    std::snprintf(text, sizeof text, "Units ok %u, failed %u%s, %.1f an hour", ok, failed,
                  yieldText, perHour(watch, seconds));
    std::string line = text;
    if (watch.skipped > 0) {
        line += ", skipped " + std::to_string(watch.skipped);
    }
    return watch.accepting ? line : line + "; stopping: no new units";
}

std::string totals(const Station::Watch& watch, double seconds) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Units: %u ok, %u failed, %u skipped in %.0f s (%.1f an hour).",
                  Station::unitsOk(watch), Station::unitsFailed(watch), watch.skipped, seconds,
                  perHour(watch, seconds));
    return text;
}

size_t nameWidth(const Station::Watch& watch) {
    size_t width = 4; // "PORT"
    for (const Station::Slot& slot : watch.slots) {
        width = std::max(width, slotName(slot).size());
    }
    return width;
}

namespace {

// What a fixture's port shows after its update: the unit is to be taken away either way.
std::string removeNote(const Station::Slot& slot) {
    if (ChildUpdate::succeeded(slot.run)) {
        return "  remove the unit";
    }
    return "  failed (" + slot.run.reason + "): remove the unit";
}

std::string stateText(const Station::Watch& watch, const Station::Slot& slot) {
    switch (slot.state) {
    case Station::SlotState::AwaitingCode:
        return "unit present: scan the unit's code first";
    case Station::SlotState::Foreign:
        return "not a " + ShownText::of(watch.productId) + ": remove the unit";
    case Station::SlotState::Starting:
        return "unit" + codeText(slot.unit) + " present: starting";
    case Station::SlotState::Waiting:
        if (slot.present) {
            return "waiting (came after the stop request: not updated)";
        }
        return slot.code.empty() ? "waiting for a unit" : "waiting for unit" + codeText(slot.code);
    case Station::SlotState::Updating:
    case Station::SlotState::Finished:
    case Station::SlotState::Skipped:
        break;
    }
    return {};
}

} // namespace

std::string slotLine(const Station::Watch& watch, const Station::Slot& slot, size_t width,
                     int columns) {
    const bool fixture = watch.target.fixedPorts;
    ChildUpdate::PortRun run = slot.run; // under the slot's name, with its number on a fixture
    run.name = slotName(slot);
    const std::string closed = slot.sight == Station::PortSight::Closed
                                   ? "  (port not open: tried again every second)"
                                   : "";
    switch (slot.state) {
    case Station::SlotState::Updating:
        return PortListView::liveLine(run, width, columns, codeText(slot.unit));
    case Station::SlotState::Finished:
        return PortListView::liveLine(
            run, width, columns,
            codeText(slot.unit) + (fixture ? removeNote(slot) + closed : "  unplug to continue"));
    case Station::SlotState::Skipped:
        return cut(padded(slotName(slot), width) + "  " + padded("skipped", StateWidth) + " " +
                       unitName(slot.serial) + " was updated in this watch; unplug to continue",
                   columns);
    default:
        break;
    }
    if (!fixture && slot.state == Station::SlotState::AwaitingCode) {
        return cut(padded(slotName(slot), width) + "  plugged in: scan the unit's code first",
                   columns);
    }
    if (!fixture && slot.state == Station::SlotState::Waiting) {
        const char* why =
            slot.present ? "waiting (plugged in after the stop request: not updated)" : "waiting";
        return cut(padded(slotName(slot), width) + "  " + why, columns);
    }
    return cut(padded(slotName(slot), width) + "  " + stateText(watch, slot) + closed, columns);
}

std::string changeLine(const Station::Watch& watch, const Station::SlotChange& change) {
    const Station::Slot* slot = Station::findSlot(watch, change.key);
    const std::string code = slot != nullptr ? codeText(slot->unit) : std::string();
    switch (change.change) {
    case Station::Change::Plugged:
        return "unit " + (code.empty() ? unitName(change.serial) : code.substr(1)) +
               " plugged in: updating";
    case Station::Change::Skipped:
        return "unit " + unitName(change.serial) +
               " was updated in this watch: skipped; unplug it (--again updates it again)";
    case Station::Change::AwaitingCode:
        return watch.target.fixedPorts
                   ? "unit arrived: scan the unit's code first"
                   : "unit " + unitName(change.serial) + " plugged in: scan the unit's code first";
    case Station::Change::Arrived:
        return "unit" + code + " arrived: updating";
    case Station::Change::Foreign:
        return "not a " + ShownText::of(watch.productId) + ": remove the unit";
    case Station::Change::Left:
        return "unit left";
    case Station::Change::Unplugged:
        break;
    }
    return "unplugged";
}

std::string summaryTable(const Station::Watch& watch) {
    // Units are named by their codes where codes are scanned or the bridges stay plugged.
    const bool byCode = watch.scanCodes || watch.target.fixedPorts;
    std::vector<AlignedTable::Row> rows = {
        {"PORT", byCode ? "UNIT" : "SERIAL", "RESULT", "REASON", "RECORDS", "SECONDS"}};
    for (const Station::Unit& unit : watch.units) {
        const ChildUpdate::PortRun& run = unit.run;
        const std::string& name = byCode ? unit.code : unit.serial;
        char secondsText[32];
        std::snprintf(secondsText, sizeof secondsText, "%.1f", run.seconds);
        rows.push_back({run.name, name.empty() ? "-" : ShownText::of(name),
                        ChildUpdate::resultWord(run), run.reason.empty() ? "-" : run.reason,
                        std::to_string(run.recordsSent) + "/" + std::to_string(run.records),
                        secondsText});
    }
    return AlignedTable::render(rows);
}

} // namespace WatchView
