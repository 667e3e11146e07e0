// Stop requests on POSIX: SIGINT, SIGTERM and SIGHUP set a flag and the wake event. Both are
// async-signal-safe: a lock-free atomic store and one write to an eventfd.
#include "os/interrupt.h"

#include <atomic>
#include <csignal>

namespace Os {

namespace {

std::atomic<bool> requested{false};
std::atomic<uint32_t> requests{0};
std::atomic<EventHandle> wakeEvent{nullptr};
std::atomic<EventHandle> requestedEvent{nullptr}; // manual-reset, see interruptEvent
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<EventHandle>::is_always_lock_free);

void setIfAny(const std::atomic<EventHandle>& event) {
    EventHandle handle = event.load(std::memory_order_acquire);
    if (handle != nullptr) {
        setEvent(handle);
    }
}

void onStopSignal(int) {
    requests.fetch_add(1, std::memory_order_acq_rel);
    requested.store(true, std::memory_order_release);
    setIfAny(requestedEvent);
    setIfAny(wakeEvent);
}

} // namespace

void installInterruptHandler(EventHandle wake) {
    if (requestedEvent.load(std::memory_order_acquire) == nullptr) {
        requestedEvent.store(createEvent(EventReset::Manual), std::memory_order_release);
    }
    wakeEvent.store(wake, std::memory_order_release);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // a write in progress completes; waits re-check the flag
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

void clearInterruptWake() {
    wakeEvent.store(nullptr, std::memory_order_release);
}

bool interruptRequested() {
    return requested.load(std::memory_order_acquire);
}

EventHandle interruptEvent() {
    return requestedEvent.load(std::memory_order_acquire);
}

uint32_t interruptCount() {
    return requests.load(std::memory_order_acquire);
}

void ignoreBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace Os
