// What the POSIX files of the serial module share beyond serial_port_internal.h.
#pragma once

#include <cstdint>

namespace SerialPortPosix {

// The open port's descriptor; -1 while no port is open.
int portDescriptor();

// Sets a line rate that has no Bnnnn constant (Linux termios2, BOTHER). False on failure.
bool setCustomLineRate(int descriptor, uint32_t rate);

} // namespace SerialPortPosix
