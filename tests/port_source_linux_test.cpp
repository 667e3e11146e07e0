#include "app/port_listing.h"
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
        write("devices/usb1/1-1/idVendor", "10c4\n");
        write("devices/usb1/1-1/idProduct", "ea60\n");
        write("devices/usb1/1-1/serial", "0001A2B3\n");
        addTty("ttyACM0", "devices/usb1/1-2/1-2:1.0", "");
        write("devices/usb1/1-2/product", "Pico\n");
        write("devices/usb1/1-2/idVendor", "2E8A\n");
        write("devices/usb1/1-2/idProduct", "000A\n");
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

TEST_F(FakeSysfs, ListsRealDevicesInNameOrderWithUsbDescriptionsAndIdentities) {
    PortList list;
    ASSERT_TRUE(PortDiscovery::enumeratePorts(list));
    const struct {
        const char* name;
        const char* description;
        UsbIdentity usb;
    } expected[] = {
        {"/dev/ttyACM0", "Pico", {"2e8a", "000a", "", "", "1-2"}},
        {"/dev/ttyS2", "", {}},
        {"/dev/ttyS10", "", {}},
        {"/dev/ttyUSB0",
         "Silicon Labs CP2102 USB to UART Bridge Controller",
         {"10c4", "ea60", "0001A2B3", "Silicon Labs", "1-1"}},
    };
    ASSERT_EQ(list.entries.size(), std::size(expected));
    ASSERT_EQ(list.descriptions.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const UsbIdentity& usb = list.entries[i].usb;
        EXPECT_EQ(list.entries[i].name, expected[i].name);
        EXPECT_EQ(list.descriptions[i], expected[i].description);
        EXPECT_EQ(usb.vendorId, expected[i].usb.vendorId) << i;
        EXPECT_EQ(usb.productId, expected[i].usb.productId) << i;
        EXPECT_EQ(usb.serialNumber, expected[i].usb.serialNumber) << i;
        EXPECT_EQ(usb.manufacturer, expected[i].usb.manufacturer) << i;
        EXPECT_EQ(usb.location, expected[i].usb.location) << i;
    }
}

// What --list-ports prints for people and for scripts, the port AUTO opens marked.
TEST_F(FakeSysfs, ListingShowsColumnsAndJsonLines) {
    const struct {
        PortListing::Format format;
        std::string expected;
    } cases[] = {
        {PortListing::Format::Text,
         "PORT          AUTO  VID   PID   SERIAL    MANUFACTURER  LOCATION  DESCRIPTION\n"
         "/dev/ttyACM0  -     2e8a  000a  -         -             1-2       Pico\n"
         "/dev/ttyS2    -     -     -     -         -             -         -\n"
         "/dev/ttyS10   -     -     -     -         -             -         -\n"
         "/dev/ttyUSB0  yes   10c4  ea60  0001A2B3  Silicon Labs  1-1       "
         "Silicon Labs CP2102 USB to UART Bridge Controller\n"},
        {PortListing::Format::JsonLines,
         R"({"name":"/dev/ttyACM0","description":"Pico","vid":"2e8a","pid":"000a","serial":null,)"
         R"("manufacturer":null,"location":"1-2","auto":false})"
         "\n"
         R"({"name":"/dev/ttyS2","description":null,"vid":null,"pid":null,"serial":null,)"
         R"("manufacturer":null,"location":null,"auto":false})"
         "\n"
         R"({"name":"/dev/ttyS10","description":null,"vid":null,"pid":null,"serial":null,)"
         R"("manufacturer":null,"location":null,"auto":false})"
         "\n"
         R"({"name":"/dev/ttyUSB0","description":"Silicon Labs CP2102 USB to UART Bridge )"
         R"(Controller","vid":"10c4","pid":"ea60","serial":"0001A2B3","manufacturer":)"
         R"("Silicon Labs","location":"1-1","auto":true})"
         "\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(exitCode(PortListing::print(c.format)), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
    }
    PortDiscovery::setDeviceRoots((root / "class/absent").c_str(), "/dev");
    testing::internal::CaptureStdout();
    EXPECT_EQ(exitCode(PortListing::print(PortListing::Format::Text)), 2);
    testing::internal::GetCapturedStdout();
    fs::create_directories(root / "class/absent");
    for (const auto& [format, expected] :
         {std::pair{PortListing::Format::Text, "No serial ports found.\n"},
          std::pair{PortListing::Format::JsonLines, ""}}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(exitCode(PortListing::print(format)), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
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
