#include "serial/port_discovery.h"
#include "serial/port_source_linux.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A sysfs look-alike: class/tty/<name>/device links into devices/, USB strings above the port.
class FakeSysfs : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/uartflash-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        addTty("tty0", "", "");
        addTty("ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0", "");
        write("devices/usb1/1-1/manufacturer", "Silicon Labs\n");
        write("devices/usb1/1-1/product", "CP2102 USB to UART Bridge Controller\n");
        addTty("ttyACM0", "devices/usb1/1-2/1-2:1.0", "");
        write("devices/usb1/1-2/product", "Pico\n");
        addTty("ttyS0", "devices/platform/serial8250", "0\n"); // slot without a UART
        addTty("ttyS10", "devices/pnp0/00:10", "4\n");
        addTty("ttyS2", "devices/pnp0/00:02", "4\n");
        PortDiscovery::setDeviceRoots((root / "class/tty").c_str(), "/dev");
        PortDiscovery::setSource(PortDiscovery::platformSource());
        PortDiscovery::setNaming(PortNaming::DevicePath);
    }
    void TearDown() override { fs::remove_all(root); }

    void write(const std::string& file, const char* text) {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << text;
    }
    void addTty(const std::string& name, const std::string& device, const char* type) {
        const fs::path tty = root / "class/tty" / name;
        fs::create_directories(tty);
        if (!device.empty()) {
            fs::create_directories(root / device);
            fs::create_directory_symlink(root / device, tty / "device");
        }
        if (type[0] != '\0') {
            std::ofstream(tty / "type") << type;
        }
    }

    fs::path root;
};

TEST_F(FakeSysfs, ListsRealDevicesInNameOrderWithUsbDescriptions) {
    PortList list;
    ASSERT_TRUE(PortDiscovery::enumeratePorts(list));
    const std::pair<const char*, const char*> expected[] = {
        {"/dev/ttyACM0", "Pico"},
        {"/dev/ttyS2", ""},
        {"/dev/ttyS10", ""},
        {"/dev/ttyUSB0", "Silicon Labs CP2102 USB to UART Bridge Controller"},
    };
    ASSERT_EQ(list.entries.size(), std::size(expected));
    ASSERT_EQ(list.descriptions.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(list.entries[i].name, expected[i].first);
        EXPECT_EQ(list.descriptions[i], expected[i].second);
    }
}

TEST_F(FakeSysfs, AutomaticFindsTheBridgeAndAMissingTreeGivesNoList) {
    testing::internal::CaptureStdout();
    const char* chosen = PortDiscovery::choosePort(PortChoiceMode::Automatic);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(chosen, "/dev/ttyUSB0");
    PortDiscovery::setDeviceRoots((root / "absent").c_str(), "/dev");
    PortList list;
    EXPECT_FALSE(PortDiscovery::enumeratePorts(list));
}

} // namespace
