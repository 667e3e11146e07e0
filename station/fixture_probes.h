// The probe of a fixture's port: a child process of this program that holds the port open,
// asks about every 500 ms whether a unit answers and tells each change (app/presence_run.h),
// until it is stopped so that an update can open the port.
#pragma once

#include "os/process.h"
#include "station/child_update.h"
#include "station/watch_state.h"

#include <string>
#include <string_view>
#include <vector>

namespace FixtureProbes {

// A probe that fails at once is started again no sooner than this.
inline constexpr uint32_t RestartAfterMs = 1000;

// nullptr with problem set when it cannot start.
Os::ChildHandle start(const std::string& program, const ChildUpdate::Invocation& invocation,
                      const std::string& port, std::string& problem);

// What the probe told in the output bytes it gave: its whole lines are taken out of pending.
std::vector<Station::PortSight> sights(std::string& pending, std::string_view bytes);

} // namespace FixtureProbes
