// --dashboard: a port list or a watch serves its own page while it runs. This module holds what
// the page is fed: every event the run writes (the same lines as --json) and, whenever something
// changed, the run's snapshot (station_snapshot.h); the server runs on threads of its own and
// never slows the run (dashboard/dashboard.h).
#pragma once

#include "station/child_update.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace StationPage {

// Starts serving when the invocation asks for a page; false, with the reason printed on human,
// when it cannot be served (the port is taken, the host is no address of this machine).
bool open(const ChildUpdate::Invocation& invocation, std::FILE* human);

// One event of the run: to --json's output when there is one (json: nullptr otherwise) and to
// the page.
void emit(std::FILE* json, const ChildUpdate::Json& event);

// The snapshot, when serving: at once when final, otherwise no more often than every 200 ms.
void show(const ChildUpdate::Json& snapshot, bool final = false);
// True when a snapshot is due (serving, and the last one is 200 ms old).
bool due();
// How long a run's wait may last so that the page follows it: 200 ms while serving, else limit.
uint32_t waitLimit(uint32_t limit);

// Lets the open pages take the last events and snapshot, then stops serving.
void close();

} // namespace StationPage
