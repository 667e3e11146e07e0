// Port discovery's rules: which ports a list holds, which one AUTO and SN= pick, how a port list
// resolves its entries. The texts of a choice at the console are port_choice_test's.
#include "scripted_ports.h"
#include "serial/port_discovery.h"
#include "serial/port_group.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace ScriptedPorts;

// Without a list or a prompt: a device path is opened as given, and SN= names a serial.
TEST(PortDiscovery, DevicePathsAndSerialArgumentsNeedNoChoice) {
    PortDiscovery::setNaming(PortNaming::DevicePath);
    EXPECT_STREQ(PortDiscovery::directPortName("/dev/ttyS0"), "/dev/ttyS0");
    EXPECT_EQ(PortDiscovery::directPortName("ttyS0"), nullptr);
    PortDiscovery::setNaming(PortNaming::ComNumber);
    EXPECT_EQ(PortDiscovery::directPortName("/dev/ttyS0"), nullptr);
    for (const char* remote : {"rfc2217://lab1:3001", "socket://lab1:3002", "rfc2217://lab1"}) {
        EXPECT_STREQ(PortDiscovery::directPortName(remote), remote); // whatever the naming
    }
    EXPECT_STREQ(PortDiscovery::serialArgument("SN=0001A2"), "0001A2");
    for (const char* other : {"sn=77", "COM3", "/dev/ttyUSB0", "AUTO"}) {
        EXPECT_EQ(PortDiscovery::serialArgument(other), nullptr) << other;
    }
}

// The port AUTO opens without asking: only a single bridge is one.
TEST(PortDiscovery, AutomaticPickIsTheOnlyBridge) {
    const struct {
        std::vector<std::string> descriptions;
        size_t expected;
    } cases[] = {
        {{"other", Bridge}, 1},
        {{Bridge, "other", Bridge}, NoPick},
        {{"other", "SILICON LABS"}, NoPick},
        {{}, NoPick},
    };
    for (const auto& c : cases) {
        PortList list;
        list.descriptions = c.descriptions;
        list.entries.resize(c.descriptions.size());
        EXPECT_EQ(PortDiscovery::automaticPick(list), c.expected);
    }
}

// A port list: each entry resolved to one port name before anything opens; refusals name why.
TEST(PortDiscovery, PortListsResolveEveryEntryOrRefuseTheWhole) {
    const std::vector<Device> ports = {{"COM3", Bridge, "0001A2"},
                                       {"COM4", "other", "77"},
                                       {"COM5", Bridge, "78"},
                                       {"COM6", "x", "78"},
                                       {"COM8", "x", "LOT7,U12"}};
    std::string many;
    for (int i = 1; i <= 65; ++i) {
        many += "COM" + std::to_string(i) + ",";
    }
    const std::string sixtyFour = many.substr(0, many.find("COM65"));
    const struct {
        std::string argument;
        std::string expected; // the names joined by ",", or "!" and the problem
        int listings;         // walks of the device list: only ALL and SN= need one
        PortNaming naming = PortNaming::ComNumber;
    } cases[] = {
        {"COM5,com7", "COM5,COM7", 0},
        {"COM7,", "COM7", 0},
        {"COM5,SN=0001A2", "COM5,COM3", 1},
        {"all", "COM3,COM5", 1},
        {"ALL,", "COM3,COM5", 1},
        {sixtyFour, sixtyFour.substr(0, sixtyFour.size() - 1), 0},
        {many, "!65 ports named; at most 64 at once", 0},
        {"COM5,COM05", "!COM5 and COM05 both name COM5", 0},
        {"COM5,COM6,COM5", "!COM5 is named twice", 0},
        {"COM3,SN=0001A2", "!COM3 and SN=0001A2 both name COM3", 1},
        {"COM5,,COM6", "!an empty entry in the port list", 0},
        {",COM5", "!an empty entry in the port list", 0},
        {"ALL,COM5", "!ALL names every bridge and stands alone", 0},
        {"COM5,AUTO", "!AUTO is not a port name", 0},
        {"COM5,ttyUSB0", "!ttyUSB0 is not a port name", 0},
        {"COM5,SN=78", "!SN=78: 2 ports have that serial number", 1},
        {"SN=9,COM5", "!SN=9: no port has that serial number", 1},
        {"COM5,SN=LOT7%2CU12", "COM5,COM8", 1},
        {"SN=LOT7%2CU12,COM8", "!SN=LOT7%2CU12 and COM8 both name COM8", 1},
        {"COM5,SN=50%OFF",
         "!SN=50%OFF: a % must be followed by two hexadecimal digits (%25 for % itself, %2C for a "
         "comma)",
         0},
        {"/dev/ttyUSB0,ttyUSB1", "/dev/ttyUSB0,/dev/ttyUSB1", 0, PortNaming::DevicePath},
        {"ttyUSB0,/dev/ttyUSB0", "!ttyUSB0 and /dev/ttyUSB0 both name /dev/ttyUSB0", 0,
         PortNaming::DevicePath},
        {"rfc2217://a:3001,RFC2217://B:3001,/dev/ttyUSB0",
         "rfc2217://a:3001,rfc2217://b:3001,/dev/ttyUSB0", 0, PortNaming::DevicePath},
        {"socket://[::1]:4000,COM5", "socket://[::1]:4000,COM5", 0},
        {"rfc2217://a:3001,rfc2217://A:03001",
         "!rfc2217://a:3001 and rfc2217://A:03001 both name rfc2217://a:3001", 0},
        {"COM5,rfc2217://a", "!rfc2217://a is not a port name", 0},
        {"rfc2217://a:3001,socket://A:3001",
         "!rfc2217://a:3001 and socket://A:3001 are the same device", 0},
    };
    for (const auto& c : cases) {
        script = Script{true, ports};
        PortDiscovery::setSource(scriptedSource);
        PortDiscovery::setNaming(c.naming);
        EXPECT_TRUE(PortDiscovery::isPortGroup(c.argument.c_str())) << c.argument;
        const PortGroup group = PortDiscovery::resolveGroup(c.argument.c_str());
        std::string names;
        for (const GroupPort& port : group.ports) {
            names += (names.empty() ? "" : ",") + port.name;
        }
        EXPECT_EQ(group.problem.empty() ? names : "!" + group.problem, c.expected) << c.argument;
        EXPECT_EQ(script.begins, c.listings) << c.argument;
    }
#ifndef _WIN32
    // A link beside the device it leads to is one port twice, however it is named.
    const std::string link = testing::TempDir() + "uartflash-null-link";
    std::remove(link.c_str());
    EXPECT_EQ(symlink("/dev/null", link.c_str()), 0);
    PortDiscovery::setNaming(PortNaming::DevicePath);
    for (const auto& [argument, problem] :
         {std::pair{"/dev/null," + link, "/dev/null and " + link + " are the same device"},
          {link + ",/dev/zero", std::string()},
          {link + ",null", link + " and null are the same device"}}) {
        EXPECT_EQ(PortDiscovery::resolveGroup(argument.c_str()).problem, problem) << argument;
    }
    std::remove(link.c_str());
#endif
    PortDiscovery::setNaming(PortNaming::ComNumber);
    for (const char* single : {"COM5", "AUTO", "SN=77", "/dev/ttyUSB0", "ALLX"}) {
        EXPECT_FALSE(PortDiscovery::isPortGroup(single)) << single;
    }
    script = Script{true, {{"COM4", "other"}}};
    EXPECT_EQ(PortDiscovery::resolveGroup("ALL").problem,
              "no port is described as a Silicon Labs bridge");
}

} // namespace
