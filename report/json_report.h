// "--json": the run as JSON Lines on standard output, one event per line, the result last.
// Every event has "event" and "t" (seconds since the run began).
#pragma once

#include "session/report.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace JsonReport {

// Seconds as every event writes them: rounded to the millisecond.
double rounded(double seconds);

// Standard output for the events, the human texts moved to standard error. nullptr, with the
// reason printed on standard error, when standard output was closed at start (closedStreams:
// the Os::StandardStream bits) or cannot be set apart.
std::FILE* takeOutput(unsigned closedStreams);

// Starts the clock and watches the session's events; lines go to out.
void begin(std::FILE* out);
// "start": what is about to be updated; records and data bytes once the image was accepted. With
// a unit's code given (a watch's child), "unit" names it (null for an empty code).
void start(const char* portArgument, uint32_t baud, const char* product, const char* device,
           const char* file, bool imageAccepted, const char* unit = nullptr);
// "result", always last; the reason given by the last end of the run. With --ledger the result
// holds "ledger": null when the update's line was written, else why not (ledgerProblem).
void finish(ExitStatus exitStatus, const std::optional<std::string>& ledgerProblem = {});

} // namespace JsonReport
