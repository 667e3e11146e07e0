// The bounded thread stop, written once over the os services for every platform.
#include "os/os.h"

namespace Os {

bool stopThread(ThreadHandle thread, EventHandle stopEvent, std::atomic<uint32_t>& ended,
                uint32_t limitMs) {
    ended.store(0, std::memory_order_release);
    setEvent(stopEvent);
    const uint32_t started = tickCount();
    while (ended.load(std::memory_order_acquire) == 0) {
        if (tickCount() - started > limitMs) {
            terminateThread(thread);
            ended.store(1, std::memory_order_release);
            return false;
        }
        sleepMs(1); // the thread normally ends at once; no need to burn a core meanwhile
    }
    return true;
}

} // namespace Os
