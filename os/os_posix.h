// POSIX-only additions to os.h, for the serial module's receive thread: it polls the port's
// descriptor and its stop event together.
#pragma once

#include "os/os.h"

namespace Os {

// The descriptor that becomes readable while the event is set; -1 for a null event.
int eventDescriptor(EventHandle event);

} // namespace Os
