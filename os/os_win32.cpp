// The os services on Windows: kernel32 events, threads, critical sections and the tick count.
#include "os/os.h"

#include <windows.h>

#include <new>

namespace Os {
namespace {

HANDLE toHandle(EventHandle event) {
    return reinterpret_cast<HANDLE>(event);
}
HANDLE toHandle(ThreadHandle thread) {
    return reinterpret_cast<HANDLE>(thread);
}

CRITICAL_SECTION* section(Lock& lock) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(lock.storage));
}

// CreateThread wants a DWORD WINAPI (LPVOID) routine; the tool's bodies take nothing.
DWORD WINAPI threadTrampoline(LPVOID body) {
    return static_cast<DWORD>(reinterpret_cast<ThreadBody>(body)());
}

WaitResult waitResult(DWORD result) {
    switch (result) {
    case WAIT_OBJECT_0:
        return WaitResult::First;
    case WAIT_OBJECT_0 + 1:
        return WaitResult::Second;
    case WAIT_TIMEOUT:
        return WaitResult::Timeout;
    default:
        return WaitResult::Failed;
    }
}

} // namespace

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock::storage), "Lock storage too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(Lock), "Lock storage misaligned");
static_assert(Infinite == INFINITE);

EventHandle createEvent(EventReset reset) {
    const BOOL manualReset = reset == EventReset::Manual ? TRUE : FALSE;
    return reinterpret_cast<EventHandle>(CreateEventA(nullptr, manualReset, FALSE, nullptr));
}

void setEvent(EventHandle event) {
    SetEvent(toHandle(event));
}
void resetEvent(EventHandle event) {
    ResetEvent(toHandle(event));
}
void closeEvent(EventHandle event) {
    CloseHandle(toHandle(event));
}

WaitResult waitFirstOf(EventHandle first, EventHandle second, uint32_t timeoutMs) {
    // The first handle wins when both are set: WaitForMultipleObjects reports the lowest index.
    const HANDLE pair[2] = {toHandle(first), toHandle(second)};
    return waitResult(WaitForMultipleObjects(2, pair, FALSE, timeoutMs));
}

bool waitEvent(EventHandle event, uint32_t timeoutMs) {
    return WaitForSingleObject(toHandle(event), timeoutMs) == WAIT_OBJECT_0;
}

ThreadHandle startThread(ThreadBody body, uint32_t* threadId) {
    DWORD id = 0;
    HANDLE thread =
        CreateThread(nullptr, 0, threadTrampoline, reinterpret_cast<LPVOID>(body), 0, &id);
    if (threadId != nullptr) {
        *threadId = id;
    }
    return reinterpret_cast<ThreadHandle>(thread);
}

void setTimeCriticalPriority(ThreadHandle thread) {
    SetThreadPriority(toHandle(thread), THREAD_PRIORITY_TIME_CRITICAL);
}

void terminateThread(ThreadHandle thread) {
    TerminateThread(toHandle(thread), 0);
}
void closeThread(ThreadHandle thread) {
    CloseHandle(toHandle(thread));
}

void initLock(Lock& lock) {
    InitializeCriticalSection(new (lock.storage) CRITICAL_SECTION);
}
void enterLock(Lock& lock) {
    EnterCriticalSection(section(lock));
}
void leaveLock(Lock& lock) {
    LeaveCriticalSection(section(lock));
}
void deleteLock(Lock& lock) {
    DeleteCriticalSection(section(lock));
}

uint32_t tickCount() {
    return GetTickCount();
}
void sleepMs(uint32_t ms) {
    Sleep(ms);
}

} // namespace Os
