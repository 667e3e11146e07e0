// What the station's page shows and /state serves: every port's state, the counts and the last
// units, as one JSON object built from a port list's runs or a watch's slots and units.
#pragma once

#include "station/child_update.h"
#include "station/watch_state.h"

#include <chrono>
#include <deque>
#include <string>
#include <vector>

namespace StationSnapshot {

using ChildUpdate::Json;

// At most this many units stand in last_units, newest first.
inline constexpr size_t LastUnits = 20;

// A unit whose update ended, as the page lists it.
struct EndedUnit {
    std::chrono::system_clock::time_point time;
    std::string port;
    std::string unit; // its code or serial number; empty: none
    std::string result;
    std::string reason;
    double seconds = 0;
};

// The units that ended, newest first, at most LastUnits.
struct Recent {
    std::deque<EndedUnit> units;
};
void remember(Recent& recent, const ChildUpdate::PortRun& run, const std::string& unit);

// The image's path and the SHA-256 of its file, for the page's heading.
struct Image {
    std::string path;
    std::string sha256;
};

Json ofPortList(const std::vector<ChildUpdate::PortRun>& runs, const Recent& recent,
                const Image& image, double elapsedSeconds);
Json ofWatch(const Station::Watch& watch, const Recent& recent, const Image& image,
             double elapsedSeconds);

} // namespace StationSnapshot
