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

// What a script sees: 0 only after "Update Done!", 1 when an update session failed, 2 when the
// update could not start, 130 when the user stopped it (as a shell reports a Ctrl+C).
enum class ExitStatus : int {
    ExitDone = 0,
    ExitSessionFailed = 1,
    ExitNotStarted = 2,
    ExitAborted = 130
};
constexpr int exitCode(ExitStatus status) {
    return static_cast<int>(status);
}

// Why a run ended; the words a script sees are in Reasons.
enum class EndReason : uint8_t {
    Done,
    Usage,
    FileRefused,
    NoPort,
    PortNotOpened,
    NotSupported,
    LedgerRefused,
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

// Each reason with its word (JSON "reason") and the exit status it ends the run with, in the
// order of EndReason.
struct ReasonEntry {
    EndReason reason;
    const char* word;
    ExitStatus status;
};
inline constexpr ReasonEntry Reasons[] = {
    {EndReason::Done, "done", ExitStatus::ExitDone},
    {EndReason::Usage, "usage", ExitStatus::ExitNotStarted},
    {EndReason::FileRefused, "file_refused", ExitStatus::ExitNotStarted},
    {EndReason::NoPort, "no_port", ExitStatus::ExitNotStarted},
    {EndReason::PortNotOpened, "port_not_opened", ExitStatus::ExitNotStarted},
    {EndReason::NotSupported, "not_supported", ExitStatus::ExitNotStarted},
    {EndReason::LedgerRefused, "ledger_refused", ExitStatus::ExitNotStarted},
    {EndReason::NoContact, "no_contact", ExitStatus::ExitSessionFailed},
    {EndReason::UnknownApplication, "unknown_application", ExitStatus::ExitSessionFailed},
    {EndReason::ReplyTimeout, "reply_timeout", ExitStatus::ExitSessionFailed},
    {EndReason::RecordRefused, "record_refused", ExitStatus::ExitSessionFailed},
    {EndReason::TooManyResends, "too_many_resends", ExitStatus::ExitSessionFailed},
    {EndReason::OutOfStep, "out_of_step", ExitStatus::ExitSessionFailed},
    {EndReason::NoApplication, "no_application", ExitStatus::ExitSessionFailed},
    {EndReason::PortLost, "port_lost", ExitStatus::ExitSessionFailed},
    {EndReason::Aborted, "aborted", ExitStatus::ExitAborted},
};

// The phases a run reports, named as its JSON events name them (Phases). The session's own
// states (UploadPhase) are finer: CheckComms is the connect phase, ReadRecord and SendRecord
// the transfer.
enum class ReportPhase : uint8_t { Connect, Identify, AwaitBootLoader, Transfer, AwaitApplication };
struct PhaseEntry {
    ReportPhase phase;
    const char* word;
};
inline constexpr PhaseEntry Phases[] = {
    {ReportPhase::Connect, "connect"},
    {ReportPhase::Identify, "identify"},
    {ReportPhase::AwaitBootLoader, "await_boot_loader"},
    {ReportPhase::Transfer, "transfer"},
    {ReportPhase::AwaitApplication, "await_application"},
};

// What answered during a poll's wait, as the count line of an answer that came again names it
// (AnswerKinds: the word a script sees). The boot loader awaited says nothing on the console,
// so its answers are not counted.
enum class AnswerKind : uint8_t {
    Application,
    OtherBootLoader,
    OtherApplication,
    OtherProduct,
    ErrorStatus,
    Rebooting
};
struct AnswerKindEntry {
    AnswerKind kind;
    const char* word;
};
inline constexpr AnswerKindEntry AnswerKinds[] = {
    {AnswerKind::Application, "application"},
    {AnswerKind::OtherBootLoader, "other_boot_loader"},
    {AnswerKind::OtherApplication, "other_application"},
    {AnswerKind::OtherProduct, "other_product"},
    {AnswerKind::ErrorStatus, "error_status"},
    {AnswerKind::Rebooting, "rebooting"},
};

// A table indexed by an enum holds every enumerator, each in its own place.
template <typename Entry, size_t Count, typename Key>
constexpr bool inEnumOrder(const Entry (&table)[Count], Key Entry::*key, Key last) {
    for (size_t i = 0; i < Count; ++i) {
        if (static_cast<size_t>(table[i].*key) != i) {
            return false;
        }
    }
    return Count == static_cast<size_t>(last) + 1;
}
static_assert(inEnumOrder(Reasons, &ReasonEntry::reason, EndReason::Aborted));
static_assert(inEnumOrder(Phases, &PhaseEntry::phase, ReportPhase::AwaitApplication));
static_assert(inEnumOrder(AnswerKinds, &AnswerKindEntry::kind, AnswerKind::Rebooting));

constexpr const char* reasonWord(EndReason reason) {
    return Reasons[static_cast<size_t>(reason)].word;
}
constexpr ExitStatus exitStatusOf(EndReason reason) {
    return Reasons[static_cast<size_t>(reason)].status;
}
constexpr const char* phaseWord(ReportPhase phase) {
    return Phases[static_cast<size_t>(phase)].word;
}
constexpr const char* answerWord(AnswerKind kind) {
    return AnswerKinds[static_cast<size_t>(kind)].word;
}

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
    // The waits for the product's reboots (AwaitBootLoader, AwaitApplication): begun, a second
    // of the poll gone by, an answer of the poll's that was shown once but came `times` times in
    // all (told just before the end; command: what it answered), ended (answered: the awaited
    // firmware answered).
    void (*waitStarted)(ReportPhase phase, WaitMode mode);
    void (*waitSecond)();
    void (*answerRepeated)(AnswerKind kind, const char* command, uint32_t times);
    void (*waitEnded)(ReportPhase phase, WaitMode mode, uint32_t waitedMs, bool answered);
};

// Prints the tool's texts to standard output.
extern const Reporter ConsoleReporter;

namespace Report {

// The reporter every event goes to; the console reporter unless replaced. nullptr restores it.
void use(const Reporter* reporter);
const Reporter& current();

} // namespace Report
