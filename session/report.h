// The named events of an update, for whoever watches it besides the console: the console texts
// are printed where they arise, and an observer (the JSON Lines output) is told what happened.
// Without an observer every call does nothing.
#pragma once

#include "session/session_state.h"

#include <cstdint>

// Why a run ended, in the words a script sees.
enum class EndReason : uint8_t {
    Done,
    Usage,
    FileRefused,
    NoPort,
    PortNotOpened,
    NotSupported,
    NoContact,
    UnknownApplication,
    ReplyTimeout,
    RecordRefused,
    TooManyResends,
    OutOfStep,
    NoApplication,
    PortLost,
    Aborted,
};

enum class ReportPhase : uint8_t { Connect, Identify, AwaitBootLoader, Transfer, AwaitApplication };

struct ReportObserver {
    void (*port)(const char* name); // opened
    void (*phase)(ReportPhase phase);
    // FWID named this product: what runs and its version text.
    void (*device)(const char* productId, FirmwareIdentity identity, const char* version);
    void (*progress)(uint32_t line, uint32_t lines);
    void (*resend)(uint32_t line, bool busy);
    // A status report of a handler; runs on the reply reader's thread.
    void (*replyReport)(const char* command, const char* statusText);
    void (*end)(EndReason reason); // how the session ended
};

namespace Report {

void observe(const ReportObserver* observer); // nullptr: none
void port(const char* name);
void phase(ReportPhase phase);
void device(const char* productId, FirmwareIdentity identity, const char* version);
void progress(uint32_t line, uint32_t lines);
void resend(uint32_t line, bool busy);
void replyReport(const char* command, const char* statusText);
void end(EndReason reason);

} // namespace Report
