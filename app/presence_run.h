// --presence: how a fixture watch sees units come and go on a port that stays plugged. It runs as
// a child of the watch, holds the port open (opening it again when it fails), asks about every
// 500 ms whether a product answers, and tells each change as a JSON line until it is stopped.
#pragma once

#include "session/report.h"
#include "session/session_state.h"

#include <cstdio>

namespace PresenceRun {

// Events, one JSON object a line on events:
//   {"event":"presence","t":1.5,"state":"present"}   this product answers
//   {"event":"presence","t":1.5,"state":"foreign"}   another product answers
//   {"event":"presence","t":3.0,"state":"absent"}    no well-formed answer for 2 s
//   {"event":"presence","t":0.0,"state":"port_closed","reason":"not_opened"}   or "lost"
// Returns 130 once a stop request ended it.
ExitStatus run(const UpdateRequest& request, std::FILE* events);

} // namespace PresenceRun
