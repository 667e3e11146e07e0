// --ledger for the process that runs an update: the ledger is opened before any port is touched,
// the port's USB bridge is looked up before the port is opened, and the update's line is
// appended once it has ended.
#pragma once

#include "ledger/ledger.h"
#include "ledger/update_facts.h"
#include "session/report.h"
#include "session/session_state.h"

#include <string>

namespace LedgerRecord {

// The ledger the command line asked for; nullptr: none.
void ask(const char* path);
bool asked();

// Opens the ledger asked for. False, with the reason told through the EntryReporter, when it
// cannot be appended to; true when none was asked for.
bool openAsked();

// What the port list knows of the port's USB bridge, found by its device (a link and the node it
// leads to are one); empty for a port that is listed without one, or not listed.
LedgerUsb usbOf(const char* portName);

// The update's line from the request, the image held, the port's bridge and the facts its events
// told, ending with status. Empty when the line is in the ledger, otherwise why it is not.
std::string append(const UpdateRequest& request, const LedgerUsb& usb, ExitStatus status,
                   const UpdateFacts::Facts& facts);

// An update whose own process ended without writing its line (killed, crashed), as the process
// that started it saw it through its events.
struct UnwrittenUpdate {
    const char* port;
    const char* unit; // its code; nullptr: the bridge's serial number names it
    const char* productId;
    const char* deviceWord;
    const char* imagePath;
    WaitMode wait;
    int exitStatus;       // of the process
    uint32_t recordsSent; // as far as its events told
    uint32_t resends;
};

// Writes that update's line, ok false with the reason "no_result", so that every unit has one.
// Empty when the line is in the ledger, otherwise why it is not.
std::string appendUnwritten(const UnwrittenUpdate& update);

} // namespace LedgerRecord
