// "--list-ports": every serial port with what the platform knows of it, for people (aligned
// columns, the port name first) or for scripts (one JSON object per line).
#pragma once

#include "session/report.h"

namespace PortListing {

enum class Format : int { Text = 0, JsonLines = 1 };

// Returns the exit status: 0 when listed (no port at all included), 2 when the platform cannot
// list ports.
ExitStatus print(Format format);

} // namespace PortListing
