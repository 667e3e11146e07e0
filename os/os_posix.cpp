// The os services on POSIX: events are eventfds (so they can be polled together with a port's
// descriptor), threads are pthreads, locks are mutexes in the caller's fixed storage.
#include "os/os_posix.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Os {

// Handles point into small fixed pools: creating an event or a thread allocates nothing.
struct EventObject {
    std::atomic<bool> inUse{false};
    int descriptor = -1;
    EventReset reset = EventReset::Auto;
};

struct ThreadObject {
    std::atomic<bool> inUse{false};
    pthread_t thread{};
    ThreadBody body = nullptr;
    bool abandoned = false;
};

namespace {

constexpr int EventPoolSize = 32;
constexpr int ThreadPoolSize = 8;

EventObject eventPool[EventPoolSize];
ThreadObject threadPool[ThreadPoolSize];
std::atomic<uint32_t> nextThreadId{1};

template <typename Object, int Size> Object* claimSlot(Object (&pool)[Size]) {
    for (Object& object : pool) {
        bool expected = false;
        if (object.inUse.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
            return &object;
        }
    }
    return nullptr;
}

// Takes the event's set state. A manual-reset event stays set; an auto-reset one is consumed,
// and false means another waiter consumed it first.
bool claim(EventHandle event) {
    if (event->reset == EventReset::Manual) {
        return true;
    }
    uint64_t count = 0;
    return read(event->descriptor, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

void* threadEntry(void* argument) {
    const ThreadBody body = static_cast<ThreadObject*>(argument)->body;
    body();
    return nullptr;
}

pthread_mutex_t* mutexOf(Lock& lock) {
    return reinterpret_cast<pthread_mutex_t*>(lock.storage);
}

} // namespace

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::storage), "Lock storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(Lock), "Lock storage misaligned");

int eventDescriptor(EventHandle event) {
    return event == nullptr ? -1 : event->descriptor;
}

EventHandle createEvent(EventReset reset) {
    EventObject* event = claimSlot(eventPool);
    if (event == nullptr) {
        return nullptr;
    }
    event->descriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (event->descriptor < 0) {
        event->inUse.store(false, std::memory_order_release);
        return nullptr;
    }
    event->reset = reset;
    return event;
}

void setEvent(EventHandle event) {
    const uint64_t one = 1;
    // A full counter (EAGAIN) means the event is set already.
    [[maybe_unused]] const ssize_t written = write(event->descriptor, &one, sizeof one);
}

void resetEvent(EventHandle event) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = read(event->descriptor, &count, sizeof count);
}

void closeEvent(EventHandle event) {
    if (event == nullptr) {
        return;
    }
    close(event->descriptor);
    event->descriptor = -1;
    event->inUse.store(false, std::memory_order_release);
}

WaitResult waitFirstOf(EventHandle first, EventHandle second, uint32_t timeoutMs) {
    const uint32_t started = tickCount();
    for (;;) {
        // poll ignores a negative descriptor, so a null second event waits for the first alone.
        pollfd pair[2] = {{eventDescriptor(first), POLLIN, 0},
                          {eventDescriptor(second), POLLIN, 0}};
        const int ready = poll(pair, 2, remainingMs(timeoutMs, started));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return WaitResult::Failed;
        }
        if (ready == 0) {
            return WaitResult::Timeout;
        }
        // The first is examined first, so it wins when both are set.
        if ((pair[0].revents & POLLIN) != 0 && claim(first)) {
            return WaitResult::First;
        }
        if ((pair[1].revents & POLLIN) != 0 && claim(second)) {
            return WaitResult::Second;
        }
        if (((pair[0].revents | pair[1].revents) & (POLLERR | POLLNVAL)) != 0) {
            return WaitResult::Failed;
        }
    }
}

bool waitEvent(EventHandle event, uint32_t timeoutMs) {
    return waitFirstOf(event, nullptr, timeoutMs) == WaitResult::First;
}

ThreadHandle startThread(ThreadBody body, uint32_t* threadId) {
    ThreadObject* thread = claimSlot(threadPool);
    if (thread == nullptr) {
        return nullptr;
    }
    thread->body = body;
    thread->abandoned = false;
    if (pthread_create(&thread->thread, nullptr, threadEntry, thread) != 0) {
        thread->inUse.store(false, std::memory_order_release);
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = nextThreadId.fetch_add(1, std::memory_order_relaxed);
    }
    return thread;
}

void setTimeCriticalPriority(ThreadHandle thread) {
    // Real-time scheduling needs privileges; without them the thread keeps its normal priority,
    // which is good enough for the line rates used here.
    sched_param parameters{};
    parameters.sched_priority = sched_get_priority_max(SCHED_FIFO);
    [[maybe_unused]] const int result =
        pthread_setschedparam(thread->thread, SCHED_FIFO, &parameters);
}

void terminateThread(ThreadHandle thread) {
    // POSIX has no safe way to end another thread. The thread is abandoned instead: detached so
    // that it releases itself whenever it does end. The process ends soon after such a stop.
    pthread_detach(thread->thread);
    thread->abandoned = true;
}

void closeThread(ThreadHandle thread) {
    if (thread == nullptr) {
        return;
    }
    if (!thread->abandoned) {
        pthread_join(thread->thread, nullptr);
    }
    thread->inUse.store(false, std::memory_order_release);
}

void initLock(Lock& lock) {
    pthread_mutex_init(mutexOf(lock), nullptr);
}
void enterLock(Lock& lock) {
    pthread_mutex_lock(mutexOf(lock));
}
void leaveLock(Lock& lock) {
    pthread_mutex_unlock(mutexOf(lock));
}
void deleteLock(Lock& lock) {
    pthread_mutex_destroy(mutexOf(lock));
}

uint32_t tickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms); // wraps like the Windows tick count
}

void sleepMs(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int remainingMs(uint32_t timeoutMs, uint32_t started) {
    if (timeoutMs == Infinite) {
        return -1;
    }
    const uint32_t elapsed = tickCount() - started;
    if (elapsed >= timeoutMs) {
        return 0;
    }
    const uint32_t left = timeoutMs - elapsed;
    return left > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
}

} // namespace Os
