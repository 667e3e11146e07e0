#include "station/station_snapshot.h"

#include "ledger/ledger.h"
#include "report/json_report.h"
#include "report/json_text.h"
#include "station/watch_summary.h"

namespace StationSnapshot {

namespace {

Json version() {
    return UARTFLASH_VERSION;
}

// A run's line: waiting to start, updating with its progress, or its result.
Json runPort(const ChildUpdate::PortRun& run, uint32_t number, const std::string& unit) {
    const bool done = run.ended;
    const std::string result = done ? (ChildUpdate::succeeded(run) ? "ok" : "failed") : "";
    const char* state = done ? result.c_str() : run.started ? "updating" : "waiting";
    return {{"name", run.name},
            {"number", number},
            {"state", state},
            {"unit", JsonText::orNull(unit)},
            {"progress", run.started ? Json(run.percent) : Json(nullptr)},
            {"result", JsonText::orNull(result)},
            {"reason",
             done && !ChildUpdate::succeeded(run) ? JsonText::orNull(run.reason) : Json(nullptr)},
            {"seconds", done ? Json(JsonReport::rounded(run.seconds)) : Json(nullptr)}};
}

// A watch's slot: what the station waits for there, or the unit in hand.
Json slotPort(const Station::Slot& slot) {
    using Station::SlotState;
    const std::string name = slot.port.empty() ? slot.key : slot.port;
    switch (slot.state) {
    case SlotState::Updating:
        return runPort(slot.run, slot.number, slot.unit);
    case SlotState::Finished: {
        Json port = runPort(slot.run, slot.number, slot.unit);
        port["name"] = name;
        port["state"] = "remove";
        return port;
    }
    default:
        break;
    }
    const char* state = slot.state == SlotState::AwaitingCode ? "scan"
                        : slot.state == SlotState::Foreign    ? "foreign"
                        : slot.state == SlotState::Skipped    ? "remove"
                        : slot.present                        ? "present"
                                                              : "waiting";
    return {
        {"name", name},
        {"number", slot.number},
        {"state", state},
        {"unit", slot.state == SlotState::Skipped ? JsonText::orNull(slot.serial) : Json(nullptr)},
        {"progress", nullptr},
        {"result", slot.state == SlotState::Skipped ? Json("skipped") : Json(nullptr)},
        {"reason", nullptr},
        {"seconds", nullptr}};
}

Json lastUnits(const Recent& recent) {
    Json units = Json::array();
    for (const EndedUnit& unit : recent.units) {
        units.push_back({{"time", Ledger::utcTimestamp(unit.time)},
                         {"port", unit.port},
                         {"unit", JsonText::orNull(unit.unit)},
                         {"result", unit.result},
                         {"reason", unit.reason},
                         {"seconds", JsonReport::rounded(unit.seconds)}});
    }
    return units;
}

Json counts(uint32_t ok, uint32_t failed, uint32_t skipped, bool tried, double yield,
            double elapsedSeconds) {
    const double perHour =
        elapsedSeconds > 0 ? static_cast<double>(ok + failed) * 3600.0 / elapsedSeconds : 0.0;
    return {{"ok", ok},
            {"failed", failed},
            {"skipped", skipped},
            {"first_pass_yield", tried ? Json(JsonReport::rounded(yield)) : Json(nullptr)},
            {"units_per_hour", JsonReport::rounded(perHour)}};
}

Json snapshot(const char* form, const Image& image, double elapsedSeconds, Json ports, Json counted,
              const Recent& recent) {
    return {{"version", version()},
            {"form", form},
            {"image", {{"path", image.path}, {"sha256", image.sha256}}},
            {"elapsed_seconds", JsonReport::rounded(elapsedSeconds)},
            {"ports", std::move(ports)},
            {"counts", std::move(counted)},
            {"last_units", lastUnits(recent)}};
}

} // namespace

void remember(Recent& recent, const ChildUpdate::PortRun& run, const std::string& unit) {
    recent.units.push_front({std::chrono::system_clock::now(), run.name, unit,
                             ChildUpdate::resultWord(run), run.reason, run.seconds});
    if (recent.units.size() > LastUnits) {
        recent.units.pop_back();
    }
}

Json ofPortList(const std::vector<ChildUpdate::PortRun>& runs, const Recent& recent,
                const Image& image, double elapsedSeconds) {
    Json ports = Json::array();
    uint32_t ok = 0;
    uint32_t ended = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        ports.push_back(runPort(runs[i], static_cast<uint32_t>(i + 1), {}));
        ended += runs[i].ended ? 1 : 0;
        ok += ChildUpdate::succeeded(runs[i]) ? 1 : 0;
    }
    const double yield = ended == 0 ? 0.0 : static_cast<double>(ok) / ended;
    return snapshot("port_list", image, elapsedSeconds, std::move(ports),
                    counts(ok, ended - ok, 0, ended > 0, yield, elapsedSeconds), recent);
}

Json ofWatch(const Station::Watch& watch, const Recent& recent, const Image& image,
             double elapsedSeconds) {
    Json ports = Json::array();
    for (const Station::Slot& slot : watch.slots) {
        ports.push_back(slotPort(slot));
    }
    double yield = 0;
    const bool tried = Station::firstPassYield(watch, yield);
    return snapshot("watch", image, elapsedSeconds, std::move(ports),
                    counts(Station::unitsOk(watch), Station::unitsFailed(watch), watch.skipped,
                           tried, yield, elapsedSeconds),
                    recent);
}

} // namespace StationSnapshot
