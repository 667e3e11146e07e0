// Ports on Windows: the present devices of the Ports setup class, each with the "PortName" of its
// hardware key and its device description. Link with setupapi and advapi32.
#include "serial/port_discovery.h"

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <cstdlib>

namespace PortDiscovery {
char* readPortName(HKEY key);
} // namespace PortDiscovery

namespace {

// One walk over the device information set. Everything that belongs to the current device is
// released in releaseDevice(), before the next device and at the end of the walk.
struct Walk {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    DWORD index = 0;
    SP_DEVINFO_DATA device = {};
    HKEY key = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    char* name = nullptr;
    char* description = nullptr;
};

Walk walk;

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

void releaseDevice() {
    std::free(walk.name);
    walk.name = nullptr;
    std::free(walk.description);
    walk.description = nullptr;
    if (walk.key != static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
        RegCloseKey(walk.key);
        walk.key = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
}

bool beginWalk() {
    walk.set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    walk.index = 0;
    return walk.set != INVALID_HANDLE_VALUE;
}

// The first failure, whatever its cause, ends the walk. A device whose key cannot be opened is
// still a device; it simply has no port name.
bool nextDevice() {
    releaseDevice();
    walk.device = {};
    walk.device.cbSize = sizeof walk.device;
    if (!SetupDiEnumDeviceInfo(walk.set, walk.index, &walk.device)) {
        return false;
    }
    ++walk.index;
    walk.key = SetupDiOpenDevRegKey(walk.set, &walk.device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                    KEY_QUERY_VALUE);
    return true;
}

const char* portName() {
    if (walk.key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
        return nullptr;
    }
    std::free(walk.name);
    walk.name = PortDiscovery::readPortName(walk.key);
    return walk.name;
}

// REG_SZ only; the buffer has one byte more than the property so its text always ends.
const char* description() {
    DWORD type = 0;
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(walk.set, &walk.device, SPDRP_DEVICEDESC, &type, nullptr,
                                           0, &required) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return nullptr;
    }
    std::free(walk.description);
    walk.description = static_cast<char*>(std::calloc(static_cast<size_t>(required) + 1, 1));
    if (walk.description == nullptr) {
        return nullptr;
    }
    if (!SetupDiGetDeviceRegistryPropertyA(walk.set, &walk.device, SPDRP_DEVICEDESC, &type,
                                           reinterpret_cast<BYTE*>(walk.description), required,
                                           nullptr) ||
        type != REG_SZ) {
        return nullptr;
    }
    return walk.description;
}

void endWalk() {
    releaseDevice();
    if (walk.set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(walk.set);
        walk.set = INVALID_HANDLE_VALUE;
    }
}

} // namespace

namespace PortDiscovery {

// The key's "PortName" text, taken as stored (an expandable string is not expanded), or nullptr.
// The caller frees it. The buffer keeps a byte beyond the queried size so a value stored without
// its terminating zero still ends.
char* readPortName(HKEY key) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        !isStringType(type) || size > MAXDWORD - 2) {
        return nullptr;
    }
    char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 2));
    if (text == nullptr) {
        return nullptr;
    }
    text[0] = '\0';
    DWORD filled = size + 1;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(text), &filled) !=
            ERROR_SUCCESS ||
        !isStringType(type) || filled > size + 1) {
        std::free(text);
        return nullptr;
    }
    text[filled] = '\0';
    return text;
}

const DeviceSource& platformSource() {
    static const DeviceSource windowsSource = {beginWalk, nextDevice, portName, description,
                                               endWalk};
    return windowsSource;
}

PortNaming platformNaming() {
    return PortNaming::ComNumber;
}

} // namespace PortDiscovery
