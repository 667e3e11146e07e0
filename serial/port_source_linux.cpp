// Ports on Linux: the ttys of sysfs that have a real device behind them, named by their device
// path and described as Windows describes them where the driver tells (a CP210x), otherwise by the
// USB device's manufacturer and product strings, with the USB device's ids, strings, serial number
// and bus position where there is one.
#include "serial/port_source_linux.h"
#include "serial/port_discovery.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

// How far above a tty's device the USB device folder may sit: a USB serial port's device is the
// port, its parent the interface, and the interface's parent the USB device.
constexpr int UsbDeviceSearchDepth = 3;
constexpr size_t AttributeLimit = 256;

// Makers write their own manufacturer and product strings into a CP210x ("Korva Oy", "Korva
// KX-7"); Windows still describes the port by its driver, and so AUTO and ALL find it there. A
// tty whose USB interface the cp210x driver serves is described the same way here.
constexpr const char* Cp210xDriver = "cp210x";
constexpr const char* Cp210xDescription = "Silicon Labs CP210x USB to UART Bridge";

// Tests of whole runs show the tool a fake tree (UARTFLASH_SYSFS_TTY, UARTFLASH_DEV_DIR), read
// once at start, so that bridges can be plugged and unplugged without hardware.
std::string rootFromEnvironment(const char* variable, const char* otherwise) {
    const char* root = std::getenv(variable);
    return root != nullptr && root[0] != '\0' ? root : otherwise;
}

struct Walk {
    std::string ttyClassDir = rootFromEnvironment("UARTFLASH_SYSFS_TTY", "/sys/class/tty");
    std::string devDir = rootFromEnvironment("UARTFLASH_DEV_DIR", "/dev");
    std::vector<std::string> names;
    size_t index = 0;
    std::string current;
    std::string path;
    std::string description;
};

Walk walk;

// A sysfs attribute's text without its line end; false when the file cannot be read.
bool readAttribute(const std::string& file, std::string& text) {
    std::FILE* stream = std::fopen(file.c_str(), "r");
    if (stream == nullptr) {
        return false;
    }
    char buffer[AttributeLimit];
    const size_t count = std::fread(buffer, 1, sizeof buffer - 1, stream);
    std::fclose(stream);
    text.assign(buffer, count);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Virtual ttys have no device link. Serial-core ports carry a UART type, and type 0 means no UART
// answered at that address (the legacy 8250 slots that every kernel creates).
bool hasRealDevice(const std::string& ttyDir) {
    if (!exists(ttyDir + "/device")) {
        return false;
    }
    std::string type;
    return !(readAttribute(ttyDir + "/type", type) && type == "0");
}

// The tty's device folder and the folders above it, nearest first, as far up as the USB device.
std::vector<std::string> foldersAbove(const std::string& ttyDir) {
    char* resolved = realpath((ttyDir + "/device").c_str(), nullptr);
    if (resolved == nullptr) {
        return {};
    }
    std::string folder = resolved;
    std::free(resolved);
    std::vector<std::string> folders;
    for (int level = 0; level <= UsbDeviceSearchDepth && folder.size() > 1; ++level) {
        folders.push_back(folder);
        folder.erase(folder.find_last_of('/'));
    }
    return folders;
}

// The last part of a link's target ("cp210x" of ../../bus/usb/drivers/cp210x); empty when the
// path is no link.
std::string linkTargetName(const std::string& link) {
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return {};
    }
    const std::string text(target, static_cast<size_t>(length));
    return text.substr(text.find_last_of('/') + 1);
}

// The driver bound to the USB interface that holds the tty: the folder just below the USB device
// (the one with a vendor id), as the kernel lays out .../1-1/1-1:1.0/ttyUSB0.
std::string interfaceDriver(const std::vector<std::string>& folders) {
    for (size_t i = 1; i < folders.size(); ++i) {
        if (exists(folders[i] + "/idVendor")) {
            return linkTargetName(folders[i - 1] + "/driver");
        }
    }
    return {};
}

