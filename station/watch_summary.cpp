#include "station/watch_summary.h"

#include "report/json_report.h"
#include "report/json_text.h"
#include "serial/serial_number_entry.h"

#include <algorithm>

namespace Station {

namespace {

bool failed(const Unit& unit) {
    return !ChildUpdate::succeeded(unit.run);
}

} // namespace

uint32_t unitsOk(const Watch& watch) {
    return static_cast<uint32_t>(std::count_if(watch.units.begin(), watch.units.end(),
                                               [](const Unit& unit) { return !failed(unit); }));
}

uint32_t unitsFailed(const Watch& watch) {
    return static_cast<uint32_t>(watch.units.size()) - unitsOk(watch);
}

bool firstPassYield(const Watch& watch, double& yield) {
    std::set<std::string> tried;
    uint32_t units = 0;
    uint32_t okFirst = 0;
    for (const Unit& unit : watch.units) {
        const std::string& name = unitName(unit);
        if (!name.empty() && !tried.insert(name).second) {
            continue; // a later try of a unit already counted
        }
        ++units;
        okFirst += failed(unit) ? 0 : 1;
    }
    yield = units == 0 ? 0.0 : static_cast<double>(okFirst) / units;
    return units > 0;
}

std::vector<std::string> failedUnits(const Watch& watch) {
    std::vector<std::string> names;
    for (const Unit& unit : watch.units) {
        const std::string& name = unitName(unit);
        if (name.empty()) {
            continue;
        }
        std::erase(names, name);
        if (failed(unit)) {
            names.push_back(name);
        }
    }
    return names;
}

std::vector<std::string> failedSerials(const Watch& watch) {
    return watch.scanCodes ? std::vector<std::string>{} : failedUnits(watch);
}

size_t failedUnnamed(const Watch& watch) {
    return static_cast<size_t>(
        std::count_if(watch.units.begin(), watch.units.end(),
                      [](const Unit& unit) { return unitName(unit).empty() && failed(unit); }));
}

ExitStatus overallStatus(const Watch& watch, bool aborted) {
    if (aborted) {
        return ExitStatus::ExitAborted;
    }
    return failedUnits(watch).empty() && failedUnnamed(watch) == 0 ? ExitStatus::ExitDone
                                                                   : ExitStatus::ExitSessionFailed;
}

// Serial numbers as SN= entries with their escapes, so that the shell hands the retry's
// parseTarget exactly these serial numbers.
std::string retryCommand(const ChildUpdate::Invocation& invocation, const Watch& watch) {
    const std::vector<std::string> failedNames = failedUnits(watch);
    if (failedNames.empty()) {
        return {};
    }
    if (watch.scanCodes) {
        return ChildUpdate::commandFor(invocation, invocation.portArgument);
    }
    std::string serials;
    for (const std::string& serial : failedNames) {
        serials.append(serials.empty() ? "" : ",").append(SerialNumberEntry::of(serial));
    }
    return ChildUpdate::commandFor(invocation, serials);
}

Json summaryEvent(const ChildUpdate::Invocation& invocation, const Watch& watch, ExitStatus status,
                  const std::string& reason, double seconds) {
    Json units = Json::array();
    for (const Unit& unit : watch.units) {
        Json outcome = ChildUpdate::outcome(unit.run, "serial", JsonText::orNull(unit.serial));
        if (watch.scanCodes) {
            outcome["unit"] = JsonText::orNull(unit.code);
        }
        units.push_back(outcome);
    }
    double yield = 0;
    const bool tried = firstPassYield(watch, yield);
    const std::string retry = retryCommand(invocation, watch);
    Json summary = {{"event", "summary"},
                    {"t", JsonReport::rounded(seconds)},
                    {"ok", status == ExitStatus::ExitDone},
                    {"exit_status", exitCode(status)},
                    {"reason", reason},
                    {"units", units},
                    {"units_ok", unitsOk(watch)},
                    {"units_failed", unitsFailed(watch)},
                    {"first_pass_yield", tried ? Json(JsonReport::rounded(yield)) : Json(nullptr)},
                    {"skipped", watch.skipped},
                    {"failed_serials", failedSerials(watch)},
                    {"failed_without_serial", failedUnnamed(watch)}};
    if (watch.scanCodes) {
        summary["failed_units"] = failedUnits(watch);
    }
    summary["retry"] = JsonText::orNull(retry);
    return summary;
}

} // namespace Station
