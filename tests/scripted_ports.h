// Devices for the port choice tests: a scripted walk that counts what the choice asked of it.
#pragma once

#include "serial/port_discovery.h"

#include <string>
#include <vector>

namespace ScriptedPorts {

struct Device {
    const char* name;
    const char* description;
    const char* serial = nullptr;
};

// The devices the scripted walk reports, and what the choice asked of it.
struct Script {
    bool available = true;
    std::vector<Device> devices;
    size_t index = 0;
    int begins = 0;
    int ends = 0;
    int descriptionCalls = 0;
    int identityCalls = 0;
};
inline Script script;

inline const DeviceSource scriptedSource = {
    [] { return ++script.begins, script.index = 0, script.available; },
    [] { return script.index++ < script.devices.size(); },
    [] { return script.devices[script.index - 1].name; },
    [] { return ++script.descriptionCalls, script.devices[script.index - 1].description; },
    [](UsbIdentity& identity) {
        const char* serial = script.devices[script.index - 1].serial;
        identity = {};
        identity.serialNumber = serial != nullptr ? serial : "";
        ++script.identityCalls;
    },
    [] { ++script.ends; },
};

inline const char* const Bridge = "Silicon Labs CP210x USB to UART Bridge";

} // namespace ScriptedPorts
