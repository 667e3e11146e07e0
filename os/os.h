// Threads, events, locks and time: the few platform services the tool needs.
// os_win32.cpp makes the kernel32 calls; os_posix.cpp gives the same contract on Linux.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Os {

// Opaque handles; nullptr means "none".
struct EventObject;
using EventHandle = EventObject*;
struct ThreadObject;
using ThreadHandle = ThreadObject*;

inline constexpr uint32_t Infinite = 0xFFFFFFFFu;

enum class EventReset : uint8_t { Auto, Manual };

EventHandle createEvent(EventReset reset); // initially not set; nullptr on failure
void setEvent(EventHandle event);
void resetEvent(EventHandle event);
void closeEvent(EventHandle event);

enum class WaitResult : uint8_t { First = 0, Second = 1, Timeout, Failed };

// Waits for the first of two events; when both are set, First wins (the stop event goes first).
// An auto-reset event that ends the wait is reset by it.
WaitResult waitFirstOf(EventHandle first, EventHandle second, uint32_t timeoutMs);
// True when the event was set within timeoutMs (consumed if auto-reset).
bool waitEvent(EventHandle event, uint32_t timeoutMs);

using ThreadBody = unsigned (*)();
ThreadHandle startThread(ThreadBody body, uint32_t* threadId); // runs at once; nullptr on failure
void setTimeCriticalPriority(ThreadHandle thread);
// Ends a thread that did not stop in time. Where the platform cannot, the thread is abandoned.
void terminateThread(ThreadHandle thread);
void closeThread(
    ThreadHandle thread); // releases the handle; the thread must have ended or been terminated
// The bounded stop both background threads get: clears ended, sets the stop event, polls ended
// for at most limitMs by the tick count and ends the thread by force (terminateThread) when it
// has not ended by then. True when the thread ended by itself. The thread stores 1 in ended
// (release) as it ends.
bool stopThread(ThreadHandle thread, EventHandle stopEvent, std::atomic<uint32_t>& ended,
                uint32_t limitMs);

// A mutual-exclusion lock in fixed storage, so no lock costs an allocation.
struct Lock {
    alignas(16) unsigned char storage[64];
};
void initLock(Lock& lock);
void enterLock(Lock& lock);
void leaveLock(Lock& lock);
void deleteLock(Lock& lock);

uint32_t tickCount(); // milliseconds, wraps at 2^32
void sleepMs(uint32_t ms);

} // namespace Os
