// What the program does once the command line is accepted and a port is chosen: open the port,
// run one upload session, close the port.
#pragma once

#include "session/session_state.h"

#include <cstdint>

// argv[3] is the product identifier, argv[5] the firmware path (its image already loaded).
// Returns the process's exit status (an ExitStatus).
int runProgram(DeviceKind deviceKind, const char* portName, uint32_t baudRate, char** argv);
