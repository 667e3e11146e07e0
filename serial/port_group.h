// A port argument that names many ports: "COM5,COM7", "/dev/ttyUSB0,SN=0001A2B3", or ALL (every
// port described as a Silicon Labs bridge, the ports AUTO looks for). Each entry is resolved to the
// name of one port before anything is opened; platform-free, through PortDiscovery's device walk.
#pragma once

#include "serial/port_discovery.h"

#include <string>
#include <vector>

inline constexpr size_t MaxGroupPorts = 64;

// One port of a group: as the argument named it, and the name it opens as.
struct GroupPort {
    std::string entry; // "COM5", "SN=0001A2B3", "/dev/ttyUSB0"
    std::string name;  // "COM5", "/dev/ttyUSB0"
};

struct PortGroup {
    std::vector<GroupPort> ports;
    std::string problem; // non-empty: refused, and ports is empty
};

namespace PortDiscovery {

// True for a list (any comma) or ALL (in any case). A single port followed by a comma ("COM7,")
// is a list of one.
bool isPortGroup(const char* argument);

// Splits and resolves the argument: at most MaxGroupPorts entries, no empty entry but a trailing
// one, no port named twice (however named), ALL only on its own, every SN= naming exactly one
// port. Ports are listed only when ALL or SN= needs it, and nothing is printed.
PortGroup resolveGroup(const char* argument);

// The port name an entry stands for without a list: "com7" as COM7 (COM names), "ttyUSB0" as
// /dev/ttyUSB0 (device paths), "RFC2217://Lab1:03001" as rfc2217://lab1:3001 (either naming).
// Empty for AUTO, ALL, SN= and what is no port name.
std::string exactPortName(const char* entry);

} // namespace PortDiscovery
