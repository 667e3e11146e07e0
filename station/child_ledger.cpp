#include "station/child_ledger.h"

#include "ledger/ledger_record.h"

namespace ChildLedger {

void recordUnwritten(const ChildUpdate::Invocation& invocation, ChildUpdate::PortRun& run) {
    if (!LedgerRecord::asked() || !run.started || run.haveResult) {
        return; // no ledger, nothing ran, or the child told its own line's fate
    }
    run.ledger = LedgerRecord::appendUnwritten({
        .port = run.name.c_str(),
        .unit = run.named ? run.unit.c_str() : nullptr,
        .productId = invocation.product.c_str(),
        .deviceWord = invocation.device.c_str(),
        .imagePath = invocation.file.c_str(),
        .wait = invocation.wait,
        .exitStatus = run.exitStatus,
        .recordsSent = run.recordsSent,
        .resends = run.resends,
    });
}

} // namespace ChildLedger
