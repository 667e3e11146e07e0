// What the POSIX files of the serial module share beyond serial_port_internal.h.
#pragma once

#include "os/os.h"

#include <cstddef>
#include <cstdint>

namespace SerialPortPosix {

// The open port's descriptor; -1 while no port is open.
int portDescriptor();

// Names the other processes that have the terminal device at descriptor open ("minicom, process
// 4242", separated by "; ") into text; "-" when none can be told. Best effort: it reads what /proc
// shows this user.
void describeHolder(int descriptor, char* text, size_t size);

// Sets a line rate that has no Bnnnn constant (Linux termios2, BOTHER). False on failure.
bool setCustomLineRate(int descriptor, uint32_t rate);

} // namespace SerialPortPosix

namespace ReceiveThreadPosix {

// What the next receive thread works with, handed over before it starts. The thread keeps its
// own copies: close clears the module's fields even when a thread did not stop in time.
void handOver(int descriptor, Os::EventHandle dataReady, Os::EventHandle stop);

} // namespace ReceiveThreadPosix
