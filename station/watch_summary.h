// A watch's counts and its end: units ok and failed, the first-pass yield, the units whose last
// update failed, the exit status, the command that retries them and the summary event.
#pragma once

#include "station/watch_state.h"

#include <string>
#include <vector>

namespace Station {

uint32_t unitsOk(const Watch& watch);
uint32_t unitsFailed(const Watch& watch);

// Units ok at their first try over the units tried: a named unit (a code, a serial number) counts
// once, by its first update in this watch; an unnamed one by each. False when none was tried.
bool firstPassYield(const Watch& watch, double& yield);

// Units whose last update did not succeed: their names (each once, in the order of their ends),
// those named by serial numbers alone, and how many failed units had no name.
std::vector<std::string> failedUnits(const Watch& watch);
std::vector<std::string> failedSerials(const Watch& watch);
size_t failedUnnamed(const Watch& watch);

// 130 when the running updates were aborted (a second stop request); otherwise 0 when every
// unit's last update succeeded, 1 when any did not.
ExitStatus overallStatus(const Watch& watch, bool aborted);

// The watch that updates just the failed units again, with the same options; empty when none
// failed or none of them has a name. Units named by serial numbers are named as SN= entries; units
// named by scanned codes come back through the same watch, their codes scanned again.
std::string retryCommand(const ChildUpdate::Invocation& invocation, const Watch& watch);

// The "summary" event: every unit's outcome, the counts, the failed units and the retry.
Json summaryEvent(const ChildUpdate::Invocation& invocation, const Watch& watch, ExitStatus status,
                  const std::string& reason, double seconds);

} // namespace Station
