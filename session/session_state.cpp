#include "session/session_state.h"

const char* const DeviceNames[DeviceKindCount] = {"NULL", "ARM", "BT", "XMOS"};

SessionState sessionState;

namespace {

std::atomic<Os::EventHandle> replyEventHandle{nullptr};

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
    sessionState.recordAnswers.store(0, std::memory_order_relaxed);
}

// Relaxed: the raise that follows publishes it, and the session reads it after an acquire.
void countRecordAnswer() {
    sessionState.recordAnswers.fetch_add(1, std::memory_order_relaxed);
}

uint32_t recordAnswers() {
    return sessionState.recordAnswers.load(std::memory_order_acquire);
}

void raise(CommandIndex command) {
    slot(command).received.store(1, std::memory_order_release);
    Os::EventHandle event = replyEventHandle.load(std::memory_order_acquire);
    if (event != nullptr) {
        Os::setEvent(event);
    }
}

bool received(CommandIndex command) {
    return slot(command).received.load(std::memory_order_acquire) != 0;
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
