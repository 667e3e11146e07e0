// Codes scanned at a station (--unit-id scan): each line of standard input names the next unit,
// as a barcode scanner types a label's code and Enter. With fixed ports "<port number>:<code>" or
// "<port name>:<code>" names the port; a bare code goes to the lowest-numbered port whose unit
// waits for its code, else to the lowest-numbered port with no code waiting. With ALL and SN= a
// code goes to the bridge that has waited longest for one, else to the next bridge plugged in.
#pragma once

#include "station/watch_state.h"

#include <string>

namespace UnitCodes {

// No label carries a longer code; a longer line is a scanner's or a person's mistake.
inline constexpr size_t MaxCodeBytes = 64;

struct Scan {
    bool accepted = false;
    std::string code;              // as scanned, for the events; shown to people through ShownText
    std::string slotKey;           // the slot it went to; empty when it waits for the next bridge
    const char* refusal = nullptr; // the reason's word when refused ("already_updated"...)
    std::string problem;           // the refusal in words, for people
    bool startNow = false;         // the slot's unit waited for it: its update is to start
};

// Takes one scanned line; an empty line is neither a code nor a refusal (accepted false, no
// refusal). When startNow, the slot's update has begun (Station::beginUpdate).
Scan take(Station::Watch& watch, const std::string& line);

} // namespace UnitCodes
