// What the program does once the command line is accepted and a port is chosen: open the port,
// run one upload session, close the port.
#pragma once

#include "session/report.h"
#include "session/session_state.h"

#include <cstdint>

ExitStatus runProgram(const UpdateRequest& request);
