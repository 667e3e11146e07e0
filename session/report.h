// Everything the firmware image and the session tell their user, as named events. The console
// reporter prints the tool's texts for them, byte for byte; the JSON Lines output is the second
// reporter (it prints the same texts to standard error and adds its events). The command line's
// own texts are app/'s (EntryReporter).
#pragma once

#include "os/file_read.h"
#include "session/image_check.h"
#include "session/session_state.h"

#include <cstddef>
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

// How a session failed: the reason, where it was, and what the texts name.
struct SessionFailure {
    EndReason reason;
    UploadPhase phase;
    uint32_t line;  // the record in hand, counted as the progress line counts
    uint32_t lines; // of the progress line
    const char* portName;
};

struct Reporter {
    // The firmware image.
    void (*fileUnreadable)(const char* path, Os::FileReadResult result);
    void (*imageProblems)(const char* path, const ImageCheck::Report& report);
    void (*imageEmpty)(const char* path);
    void (*imageMissing)(const char* path);
    void (*uploadHeading)(const char* path, const char* productId); // and the start time
    void (*transferEnded)();                                        // the end time
    // The session.
    void (*phase)(ReportPhase phase); // Connect and Identify have their texts
    void (*replyTimeout)();
    void (*tryingAgain)();
    void (*rebootNeeded)();
    void (*startingUpload)();
    void (*waitingForApplication)();
    void (*progress)(uint32_t line, uint32_t lines);
    void (*resend)(uint32_t line, bool busy);
    void (*sessionFailed)(const SessionFailure& failure);
    void (*advice)(); // after every failure
    void (*done)();
    // The product's replies, on the reply reader's thread.
    void (*firmwareIdentity)(const char* productId, FirmwareIdentity identity, const char* version);
    void (*otherProduct)(const char* label);
    void (*replyReport)(const char* command, const char* statusText);
    void (*spellingHint)(const char* productsSpelling);
    void (*rebooting)();
    void (*unknownReply)();
};

// Prints the tool's texts to standard output.
extern const Reporter ConsoleReporter;

namespace Report {

// The reporter every event goes to; the console reporter unless replaced. nullptr restores it.
void use(const Reporter* reporter);
const Reporter& current();

} // namespace Report
