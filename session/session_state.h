// The one record through which the parts of an update meet, and the lock-free handshake between
// the main thread (the session) and the reply reader's thread (the handlers).
#pragma once

#include "os/os.h"
#include "protocol/wire_format.h"

#include <atomic>
#include <cstdint>

enum class DeviceKind : uint32_t { None = 0, ARM = 1, BT = 2, DSP = 3 };

// The devices a command line may name: the word typed, the name sent in UPDATE, the kind.
struct DeviceEntry {
    const char* word;
    const char* wireName;
    DeviceKind kind;
};
inline constexpr DeviceEntry DeviceTable[] = {
    {"ARM", "ARM", DeviceKind::ARM},
    {"BT", "BT", DeviceKind::BT},
    {"DSP", "XMOS", DeviceKind::DSP},
};
DeviceKind deviceFromWord(const char* word); // exact, case-sensitive; None when unknown
const char* wireName(DeviceKind kind);       // "NULL" for None

// How the session waits for the product's reboots: the fixed pauses, or asking until it answers.
enum class WaitMode : uint8_t { Fixed, Poll };
struct WaitModeEntry {
    const char* word;
    WaitMode mode;
};
inline constexpr WaitModeEntry WaitModeTable[] = {{"fixed", WaitMode::Fixed},
                                                  {"poll", WaitMode::Poll}};
bool waitModeFromWord(const char* word, WaitMode& mode); // exact, lower case; false when unknown
const char* waitModeWord(WaitMode mode);

// What the command line asks for, once it has been checked and a port chosen; the image of
// imagePath is loaded (FirmwareImage). The texts live as long as the process.
struct UpdateRequest {
    const char* portName = "";
    uint32_t baudRate = 0;
    DeviceKind device = DeviceKind::None;
    const char* productId = "";
    const char* imagePath = "";
    WaitMode wait = WaitMode::Fixed;
    // The unit's code, for its ledger line: nullptr when none was given (the bridge's serial
    // number names the unit), empty when the unit has no name (a fixture's bridge is not the
    // unit's).
    const char* unitCode = nullptr;
};

enum class FirmwareIdentity : uint32_t { Unknown = 0, BootLoader = 1, Application = 2 };

enum class UploadPhase : uint32_t {
    CheckComms = 0,
    Identify = 1,
    AwaitBootLoader = 2,
    OpenImage = 3,
    ReadRecord = 4,
    SendRecord = 5,
    AwaitApplication = 6,
    Failed = 7,
    Done = 8,      // final: the update succeeded
    Abandoned = 9, // final: the update failed
    Aborted = 10,  // final: the user stopped it
};

// Written by one handler, read by the session: received is stored last (release) and read
// first (acquire), so ok and retry are never seen before the reply they belong to.
struct ReplySlot {
    std::atomic<uint32_t> received{0};
    std::atomic<uint32_t> ok{0};
    std::atomic<uint32_t> retry{0};
};

inline constexpr size_t RecordTextSize = 410; // a line of at most 409 characters and its NUL
inline constexpr size_t UpdateArgsSize = 256;

struct SessionState {
    const char* portName = "";
    const char* productId = "";
    DeviceKind deviceKind = DeviceKind::None;
    const char* firmwarePath = "";
    std::atomic<uint32_t> identity{0}; // a FirmwareIdentity
    UploadPhase phase = UploadPhase::CheckComms;
    ReplySlot replies[CommandCount];
    // Every answer the handlers took, by command, and what the session sent since the counts last
    // began: one answer per RECORD sent, or the answers no longer tell which record they belong
    // to. The counts begin afresh (answerBase) before a polled transfer.
    std::atomic<uint32_t> answers[CommandCount] = {};
    uint32_t answerBase[CommandCount] = {};
    uint32_t sent[CommandCount] = {};
    std::atomic<uint32_t> recordRetryBusy{0}; // the last retry answer was BUSY, not FAIL
    uint32_t transferUnderway = 0;            // from the heading to the end of the records
    uint32_t lineCount = 0;
    uint32_t linesRead = 0;
    char recordText[RecordTextSize] = {};
    char updateArgs[UpdateArgsSize] = {};
    uint8_t resendCount = 0;
    uint8_t waitCount = 0;
    int64_t waitDelayMs = 0;
    // The wait for a reboot: how, since when (tick count), the seconds told, and for the poll the
    // time of the next ask and the settling of the asks once the boot loader has answered.
    WaitMode waitMode = WaitMode::Fixed;
    bool waiting = false;
    uint32_t waitBegan = 0;
    uint32_t waitSeconds = 0;
    uint32_t nextAskAt = 0;
    bool settling = false;
    uint32_t answersSeen = 0;
    uint32_t quietSince = 0;
};

extern SessionState sessionState;

namespace SessionSlots {

ReplySlot& slot(CommandIndex command);
void clear(CommandIndex command); // received, ok, retry to 0
void clearAll();                  // and the answer counts
// Handler side, before raise: one more answer to the command.
void countAnswer(CommandIndex command);
uint32_t answers(CommandIndex command);
// Handler side: the outcome words first (they only ever go from 0 to 1 between two clearings),
// then raise, which stores received with release order.
void markOk(CommandIndex command);
void markRetry(CommandIndex command, bool busy = false); // busy: a RECORD answered BUSY
void raise(CommandIndex command);
// Reader side, after a pass over what arrived: sets the reply event if any slot was raised, so a
// waiting session looks only once every reply of the pass is counted (two answers a bridge
// delivered together are then seen together).
void announce();
// Session side: acquire load of received; only after it may ok, retry and identity be read.
bool received(CommandIndex command);
// Session side, once received: the answer's words, and the slot cleared for the next sending.
struct SlotAnswer {
    bool ok = false;
    bool retry = false;
    bool busy = false;
};
SlotAnswer take(CommandIndex command);

FirmwareIdentity identity();
void setIdentity(FirmwareIdentity identity);

// The auto-reset event that raise sets so a waiting session wakes at once; nullptr for none.
// Set before the reply reader starts, cleared after it has stopped.
void setReplyEvent(Os::EventHandle event);
Os::EventHandle replyEvent();

} // namespace SessionSlots
