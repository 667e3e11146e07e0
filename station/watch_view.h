// What a person sees of a watch: on a terminal the counts and one line per port (or serial
// number) redrawn in place, elsewhere one plain line per notable event; at the end a table of the
// units.
#pragma once

#include "station/watch_state.h"

#include <string>

namespace WatchView {

// What the watch's first line says it watches for: "every Silicon Labs bridge (ALL)", the
// serial numbers ("SN=0001A2B3, SN=0001A2B4") or the fixture's ports ("units on /dev/ttyUSB0,
// /dev/ttyUSB1"), shown, never obeyed by the terminal.
std::string target(const Station::Target& target);

// "Units ok 3, failed 1, first-pass yield 75.0 %, 40.0 an hour", the skipped ones, and that no
// new unit is taken once a stop was requested. seconds: since the watch began.
std::string heading(const Station::Watch& watch, double seconds);

// "Units: 3 ok, 1 failed, 2 skipped in 312 s (46.2 an hour).", for the summary.
std::string totals(const Station::Watch& watch, double seconds);

// The widest name among the slots' lines.
size_t nameWidth(const Station::Watch& watch);
// A slot's line of the live view: waiting (for a unit, for a unit's code), another product,
// updating with its progress, its result with "unplug to continue" or "remove the unit", or
// skipped. Cut to columns - 1 characters when columns is known (> 0).
std::string slotLine(const Station::Watch& watch, const Station::Slot& slot, size_t width,
                     int columns);

// The plain line (without the port) of a change a listing, a probe or a scan made.
std::string changeLine(const Station::Watch& watch, const Station::SlotChange& change);

// PORT, SERIAL, RESULT, REASON, RECORDS and SECONDS, one unit a line in the order they ended.
std::string summaryTable(const Station::Watch& watch);

} // namespace WatchView
