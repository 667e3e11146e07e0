#include "station/fixture_state.h"

#include <utility>

namespace Fixture {

namespace {

using Station::Change;
using Station::PortSight;
using Station::Slot;
using Station::SlotChange;
using Station::SlotState;
using Station::Watch;

void tell(Slot& slot, Change change, std::vector<SlotChange>& changes) {
    changes.push_back({change, slot.key, slot.port, {}});
}

// This product answers where no unit was: it is updated, waits for its code, or (stopping) waits.
bool arrive(Watch& watch, Slot& slot, std::vector<SlotChange>& changes) {
    slot.present = true;
    if (!watch.accepting) {
        slot.state = SlotState::Waiting;
        return false;
    }
    if (watch.scanCodes && slot.code.empty()) {
        slot.state = SlotState::AwaitingCode;
        tell(slot, Change::AwaitingCode, changes);
        return false;
    }
    Station::beginUpdate(watch, slot, std::exchange(slot.code, {}));
    tell(slot, Change::Arrived, changes);
    return true;
}

} // namespace

PortSight sightOf(const std::string& word) {
    if (word == "present") {
        return PortSight::Present;
    }
    if (word == "foreign") {
        return PortSight::Foreign;
    }
    if (word == "absent") {
        return PortSight::Absent;
    }
    return word == "port_closed" ? PortSight::Closed : PortSight::Unknown;
}

bool takeSight(Watch& watch, Slot& slot, PortSight sight, std::vector<SlotChange>& changes) {
    if (slot.state == SlotState::Starting || slot.state == SlotState::Updating) {
        return false; // a probe's last word before it let go: the update holds the port now
    }
    slot.sight = sight;
    switch (sight) {
    case PortSight::Present:
        // Still there after its update or still awaiting its code: nothing new. Another product
        // swapped for this one within the 2 s is a new arrival.
        return !slot.present || slot.state == SlotState::Foreign ? arrive(watch, slot, changes)
                                                                 : false;
    case PortSight::Foreign:
        if (slot.state != SlotState::Foreign) {
            slot.present = true;
            slot.state = SlotState::Foreign;
            tell(slot, Change::Foreign, changes);
        }
        return false;
    case PortSight::Absent:
        if (slot.present) {
            slot.present = false;
            slot.state = SlotState::Waiting;
            tell(slot, Change::Left, changes);
        }
        return false;
    case PortSight::Closed:
    case PortSight::Unknown:
        break;
    }
    return false;
}

} // namespace Fixture
