// What a ledger line says of one update, gathered from the events the update reports: the
// product's FWID answers before and after, the records sent, the resends, how the update ended and
// the time spent in each phase. It watches whichever reporters are in use (the console's, or those
// of --json) and passes every event on to them unchanged.
#pragma once

#include "ledger/ledger.h"
#include "session/report.h"

#include <optional>

namespace UpdateFacts {

struct Facts {
    std::optional<LedgerAnswer> before; // the first answer before the transfer
    std::optional<LedgerAnswer> after;  // the last answer while awaiting the new application
    EndReason reason = EndReason::Usage;
    uint32_t recordsSent = 0; // counted as --json's result event counts them
    uint32_t resends = 0;
    LedgerPhases phasesMs;
};

// From now on the events that reach Report::current() and EntryReport::current() are watched
// too; call it once the reporters of the run are in place. Starts afresh.
void observe();

// What the events told so far, the phase in hand counted up to now.
Facts gathered();

} // namespace UpdateFacts
