// What a person sees of many updates at once: on a terminal one line per port redrawn in place,
// elsewhere one plain line per notable event; at the end a table of the outcomes.
#pragma once

#include "station/child_update.h"

#include <string>
#include <vector>

namespace PortListView {

// One port's line of the live view: name, phase or result, a bar with the percent, resends, and
// the note. Cut to columns - 1 characters when columns is known (> 0), so that no line wraps.
std::string liveLine(const ChildUpdate::PortRun& run, size_t nameWidth, int columns,
                     const std::string& note = {});

// PORT, RESULT, REASON, RECORDS (sent / of the image) and SECONDS, one port a line, aligned.
std::string summaryTable(const std::vector<ChildUpdate::PortRun>& runs);

// The widest port name, for aligned lines.
size_t nameWidth(const std::vector<ChildUpdate::PortRun>& runs);

} // namespace PortListView
