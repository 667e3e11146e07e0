// --watch, a production station: each unit that comes gets its own child update (as a port list's
// ports do) while the others run. Units come two ways: with their own bridge, plugged in and found
// by the port listings (ALL, SN=), or on the ports of a fixture that stay plugged, found by their
// answer (fixture_state.h). This module keeps what the listings, the fixture's probes, the scans
// and the children told: one slot per line of the live view, the units updated, and from them the
// counts (watch_summary.h). Platform-free; watch_run.cpp does the listings and the processes.
#pragma once

#include "os/process.h"
#include "serial/port_discovery.h"
#include "station/child_update.h"

#include <deque>
#include <set>
#include <string>
#include <vector>

namespace Station {

using ChildUpdate::Json;

// What the port argument names: every bridge (ALL, the ports AUTO looks at), these serial numbers
// (SN=0001A2B3,SN=0001A2B4), or ports whose bridge stays plugged (a fixture).
struct Target {
    bool allBridges = true;
    std::vector<std::string> serials;
    bool fixedPorts = false;
    std::vector<std::string> ports; // fixed ports: the names the children open, in the given order
};

// "ALL" in any case; SN= entries separated by commas (one trailing comma allowed), each with a
// serial number (its escapes read: serial_number_entry.h) and none twice; or a port list of ports
// that stay plugged (device paths, COM names, rfc2217:// and socket:// ports), each port once
// however named; at most MaxGroupPorts. Both kinds in one argument are refused. False with
// problem set otherwise.
bool parseTarget(const std::string& argument, Target& target, std::string& problem);

// A port of one listing that the target names, under the key of its line: its port name for ALL,
// "SN=<serial>" for a serial number. A serial number that several ports have names none of them.
struct Sighting {
    std::string key;
    std::string port;
    UsbIdentity usb;
};
std::vector<Sighting> sightings(const PortList& list, const Target& target);

enum class SlotState : uint8_t {
    Waiting,      // no unit, or one that came while the station stopped taking units
    AwaitingCode, // a unit is there, but no code was scanned for it yet (--unit-id scan)
    Foreign,      // another product answers on the fixture's port
    Starting,     // the fixture's probe lets go of the port; the update starts once it has
    Updating,     // its child runs
    Finished,     // its unit's update ended and the unit is still there
    Skipped,      // its unit was updated before in this watch
};

// What a fixture's probe last told of its port.
enum class PortSight : uint8_t { Unknown, Present, Foreign, Absent, Closed };

// One line of the live view: a port (ALL, fixed ports) or a serial number (SN=).
struct Slot {
    std::string key;
    uint32_t number = 0; // fixed ports: 1, 2, ... in the given order; 0 otherwise
    std::string port;    // of the unit plugged in, or of the last one
    std::string serial;  // likewise; empty when its bridge has none
    std::string code;    // fixed ports: the code scanned for the next unit here
    std::string unit;    // the unit in hand or the last one: its code, else its serial number
    bool present = false;
    SlotState state = SlotState::Waiting;
    ChildUpdate::PortRun run;        // the unit in hand, or the last one
    Os::ChildHandle child = nullptr; // while Updating
    // Fixed ports: the child that watches the port between updates, and what it told.
    Os::ChildHandle probe = nullptr;
    std::string probePending;
    PortSight sight = PortSight::Unknown;
};

// One unit's update, once it ended.
struct Unit {
    std::string serial; // its bridge's; empty when it has none or the bridge is a fixture's
    std::string code;   // as the slot named it: the scanned code, else the serial (not a fixture's)
    ChildUpdate::PortRun run;
};
// What names a unit in the summary and the retry: its code, else its serial number.
const std::string& unitName(const Unit& unit);

struct Watch {
    Target target;
    bool again = false;     // --again: a unit updated before is updated again
    bool scanCodes = false; // --unit-id scan
    bool accepting = true;  // false after the first stop request: no new units
    uint32_t records = 0;   // of the image, for the progress of each update
    std::string productId;  // for "not a KORVA"
    std::vector<Slot> slots;
    std::vector<Unit> units;       // in the order they ended
    std::set<std::string> updated; // units (serial numbers or codes) updated with success
    std::deque<std::string> codes; // ALL and SN= with scans: codes for the next bridges
    uint32_t skipped = 0;
};

// What a listing, a probe or a scan changed, one slot at a time.
enum class Change : uint8_t {
    Plugged,      // a new unit: its update is to start now
    Skipped,      // a new unit whose serial number was updated before
    Unplugged,    // the unit went away
    Arrived,      // a unit answers on a fixed port: its update is to start now
    AwaitingCode, // a unit came, and waits for its code to be scanned
    Foreign,      // another product answers on a fixed port
    Left,         // the unit on a fixed port stopped answering
};
struct SlotChange {
    Change change;
    std::string key;
    std::string port;
    std::string serial; // of the unit that came or went; empty when its bridge has none
};

// The slots a watch starts with: one per serial number (SN=) or per fixed port, numbered.
void makeSlots(Watch& watch);

// Takes one listing's sightings: a slot whose unit is new (it was not there, or another serial
// number is there now) gets its update, waits for its code, or is skipped; a slot whose unit went
// away is unplugged and, for ALL, dropped once no update runs on it. An update that runs is never
// started twice.
std::vector<SlotChange> takeListing(Watch& watch, const std::vector<Sighting>& seen);

Slot* findSlot(Watch& watch, const std::string& key);
const Slot* findSlot(const Watch& watch, const std::string& key);

// The slot's update is to start now, for the unit named code (empty: none scanned): a fresh run.
void beginUpdate(Watch& watch, Slot& slot, const std::string& code);

// The slot's update ended with this process status: the unit joins the units, and a success adds
// its name to those updated. The slot waits for the unit to leave, or is free (dropped for ALL)
// when the unit is gone already. Returns the unit that ended; nullptr when no update ran there.
Unit* endUpdate(Watch& watch, const std::string& key, int processStatus);

} // namespace Station
