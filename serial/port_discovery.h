// Finds the computer's serial ports with their descriptions and what is known of their USB
// devices, and chooses the port to open: the USB-to-UART bridge's in automatic mode, a serial
// number's, otherwise the one the user types in. It prints and reads nothing itself: the list is
// shown and the answer read through the PortChooser that app/ hands down. Platform-free;
// port_source_win32.cpp and port_source_linux.cpp supply the devices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class PortChoiceMode : int { Manual = 0, Automatic = 1 };

// How ports are named to the user and to SerialPort::open.
enum class PortNaming : int {
    ComNumber = 0,  // Windows: "COM7", listed as such, chosen by typing 7
    DevicePath = 1, // POSIX: "/dev/ttyUSB0", listed as such, chosen by typing the path or ttyUSB0
};

// What the platform knows of the USB device behind a port; an empty text is not known.
struct UsbIdentity {
    std::string vendorId;  // four lower-case hex digits: "10c4"
    std::string productId; // "ea60"
    std::string serialNumber;
    std::string manufacturer;
    std::string product;  // the USB product string ("CP2102 USB to UART Bridge Controller")
    std::string location; // Linux: the USB device's sysfs name ("1-1.2"); Windows: its location
};

// One discovered port as it is listed and opened.
struct PortEntry {
    int32_t number = 0; // the digits after "COM"; 0 for a device path
    std::string name;   // "COM7" or "/dev/ttyUSB0"
    UsbIdentity usb;
};

// One enumeration: two parallel sequences of equal length; position i of each is one device,
// in the order the platform enumerates them. No sorting, no removal of duplicates.
struct PortList {
    std::vector<PortEntry> entries;
    std::vector<std::string> descriptions; // empty when the device has no usable description
};

// A walk over the present devices of the ports class, in enumeration order. Texts handed out stay
// valid until the next call of next() or end().
struct DeviceSource {
    bool (*begin)();              // false when no device list can be had at all
    bool (*next)();               // moves to the next present device; false when the walk ends
    const char* (*portName)();    // the current device's port name, or nullptr
    const char* (*description)(); // the current device's description, or nullptr
    void (*identity)(UsbIdentity& identity); // fills in what is known of the current device
    void (*end)(); // releases what the walk holds; after every begin() that succeeded
};

// What the user typed at the prompt: a number (COM names) or a word (device paths).
struct TypedChoice {
    bool typed = false; // false: nothing usable came
    int32_t number = 0;
    std::string word;
};

// How a choice meets its user; app/ hands down the console's. Until then nothing is shown and
// nothing typed.
struct PortChooser {
    void (*showList)(const PortList& list); // the ports, or that there are none
    TypedChoice (*ask)(PortNaming naming);  // the prompt, and the answer read
};

inline constexpr size_t ChosenNameSize = 256;
inline constexpr const char* BridgeMarker = "Silicon Labs";
inline constexpr size_t NoPick = SIZE_MAX;

namespace PortDiscovery {

// Lists the ports and chooses one. Returns a view of the chosen name, valid until the next call,
// or nullptr: no device list, no ports, no bridge in automatic mode, or (device paths) no
// usable path typed in.
const char* choosePort(PortChoiceMode mode);

// Lists the ports as the manual choice does and picks the one whose USB serial number is exactly
// the one serialText names (the text after "SN=", with its escapes: serial_number_entry.h),
// without a prompt. nullptr when no port or several have it, the text names none, or there is no
// list.
const char* choosePortBySerial(const char* serialText);

void setChooser(const PortChooser& chooser);

// Empties and fills the list; false only when the platform cannot supply a device list.
bool enumeratePorts(PortList& list);

// A description that names the bridge ("Silicon Labs", case-sensitive).
bool isBridge(const std::string& description);
// The positions of every port described as the bridge, in enumeration order.
std::vector<size_t> bridgePositions(const PortList& list);
// The position of the port that AUTO opens without asking: the only one described as the bridge.
// NoPick when no port or several are.
size_t automaticPick(const PortList& list);

// A port argument "SN=<serial>" gives the text after "SN=" (escapes not yet read); otherwise
// nullptr.
const char* serialArgument(const char* argument);
// The positions of the ports whose USB serial number is exactly serial (an unknown one never
// matches).
std::vector<size_t> serialPositions(const PortList& list, const std::string& serial);

// "COM7" for 7, as a port number typed at the prompt names it.
std::string comPortName(int32_t number);
// A word typed at the device path prompt as a path: a bare name is the device of that name in
// /dev. Empty when nothing usable was typed or the path is too long.
std::string typedDevicePath(const char* word);

// "COM" in any case followed by one or more digits; the number must fit 32 bits.
bool parseComPortName(const char* text, int32_t& number);

// On POSIX a port argument that is a device path is opened as given, without list or prompt, and
// so is a port served over the network (rfc2217://, socket://) everywhere. Returns that name, or
// nullptr when the argument is to go through the choice.
const char* directPortName(const char* argument);

// The platform's own device walk and naming; tests replace them.
const DeviceSource& platformSource();
PortNaming platformNaming();
// What tells two port names apart as devices: two names with one key open one device.
std::string deviceKey(const std::string& name);
void setSource(const DeviceSource& source);
void setNaming(PortNaming naming);
// The naming in force (the platform's unless a test replaced it).
PortNaming currentNaming();
// --exact-port: a port name (COM7, a device path or name) is opened as given, without the list
// or a prompt; AUTO and SN= keep their meaning.
void setExactNames(bool exact);

} // namespace PortDiscovery
