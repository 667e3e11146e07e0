// Stop requests on Windows: Ctrl+C, Ctrl+Break and closing the console window, taken by a
// console control handler (which Windows runs on a thread of its own).
#include "os/interrupt.h"

#include <windows.h>

#include <atomic>

namespace Os {

namespace {

std::atomic<bool> requested{false};
std::atomic<uint32_t> requests{0};
std::atomic<EventHandle> wakeEvent{nullptr};
std::atomic<EventHandle> requestedEvent{nullptr}; // manual-reset, see interruptEvent
bool installed = false;

void setIfAny(const std::atomic<EventHandle>& event) {
    EventHandle handle = event.load(std::memory_order_acquire);
    if (handle != nullptr) {
        setEvent(handle);
    }
}

// Windows ends the process soon after the handler returns from a close event, so the handler
// gives the update this long to stop and release the port first.
constexpr DWORD CloseGraceMs = 3000;

BOOL WINAPI onControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    requests.fetch_add(1, std::memory_order_acq_rel);
    requested.store(true, std::memory_order_release);
    setIfAny(requestedEvent);
    setIfAny(wakeEvent);
    if (type == CTRL_CLOSE_EVENT) {
        Sleep(CloseGraceMs);
    }
    return TRUE;
}

} // namespace

void installInterruptHandler(EventHandle wake) {
    if (requestedEvent.load(std::memory_order_acquire) == nullptr) {
        requestedEvent.store(createEvent(EventReset::Manual), std::memory_order_release);
    }
    wakeEvent.store(wake, std::memory_order_release);
    if (!installed) {
        installed = SetConsoleCtrlHandler(onControl, TRUE) != 0;
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
    // Windows raises no signal for a closed pipe; the write fails and printing goes on.
}

} // namespace Os
