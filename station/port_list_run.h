// The parent of many updates: checks the image once, resolves the port list, starts one child
// process of this program per port (all at once), shows their runs, passes a stop request on to
// every child and sums the runs up.
#pragma once

#include "station/child_update.h"

namespace PortLists {

// Returns the exit status: 0 every port succeeded, 1 any failed, 2 none could start (a refused
// image or port list included), 130 stopped by Ctrl+C, SIGTERM or SIGHUP.
ExitStatus run(const ChildUpdate::Invocation& invocation);

} // namespace PortLists
