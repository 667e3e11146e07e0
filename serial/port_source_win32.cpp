// Ports on Windows: the present devices of the Ports setup class, each with the "PortName" of its
// hardware key, its device description and what its hardware id, instance id, manufacturer,
// bus-reported description and location information tell of the USB device. Link with setupapi
// and advapi32.
#include "serial/port_discovery.h"

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
    std::string description;
};

Walk walk;

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

void releaseDevice() {
    std::free(walk.name);
    walk.name = nullptr;
    walk.description.clear();
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

// A device property of the wanted type as text; of a list of texts (REG_MULTI_SZ) the first.
// The buffer has one byte more than the property so its text always ends.
bool readProperty(DWORD property, DWORD wantedType, std::string& text) {
    DWORD type = 0;
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(walk.set, &walk.device, property, &type, nullptr, 0,
                                           &required) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    std::vector<char> buffer(static_cast<size_t>(required) + 1, '\0');
    if (!SetupDiGetDeviceRegistryPropertyA(walk.set, &walk.device, property, &type,
                                           reinterpret_cast<BYTE*>(buffer.data()), required,
                                           nullptr) ||
        type != wantedType) {
        return false;
    }
    text = buffer.data();
    return true;
}

const char* description() {
    if (!readProperty(SPDRP_DEVICEDESC, REG_SZ, walk.description)) {
        return nullptr;
    }
    return walk.description.c_str();
}

// "VID_10C4" anywhere in a hardware id gives "10c4"; empty unless four hex digits follow.
std::string idAfter(const std::string& hardwareId, const char* tag) {
    const size_t at = hardwareId.find(tag);
    if (at == std::string::npos || hardwareId.size() < at + 8) {
        return {};
    }
    std::string digits = hardwareId.substr(at + 4, 4);
    for (char& c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return {};
        }
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return digits;
}

// The device's instance id when it is a USB device's ("USB\VID_10C4&PID_EA60\..."); empty
// otherwise.
std::string usbInstanceId() {
    char id[512] = {};
    if (!SetupDiGetDeviceInstanceIdA(walk.set, &walk.device, id, sizeof id, nullptr) ||
        _strnicmp(id, "USB\\", 4) != 0) {
        return {};
    }
    return id;
}

// A USB device's instance id is "USB\VID_10C4&PID_EA60\<serial>" when the device reports a
// serial number; Windows makes up the last part, always with a '&' in it, when it does not.
std::string serialFromInstanceId(const std::string& id) {
    const size_t last = id.find_last_of('\\') + 1;
    return last > 4 && id.find('&', last) == std::string::npos ? id.substr(last) : std::string();
}

// A USB string descriptor holds at most 126 UTF-16 characters; anything longer is not one.
constexpr DWORD BusProductLimit = 256;

// The description a USB device gave the bus: its product string, as the maker wrote it into the
// bridge. In the ANSI code page, as the other texts of the walk are.
bool readBusProduct(std::string& text) {
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    SetupDiGetDevicePropertyW(walk.set, &walk.device, &DEVPKEY_Device_BusReportedDeviceDesc, &type,
                              nullptr, 0, &required, 0);
    if (required < sizeof(WCHAR) || required > BusProductLimit) {
        return false;
    }
    std::vector<WCHAR> wide(required / sizeof(WCHAR) + 1, L'\0');
    if (!SetupDiGetDevicePropertyW(walk.set, &walk.device, &DEVPKEY_Device_BusReportedDeviceDesc,
                                   &type, reinterpret_cast<BYTE*>(wide.data()), required, nullptr,
                                   0) ||
        type != DEVPROP_TYPE_STRING) {
        return false;
    }
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return false;
    }
    std::vector<char> narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, narrow.data(), size, nullptr, nullptr);
    text = narrow.data();
    return true;
}

void identity(UsbIdentity& identity) {
    identity = {};
    std::string hardwareId;
    if (readProperty(SPDRP_HARDWAREID, REG_MULTI_SZ, hardwareId)) {
        identity.vendorId = idAfter(hardwareId, "VID_");
        identity.productId = idAfter(hardwareId, "PID_");
    }
    const std::string instanceId = usbInstanceId();
    identity.serialNumber = instanceId.empty() ? std::string() : serialFromInstanceId(instanceId);
    readProperty(SPDRP_MFG, REG_SZ, identity.manufacturer);
    if (!instanceId.empty()) {
        readBusProduct(identity.product);
    }
    readProperty(SPDRP_LOCATION_INFORMATION, REG_SZ, identity.location);
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
    static const DeviceSource windowsSource = {
        beginWalk, nextDevice, portName, description, identity, endWalk,
    };
    return windowsSource;
}

PortNaming platformNaming() {
    return PortNaming::ComNumber;
}

// Port names reach here as COM and the number without leading zeros, one name per port.
std::string deviceKey(const std::string& name) {
    return name;
}

} // namespace PortDiscovery
