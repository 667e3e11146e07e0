// A user's request to stop (Ctrl+C, Ctrl+Break, closing the console; SIGINT, SIGTERM, SIGHUP):
// once the handler is installed such a request no longer ends the process on the spot. It is
// noted and the wake event is set, so the update can stop at its next step and release the port.
#pragma once

#include "os/os.h"

#include <cstdint>

namespace Os {

// wake: set on every request (nullptr: none). Installing again replaces the event.
void installInterruptHandler(EventHandle wake);
// Detaches the wake event (before it is closed); requests are still noted.
void clearInterruptWake();
bool interruptRequested();
// Set by the first request and never reset: interruptRequested() as an event to wait on, for
// waits that must end at a stop without taking the session's wake event (the opening of a port
// on another machine). Made by the first installInterruptHandler; nullptr before it or when no
// event could be made.
EventHandle interruptEvent();
// How many requests came: a watch stops taking new units at the first and aborts at the second.
uint32_t interruptCount();
// Output to a closed pipe (uartflash ... | head) must not end an update; writes just fail.
void ignoreBrokenPipe();

} // namespace Os
