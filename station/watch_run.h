// --watch: waits for bridges to be plugged in, the ones ALL names or the SN= entries, looking
// about every 250 ms, and updates each new unit with a child process of this program (as a port
// list does) while the others run. The first stop request takes no new units and lets the
// running updates end; a second aborts them. Then the summary.
#pragma once

#include "station/child_update.h"

namespace Station {

// Returns the exit status: 0 every unit's last update succeeded, 1 any did not, 2 the watch could
// not start (the arguments, the image, the ledger or the port list refused), 130 the running
// updates were aborted by a second stop request.
ExitStatus run(const ChildUpdate::Invocation& invocation, bool again);

} // namespace Station
