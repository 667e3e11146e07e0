// POSIX-only additions to os.h, for the serial module's receive thread: it polls the port's
// descriptor and its stop event together.
#pragma once

#include "os/os.h"

namespace Os {

// The descriptor that becomes readable while the event is set; -1 for a null event.
int eventDescriptor(EventHandle event);

// What is left of timeoutMs since started (a tick count) as poll() takes it: -1 for Infinite.
int remainingMs(uint32_t timeoutMs, uint32_t started);

} // namespace Os
