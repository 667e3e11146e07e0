#include "station/port_list_state.h"

#include "report/json_report.h"
#include "report/json_text.h"
#include "serial/port_discovery.h"
#include "serial/serial_number_entry.h"

#include <algorithm>

namespace PortLists {

namespace {

// An SN= entry as the retry writes it: with the escapes its serial number needs, whatever bytes
// the user typed, so that none reaches the terminal or the shell unescaped. Other entries, and an
// SN= entry whose escapes do not read, stand as they were given.
std::string retryEntry(const std::string& entry) {
    const char* text = PortDiscovery::serialArgument(entry.c_str());
    std::string serial;
    return text != nullptr && SerialNumberEntry::read(text, serial) ? SerialNumberEntry::of(serial)
                                                                    : entry;
}

} // namespace

ExitStatus overallStatus(const std::vector<PortRun>& runs, bool stopped) {
    if (stopped) {
        return ExitStatus::ExitAborted;
    }
    if (std::all_of(runs.begin(), runs.end(), ChildUpdate::succeeded)) {
        return ExitStatus::ExitDone;
    }
    const bool noneStarted = std::all_of(runs.begin(), runs.end(), [](const PortRun& run) {
        return run.exitStatus == exitCode(ExitStatus::ExitNotStarted);
    });
    return noneStarted ? ExitStatus::ExitNotStarted : ExitStatus::ExitSessionFailed;
}

std::string retryCommand(const Invocation& invocation, const std::vector<PortRun>& runs) {
    std::string ports;
    size_t failed = 0;
    for (const PortRun& run : runs) {
        if (!ChildUpdate::succeeded(run)) {
            ports.append(failed++ == 0 ? "" : ",").append(retryEntry(run.entry));
        }
    }
    if (failed == 0) {
        return {};
    }
    if (failed == 1) {
        ports += ",";
    }
    return ChildUpdate::commandFor(invocation, ports);
}

Json summaryEvent(const Invocation& invocation, const std::vector<PortRun>& runs, ExitStatus status,
                  const std::string& reason, double seconds) {
    Json results = Json::array();
    Json failed = Json::array();
    for (const PortRun& run : runs) {
        results.push_back(ChildUpdate::outcome(run, "entry", run.entry));
        if (!ChildUpdate::succeeded(run)) {
            failed.push_back(run.name);
        }
    }
    const std::string retry = retryCommand(invocation, runs);
    return {{"event", "summary"},
            {"t", JsonReport::rounded(seconds)},
            {"ok", status == ExitStatus::ExitDone},
            {"exit_status", exitCode(status)},
            {"reason", reason},
            {"ports", results},
            {"failed", failed},
            {"retry", JsonText::orNull(retry)}};
}

} // namespace PortLists
