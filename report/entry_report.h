// What the command line tells its user before and around a session, as named events: the banner
// and usage, the argument refusals, the port list and its prompt, the port's opening. The console
// reporter prints the tool's texts for them, byte for byte; the JSON Lines output replaces some.
#pragma once

#include "serial/port_discovery.h"
#include "serial/serial_port.h"
#include "session/report.h"

#include <cstddef>

struct EntryReporter {
    void (*banner)(const char* program, const char* version);
    void (*usage)(const char* program);
    void (*validUse)(const char* program);
    void (*unknownDevice)(const char* word);
    void (*productIdTooLong)(size_t length, size_t limit);
    // --image-sha256: the image's file hashes otherwise than the released one.
    void (*imageNotReleased)(const char* path, const char* actual, const char* released);
    // --ledger: the ledger cannot be appended to (before any port is touched), or the update's
    // line was not written (after it); problem names the file and the reason.
    void (*ledgerRefused)(const char* problem);
    void (*ledgerNotWritten)(const char* problem);
    // The ledger left its path during the run (deleted, replaced) and was opened there again.
    void (*ledgerReplaced)(const char* notice);
    // The ports a choice looks at, or that there are none; the prompt that asks for one.
    void (*portList)(const PortList& list);
    void (*portPrompt)(PortNaming naming);
    void (*noPort)();
    void (*portNotOpened)(const char* name);
    void (*portHeld)(const char* holders); // after portNotOpened: "-" when none can be named
    // After portNotOpened for a port served over the network: why, naming its HOST:PORT.
    void (*portRefused)(const char* server, PortRefusal why);
    // A stop request came while the port was being opened (a server's name looked up, its
    // connection made or its line settings agreed): nothing was sent to the product.
    void (*portOpenAborted)(const char* name);
    void (*portOpened)(const char* name);
    void (*deviceNotSupported)();
    void (*stopped)(EndReason reason); // the run ended before a session; its text came before
};

// Prints the tool's texts to standard output.
extern const EntryReporter ConsoleEntryReporter;

namespace EntryReport {

// The reporter every entry event goes to; the console's unless replaced. nullptr restores it.
void use(const EntryReporter* reporter);
const EntryReporter& current();

} // namespace EntryReport
