// The world the program's session runs in: the serial port, the reply reader, stop requests and
// real time. Kept apart from the state machine so its tests link without a port or a reader.
#pragma once

#include "os/os.h"
#include "session/upload_session.h"

namespace SessionWiring {

const SessionEnvironment& real();

// One auto-reset event that wakes the waiting session for a reply, a lost port and a stop
// request; from here on a stop request no longer ends the process on the spot.
Os::EventHandle attachWake();
// Detaches and closes it.
void detachWake(Os::EventHandle wake);

} // namespace SessionWiring
