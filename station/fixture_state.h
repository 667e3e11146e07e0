// The rules of a fixture's ports, whose bridges stay plugged: a unit arrives when it answers and
// has left when it has not answered for 2 s, as the port's probe tells (app/presence_run.h). An
// arrival is updated once, with its code when codes are scanned; a unit still there after its
// update, whatever the outcome, is never updated again; another product is shown and waited out.
#pragma once

#include "station/watch_state.h"

#include <vector>

namespace Fixture {

// Takes what the slot's probe told. True when the slot's update is to start now (the slot is then
// Starting: its probe is to let go of the port first).
bool takeSight(Station::Watch& watch, Station::Slot& slot, Station::PortSight sight,
               std::vector<Station::SlotChange>& changes);

// The slot's probe told this word ("present", "foreign", "absent", "port_closed"); Unknown for
// any other.
Station::PortSight sightOf(const std::string& word);

} // namespace Fixture
