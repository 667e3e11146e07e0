#include "station/watch_view.h"

#include "report/aligned_table.h"
#include "report/shown_text.h"
#include "station/port_list_view.h"

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

// The port while a unit is there or was last; the serial number's entry before any came.
std::string slotName(const Station::Slot& slot) {
    return slot.port.empty() ? ShownText::of(slot.key) : slot.port;
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
    std::string names;
    for (const std::string& serial : target.serials) {
        names.append(names.empty() ? "" : ", ").append(unitName(serial));
    }
    return names;
}

std::string heading(const Station::Watch& watch, double seconds) {
    const uint32_t ok = Station::unitsOk(watch);
    const uint32_t failed = Station::unitsFailed(watch);
    char text[128];
    std::snprintf(text, sizeof text, "Units ok %u, failed %u, %.1f an hour", ok, failed,
                  perHour(watch, seconds));
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

std::string slotLine(const Station::Slot& slot, size_t width, int columns) {
    switch (slot.state) {
    case Station::SlotState::Updating:
        return PortListView::liveLine(slot.run, width, columns);
    case Station::SlotState::Finished:
        return PortListView::liveLine(slot.run, width, columns, "  unplug to continue");
    case Station::SlotState::Skipped:
        return cut(padded(slotName(slot), width) + "  " + padded("skipped", StateWidth) + " " +
                       unitName(slot.serial) + " was updated in this watch; unplug to continue",
                   columns);
    case Station::SlotState::Waiting:
        break;
    }
    const char* why =
        slot.present ? "waiting (plugged in after the stop request: not updated)" : "waiting";
    return cut(padded(slotName(slot), width) + "  " + why, columns);
}

std::string changeLine(const Station::SlotChange& change) {
    switch (change.change) {
    case Station::Change::Plugged:
        return "unit " + unitName(change.serial) + " plugged in: updating";
    case Station::Change::Skipped:
        return "unit " + unitName(change.serial) +
               " was updated in this watch: skipped; unplug it (--again updates it again)";
    case Station::Change::Unplugged:
        break;
    }
    return "unplugged";
}

std::string summaryTable(const Station::Watch& watch) {
    std::vector<AlignedTable::Row> rows = {
        {"PORT", "SERIAL", "RESULT", "REASON", "RECORDS", "SECONDS"}};
    for (const Station::Unit& unit : watch.units) {
        const ChildUpdate::PortRun& run = unit.run;
        char secondsText[32];
        std::snprintf(secondsText, sizeof secondsText, "%.1f", run.seconds);
        rows.push_back({run.name, unit.serial.empty() ? "-" : ShownText::of(unit.serial),
                        ChildUpdate::resultWord(run), run.reason.empty() ? "-" : run.reason,
                        std::to_string(run.recordsSent) + "/" + std::to_string(run.records),
                        secondsText});
    }
    return AlignedTable::render(rows);
}

} // namespace WatchView
