#include "session/session_state.h"

#include <cstring>

DeviceKind deviceFromWord(const char* word) {
    for (const DeviceEntry& entry : DeviceTable) {
        if (std::strcmp(word, entry.word) == 0) {
            return entry.kind;
        }
    }
    return DeviceKind::None;
}

const char* wireName(DeviceKind kind) {
    for (const DeviceEntry& entry : DeviceTable) {
        if (entry.kind == kind) {
            return entry.wireName;
        }
    }
    return "NULL";
}

bool waitModeFromWord(const char* word, WaitMode& mode) {
    for (const WaitModeEntry& entry : WaitModeTable) {
        if (std::strcmp(word, entry.word) == 0) {
            mode = entry.mode;
            return true;
        }
    }
    return false;
}

const char* waitModeWord(WaitMode mode) {
    for (const WaitModeEntry& entry : WaitModeTable) {
        if (entry.mode == mode) {
            return entry.word;
        }
    }
    return "fixed";
}

SessionState sessionState;

namespace {

std::atomic<Os::EventHandle> replyEventHandle{nullptr};
std::atomic<bool> raisedSinceAnnounce{false};

} // namespace

namespace SessionSlots {

ReplySlot& slot(CommandIndex command) {
    return sessionState.replies[static_cast<int>(command)];
}

void clear(CommandIndex command) {
    ReplySlot& s = slot(command);
    s.received.store(0, std::memory_order_relaxed);
    s.ok.store(0, std::memory_order_relaxed);
    s.retry.store(0, std::memory_order_relaxed);
}

void clearAll() {
    for (int i = 0; i < CommandCount; ++i) {
        clear(static_cast<CommandIndex>(i));
    }
    for (std::atomic<uint32_t>& count : sessionState.answers) {
        count.store(0, std::memory_order_relaxed);
    }
}

// Relaxed: the raise that follows publishes it, and the session reads it after an acquire.
void countAnswer(CommandIndex command) {
    sessionState.answers[static_cast<int>(command)].fetch_add(1, std::memory_order_relaxed);
}

uint32_t answers(CommandIndex command) {
    return sessionState.answers[static_cast<int>(command)].load(std::memory_order_acquire);
}

void markOk(CommandIndex command) {
    slot(command).ok.store(1, std::memory_order_relaxed);
}

void markRetry(CommandIndex command, bool busy) {
    if (command == CommandIndex::Record) {
        sessionState.recordRetryBusy.store(busy ? 1 : 0, std::memory_order_relaxed);
    }
    slot(command).retry.store(1, std::memory_order_relaxed);
}

void raise(CommandIndex command) {
    slot(command).received.store(1, std::memory_order_release);
    raisedSinceAnnounce.store(true, std::memory_order_relaxed);
}

void announce() {
    if (!raisedSinceAnnounce.exchange(false, std::memory_order_acq_rel)) {
        return;
    }
    Os::EventHandle event = replyEventHandle.load(std::memory_order_acquire);
    if (event != nullptr) {
        Os::setEvent(event);
    }
}

bool received(CommandIndex command) {
    return slot(command).received.load(std::memory_order_acquire) != 0;
}

// Relaxed: the caller has seen received with acquire, which orders the words stored before it.
SlotAnswer take(CommandIndex command) {
    const ReplySlot& s = slot(command);
    const SlotAnswer answer{s.ok.load(std::memory_order_relaxed) != 0,
                            s.retry.load(std::memory_order_relaxed) != 0,
                            sessionState.recordRetryBusy.load(std::memory_order_relaxed) != 0};
    clear(command);
    return answer;
}

FirmwareIdentity identity() {
    return static_cast<FirmwareIdentity>(sessionState.identity.load(std::memory_order_relaxed));
}

void setIdentity(FirmwareIdentity identity) {
    sessionState.identity.store(static_cast<uint32_t>(identity), std::memory_order_relaxed);
}

void setReplyEvent(Os::EventHandle event) {
    replyEventHandle.store(event, std::memory_order_release);
}

Os::EventHandle replyEvent() {
    return replyEventHandle.load(std::memory_order_acquire);
}

} // namespace SessionSlots