// The USB device's "manufacturer product", or whichever of the two there is.
std::string usbDescription(const std::vector<std::string>& folders) {
    for (const std::string& folder : folders) {
        std::string manufacturer;
        std::string product;
        const bool hasManufacturer = readAttribute(folder + "/manufacturer", manufacturer);
        const bool hasProduct = readAttribute(folder + "/product", product);
        if (hasManufacturer || hasProduct) {
            if (manufacturer.empty() || product.empty()) {
                return manufacturer + product;
            }
            return manufacturer + " " + product;
        }
    }
    return {};
}

std::string portDescription(const std::string& ttyDir) {
    const std::vector<std::string> folders = foldersAbove(ttyDir);
    return interfaceDriver(folders) == Cp210xDriver ? std::string(Cp210xDescription)
                                                    : usbDescription(folders);
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The USB device is the folder with a vendor id; its name is where it sits on the bus ("1-1.2").
void readUsbIdentity(const std::string& ttyDir, UsbIdentity& identity) {
    for (const std::string& folder : foldersAbove(ttyDir)) {
        if (!readAttribute(folder + "/idVendor", identity.vendorId)) {
            continue;
        }
        identity.vendorId = lowerCase(identity.vendorId);
        readAttribute(folder + "/idProduct", identity.productId);
        identity.productId = lowerCase(identity.productId);
        readAttribute(folder + "/serial", identity.serialNumber);
        readAttribute(folder + "/manufacturer", identity.manufacturer);
        readAttribute(folder + "/product", identity.product);
        identity.location = folder.substr(folder.find_last_of('/') + 1);
        return;
    }
}

// ttyS2 before ttyS10: names compare by their stem, then by their trailing number.
bool naturalLess(const std::string& a, const std::string& b) {
    const size_t aDigits = a.find_last_not_of("0123456789") + 1;
    const size_t bDigits = b.find_last_not_of("0123456789") + 1;
    const int stem = a.compare(0, aDigits, b, 0, bDigits);
    if (stem != 0) {
        return stem < 0;
    }
    if (a.size() - aDigits != b.size() - bDigits) {
        return a.size() - aDigits < b.size() - bDigits;
    }
    return a.compare(aDigits, std::string::npos, b, bDigits, std::string::npos) < 0;
}

bool beginWalk() {
    DIR* folder = opendir(walk.ttyClassDir.c_str());
    if (folder == nullptr) {
        return false;
    }
    walk.names.clear();
    while (const dirent* item = readdir(folder)) {
        if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0) {
            walk.names.emplace_back(item->d_name);
        }
    }
    closedir(folder);
    std::sort(walk.names.begin(), walk.names.end(), naturalLess);
    walk.index = 0;
    return true;
}

bool nextDevice() {
    while (walk.index < walk.names.size()) {
        const std::string& name = walk.names[walk.index++];
        walk.current = walk.ttyClassDir + "/" + name;
        if (hasRealDevice(walk.current)) {
            walk.path = walk.devDir + "/" + name;
            return true;
        }
    }
    return false;
}

const char* portName() {
    return walk.path.c_str();
}

const char* description() {
    walk.description = portDescription(walk.current);
    return walk.description.empty() ? nullptr : walk.description.c_str();
}

void identity(UsbIdentity& identity) {
    identity = {};
    readUsbIdentity(walk.current, identity);
}

void endWalk() {
    walk.names.clear();
    walk.index = 0;
}

} // namespace

namespace PortDiscovery {

const DeviceSource& platformSource() {
    static const DeviceSource linuxSource = {
        beginWalk, nextDevice, portName, description, identity, endWalk,
    };
    return linuxSource;
}

PortNaming platformNaming() {
    return PortNaming::DevicePath;
}

// A link (/dev/serial/by-id/...) and the node it leads to are one device: compare the device
// numbers of character devices, the resolved path of anything else.
std::string deviceKey(const std::string& name) {
    struct stat info {};
    if (stat(name.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
        return "char " + std::to_string(major(info.st_rdev)) + ":" +
               std::to_string(minor(info.st_rdev));
    }
    char resolved[PATH_MAX];
    return realpath(name.c_str(), resolved) != nullptr ? std::string(resolved) : name;
}

void setDeviceRoots(const char* ttyClassDir, const char* devDir) {
    walk.ttyClassDir = ttyClassDir;
    walk.devDir = devDir;
}

} // namespace PortDiscovery
