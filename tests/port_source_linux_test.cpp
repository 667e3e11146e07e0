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
        bindDriver("devices/usb1/1-2/1-2:1.0", "cdc_acm");
        write("devices/usb1/1-2/product", "Pico\n");
        write("devices/usb1/1-2/idVendor", "2E8A\n");
        write("devices/usb1/1-2/idProduct", "000A\n");
        // A CP210x with its maker's own strings, known by the driver bound to its interface.
        addTty("ttyUSB1", "devices/usb1/1-3/1-3:1.0/ttyUSB1", "");
        bindDriver("devices/usb1/1-3/1-3:1.0", "cp210x");
        write("devices/usb1/1-3/manufacturer", "Korva Oy\n");
        write("devices/usb1/1-3/product", "Korva KX-7\n");
        write("devices/usb1/1-3/idVendor", "10c4\n");
        write("devices/usb1/1-3/idProduct", "ea60\n");
        write("devices/usb1/1-3/serial", "KX7-0042\n");
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
    // As the kernel links an interface to its driver: .../1-3:1.0/driver -> bus/usb/drivers/NAME.
    void bindDriver(const std::string& interface, const std::string& driver) {
        fs::create_directories(root / "bus/usb/drivers" / driver);
        fs::create_directory_symlink(root / "bus/usb/drivers" / driver,
                                     root / interface / "driver");
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
        {"/dev/ttyACM0", "Pico", {"2e8a", "000a", "", "", "Pico", "1-2"}},
        {"/dev/ttyS2", "", {}},
        {"/dev/ttyS10", "", {}},
        {"/dev/ttyUSB0",
         "Silicon Labs CP2102 USB to UART Bridge Controller",
         {"10c4", "ea60", "0001A2B3", "Silicon Labs", "CP2102 USB to UART Bridge Controller",
          "1-1"}},
        {"/dev/ttyUSB1",
         "Silicon Labs CP210x USB to UART Bridge",
         {"10c4", "ea60", "KX7-0042", "Korva Oy", "Korva KX-7", "1-3"}},
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
        EXPECT_EQ(usb.product, expected[i].usb.product) << i;
        EXPECT_EQ(usb.location, expected[i].usb.location) << i;
    }
}

// What --list-ports prints for people and for scripts, the port AUTO opens marked: the CP210x
// with its maker's strings, once the other bridge is unplugged.
TEST_F(FakeSysfs, ListingShowsColumnsAndJsonLines) {
    fs::remove_all(root / "class/tty/ttyUSB0");
    const struct {
        PortListing::Format format;
        std::string expected;
    } cases[] = {
        {PortListing::Format::Text,
         "PORT          AUTO  VID   PID   SERIAL    MANUFACTURER  PRODUCT     LOCATION  "
         "DESCRIPTION\n"
         "/dev/ttyACM0  -     2e8a  000a  -         -             Pico        1-2       Pico\n"
         "/dev/ttyS2    -     -     -     -         -             -           -         -\n"
         "/dev/ttyS10   -     -     -     -         -             -           -         -\n"
         "/dev/ttyUSB1  yes   10c4  ea60  KX7-0042  Korva Oy      Korva KX-7  1-3       "
         "Silicon Labs CP210x USB to UART Bridge\n"},
        {PortListing::Format::JsonLines,
         R"({"name":"/dev/ttyACM0","description":"Pico","vid":"2e8a","pid":"000a","serial":null,)"
         R"("manufacturer":null,"product":"Pico","location":"1-2","auto":false})"
         "\n"
         R"({"name":"/dev/ttyS2","description":null,"vid":null,"pid":null,"serial":null,)"
         R"("manufacturer":null,"product":null,"location":null,"auto":false})"
         "\n"
         R"({"name":"/dev/ttyS10","description":null,"vid":null,"pid":null,"serial":null,)"
         R"("manufacturer":null,"product":null,"location":null,"auto":false})"
         "\n"
         R"({"name":"/dev/ttyUSB1","description":"Silicon Labs CP210x USB to UART Bridge",)"
         R"("vid":"10c4","pid":"ea60","serial":"KX7-0042","manufacturer":"Korva Oy",)"
         R"("product":"Korva KX-7","location":"1-3","auto":true})"
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

// Either bridge alone is the one AUTO opens: by its strings, or by its driver.
TEST_F(FakeSysfs, AutomaticFindsTheBridgeAndAMissingTreeGivesNoList) {
    for (const auto& [unplugged, picked] :
         {std::pair{"ttyUSB1", "/dev/ttyUSB0"}, std::pair{"ttyUSB0", "/dev/ttyUSB1"}}) {
        fs::rename(root / "class/tty" / unplugged, root / "unplugged");
        testing::internal::CaptureStdout();
        const char* chosen = PortDiscovery::choosePort(PortChoiceMode::Automatic);
        testing::internal::GetCapturedStdout();
        EXPECT_STREQ(chosen, picked);
        fs::rename(root / "unplugged", root / "class/tty" / unplugged);
    }
    PortDiscovery::setDeviceRoots((root / "absent").c_str(), "/dev");
    PortList list;
    EXPECT_FALSE(PortDiscovery::enumeratePorts(list));
}

} // namespace
