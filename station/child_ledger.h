// A child that ended without writing its ledger line (killed by SIGKILL or the OOM killer,
// crashed) still leaves one: the parent that started it writes it from what its events told.
#pragma once

#include "station/child_update.h"

namespace ChildLedger {

// With --ledger, writes the line of the run's update when its child ended without a result; the
// run's ledger then says why that line is not in the ledger, or stays empty when it is.
void recordUnwritten(const ChildUpdate::Invocation& invocation, ChildUpdate::PortRun& run);

} // namespace ChildLedger
