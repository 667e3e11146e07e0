// A port list's summary: the exit status of the run, the command that retries the ports that did
// not update, and the "summary" event, from what each port's child told.
#pragma once

#include "station/child_update.h"

#include <string>
#include <vector>

namespace PortLists {

using ChildUpdate::Invocation;
using ChildUpdate::Json;
using ChildUpdate::PortRun;

// 130 when a stop request came while children ran; otherwise 0 when every port succeeded, 2 when
// none could start, 1 when any failed.
ExitStatus overallStatus(const std::vector<PortRun>& runs, bool stopped);

// The command that updates just the ports that did not succeed, with the same options; empty
// when none failed. One port is written with a trailing comma, so it stays a port list; an SN=
// entry is written with the escapes of serial_number_entry.h.
std::string retryCommand(const Invocation& invocation, const std::vector<PortRun>& runs);

// The "summary" event: every port's outcome, the failed ports and the retry command.
Json summaryEvent(const Invocation& invocation, const std::vector<PortRun>& runs, ExitStatus status,
                  const std::string& reason, double seconds);

} // namespace PortLists
