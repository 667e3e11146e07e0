// --watch, a production station: bridges are looked for again and again, and each unit plugged
// in gets its own child update (as a port list's ports do) while the others run. This module keeps
// what the listings and the children told: one slot per port line, the units updated, and from
// them the summary, the retry command and the exit status. Platform-free; watch_run.cpp does the
// listings and the processes.
#pragma once

#include "os/process.h"
#include "serial/port_discovery.h"
#include "station/child_update.h"

#include <set>
#include <string>
#include <vector>

namespace Station {

using ChildUpdate::Json;

// What the port argument names: every bridge (ALL, the ports AUTO looks at), or these serial
// numbers (SN=0001A2B3,SN=0001A2B4).
struct Target {
    bool allBridges = true;
    std::vector<std::string> serials;
};

// "ALL" in any case, or SN= entries separated by commas (one trailing comma allowed), each with a
// serial number (its escapes read: serial_number_entry.h) and none twice, at most MaxGroupPorts.
// False with problem set otherwise.
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
    Waiting,  // no unit, or one that came while the station stopped taking units
    Updating, // its child runs
    Finished, // its unit's update ended and the unit is still plugged in
    Skipped,  // its unit was updated before in this watch
};

// One line of the live view: a port (ALL) or a serial number (SN=).
struct Slot {
    std::string key;
    std::string port;   // of the unit plugged in, or of the last one
    std::string serial; // likewise; empty when its bridge has none
    bool present = false;
    SlotState state = SlotState::Waiting;
    ChildUpdate::PortRun run;        // the unit in hand, or the last one
    Os::ChildHandle child = nullptr; // while Updating
    int openStreams = 0;             // of the child's pipes
};

// One unit's update, once it ended.
struct Unit {
    std::string serial; // empty when its bridge has none
    ChildUpdate::PortRun run;
};

struct Watch {
    Target target;
    bool again = false;    // --again: a serial number updated before is updated again
    bool accepting = true; // false after the first stop request: no new units
    uint32_t records = 0;  // of the image, for the progress of each update
    std::vector<Slot> slots;
    std::vector<Unit> units;       // in the order they ended
    std::set<std::string> updated; // serial numbers updated with success
    uint32_t skipped = 0;
};

// What a listing changed, one slot at a time.
enum class Change : uint8_t {
    Plugged,   // a new unit: its update is to start now
    Skipped,   // a new unit whose serial number was updated before
    Unplugged, // the unit went away
};
struct SlotChange {
    Change change;
    std::string key;
    std::string port;
    std::string serial; // of the unit that came or went; empty when its bridge has none
};

// Takes one listing's sightings: a slot whose unit is new (it was not there, or another serial
// number is there now) gets its update or is skipped; a slot whose unit went away is unplugged
// and, for ALL, dropped once no update runs on it. An update that runs is never started twice.
// With SN= every serial number has its slot from the start.
std::vector<SlotChange> takeListing(Watch& watch, const std::vector<Sighting>& seen);

Slot* findSlot(Watch& watch, const std::string& key);

// The slot's update ended with this process status: the unit joins the units, and a success adds
// its serial number to those updated. The slot waits for the unplug, or is free (dropped for ALL)
// when the unit is gone already. Returns the unit that ended; nullptr when no update ran there.
Unit* endUpdate(Watch& watch, const std::string& key, int processStatus);

// Units whose last update did not succeed: their serial numbers (each once, in the order of
// their ends), and how many failed units had none.
std::vector<std::string> failedSerials(const Watch& watch);
size_t failedWithoutSerial(const Watch& watch);
uint32_t unitsOk(const Watch& watch);
uint32_t unitsFailed(const Watch& watch);

// 130 when the running updates were aborted (a second stop request); otherwise 0 when every
// unit's last update succeeded, 1 when any did not.
ExitStatus overallStatus(const Watch& watch, bool aborted);

// The watch that updates just the failed serial numbers, with the same options, each written as
// an SN= entry with its escapes; empty when none failed or none of them has a serial number.
std::string retryCommand(const ChildUpdate::Invocation& invocation, const Watch& watch);

// The "summary" event: every unit's outcome, the counts, the failed serial numbers and the retry.
Json summaryEvent(const ChildUpdate::Invocation& invocation, const Watch& watch, ExitStatus status,
                  const std::string& reason, double seconds);

} // namespace Station
