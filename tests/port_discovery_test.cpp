#include "serial/port_discovery.h"
#include "serial/port_group.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

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
} script;

const DeviceSource scriptedSource = {
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

struct Outcome {
    const char* name;
    std::string output;
    std::string unread; // what the choice left of the input
};

Outcome pick(const std::function<const char*()>& choice, std::vector<Device> devices,
             const char* typed, PortNaming naming = PortNaming::ComNumber, bool available = true) {
    script = Script{available, std::move(devices)};
    std::FILE* input = std::tmpfile();
    std::fputs(typed, input);
    std::rewind(input);
    PortDiscovery::setSource(scriptedSource);
    PortDiscovery::setNaming(naming);
    PortDiscovery::setInput(input);
    testing::internal::CaptureStdout();
    Outcome outcome{choice(), "", ""};
    outcome.output = testing::internal::GetCapturedStdout();
    for (int c = std::getc(input); c != EOF; c = std::getc(input)) {
        outcome.unread += static_cast<char>(c);
    }
    std::fclose(input);
    PortDiscovery::setInput(nullptr);
    return outcome;
}

Outcome choose(PortChoiceMode mode, std::vector<Device> devices, const char* typed,
               PortNaming naming = PortNaming::ComNumber, bool available = true) {
    return pick([mode] { return PortDiscovery::choosePort(mode); }, std::move(devices), typed,
                naming, available);
}

const std::string Header = "\r\nAvailable serial ports on your computer:\r\n";
const std::string ComPrompt = "Enter the port number to use. For example COM1:\r\n\r\nCOM";
const char* const Bridge = "Silicon Labs CP210x USB to UART Bridge";

TEST(PortDiscovery, ListsOnlyComNamesAndFetchesTheirDescriptionsOnly) {
    const Outcome o = choose(PortChoiceMode::Manual,
                             {{"LPT1", "Printer"},
                              {"com7", "first"},
                              {"COM", "x"},
                              {"COM3a", "x"},
                              {"COM 3", "x"},
                              {"COMX", "x"},
                              {nullptr, "x"},
                              {"COM007", "second"},
                              {"COM99999999999", "x"},
                              {"COM2", nullptr}},
                             "5");
    EXPECT_EQ(o.output, Header + "COM7 [first]\r\nCOM7 [second]\r\nCOM2 []\r\n" + ComPrompt);
    EXPECT_STREQ(o.name, "COM5");
    EXPECT_EQ(script.descriptionCalls, 3);
    EXPECT_EQ(script.identityCalls, 3);
    EXPECT_EQ(script.ends, 1);
}

struct AutoCase {
    std::vector<Device> devices;
    const char* typed;
    const char* expected; // nullptr: nothing chosen
    bool prompts;
};

TEST(PortDiscovery, AutomaticPicksTheBridgeByCaseSensitiveText) {
    const AutoCase cases[] = {
        {{{"COM1", "USB Serial"}, {"COM4", Bridge}}, "9", "COM4", false},
        {{{"COM3", "CP210x by Silicon Labs"}}, "", "COM3", false},
        {{{"COM3", "a Silicon Labs bridge"}}, "", "COM3", false},
        {{{"COM3", "SILICON LABS"}, {"COM5", "silicon labs"}, {"COM6", nullptr}},
         "6",
         nullptr,
         false},
        {{{"COM4", Bridge}, {"COM1", "other"}, {"COM9", Bridge}}, "7", "COM7", true},
        {{{"COM4", Bridge}, {"COM9", Bridge}}, "", "COM9", true},
        {{{"COM4", Bridge}, {"COM9", Bridge}}, "abc", "COM9", true},
    };
    for (const AutoCase& c : cases) {
        const Outcome o = choose(PortChoiceMode::Automatic, c.devices, c.typed);
        EXPECT_EQ(o.name == nullptr ? "(none)" : std::string(o.name),
                  c.expected == nullptr ? "(none)" : c.expected);
        EXPECT_EQ(o.output.ends_with(ComPrompt), c.prompts) << o.output;
        if (!c.prompts) {
            EXPECT_EQ(o.unread, c.typed); // no prompt, nothing read
        }
    }
}

TEST(PortDiscovery, ManualReadsOneNumberWhateverIsListed) {
    const struct {
        const char* typed;
        const char* expected;
        const char* unread;
    } cases[] = {
        {"abc", "COM0", "abc"},  {"  12xyz", "COM12", "xyz"},
        {"-3\n", "COM-3", "\n"}, {"\n\n  8\n", "COM8", "\n"},
        {"", "COM0", ""},        {"99999999999", "COM2147483647", ""},
    };
    for (const auto& c : cases) {
        const Outcome o = choose(PortChoiceMode::Manual, {{"COM4", Bridge}}, c.typed);
        EXPECT_EQ(o.output, Header + "COM4 [" + Bridge + "]\r\n" + ComPrompt);
        EXPECT_STREQ(o.name, c.expected);
        EXPECT_EQ(o.unread, c.unread);
    }
}

TEST(PortDiscovery, EmptyOrUnavailableListChoosesNothing) {
    for (PortChoiceMode mode : {PortChoiceMode::Manual, PortChoiceMode::Automatic}) {
        Outcome o = choose(mode, {{"LPT1", "Printer"}}, "4");
        EXPECT_EQ(o.name, nullptr);
        EXPECT_EQ(o.output, "\r\nError: No serial ports found\r\n");
        EXPECT_EQ(o.unread, "4");
        o = choose(mode, {{"COM4", Bridge}}, "4", PortNaming::ComNumber, false);
        EXPECT_EQ(o.name, nullptr);
        EXPECT_EQ(o.output, "");
    }
}

TEST(PortDiscovery, EveryCallEnumeratesAgainAndOverwritesTheName) {
    const Outcome first = choose(PortChoiceMode::Automatic, {{"COM4", Bridge}}, "");
    const std::string firstName = first.name;
    const Outcome second = choose(PortChoiceMode::Automatic, {{"COM8", Bridge}}, "");
    EXPECT_EQ(firstName, "COM4");
    EXPECT_EQ(first.name, second.name); // one storage, rewritten
    EXPECT_STREQ(second.name, "COM8");
    EXPECT_EQ(second.output, Header + "COM8 [" + Bridge + "]\r\n");
}

TEST(PortDiscovery, DevicePathsAreListedAndTypedAsPaths) {
    const std::vector<Device> two = {{"/dev/ttyUSB0", Bridge}, {"/dev/ttyUSB1", Bridge}};
    const struct {
        PortChoiceMode mode;
        const char* typed;
        const char* expected;
    } cases[] = {
        {PortChoiceMode::Manual, " ttyACM1\n", "/dev/ttyACM1"},
        {PortChoiceMode::Manual, "/dev/pts/3", "/dev/pts/3"},
        {PortChoiceMode::Manual, "", nullptr},
        {PortChoiceMode::Automatic, "", "/dev/ttyUSB1"},
    };
    for (const auto& c : cases) {
        const Outcome o = choose(c.mode, two, c.typed, PortNaming::DevicePath);
        EXPECT_TRUE(o.output.starts_with(Header + "/dev/ttyUSB0 [" + Bridge + "]\r\n"));
        EXPECT_TRUE(o.output.ends_with("or ttyUSB0:\r\n\r\n")) << o.output;
        EXPECT_EQ(o.name == nullptr ? "(none)" : std::string(o.name),
                  c.expected == nullptr ? "(none)" : c.expected);
    }
    PortDiscovery::setNaming(PortNaming::DevicePath);
    EXPECT_STREQ(PortDiscovery::directPortName("/dev/ttyS0"), "/dev/ttyS0");
    EXPECT_EQ(PortDiscovery::directPortName("ttyS0"), nullptr);
    PortDiscovery::setNaming(PortNaming::ComNumber);
    EXPECT_EQ(PortDiscovery::directPortName("/dev/ttyS0"), nullptr);
    for (const char* remote : {"rfc2217://lab1:3001", "socket://lab1:3002", "rfc2217://lab1"}) {
        EXPECT_STREQ(PortDiscovery::directPortName(remote), remote); // whatever the naming
    }
}

// SN=<serial>: the one port with exactly that serial number, listed as ever, never a prompt.
TEST(PortDiscovery, SerialNumberPicksTheOnlyPortThatHasIt) {
    const std::vector<Device> ports = {
        {"COM3", Bridge, "0001A2"}, {"COM4", "other", "77"}, {"COM5", Bridge, "77"}, {"COM6", "x"}};
    const std::string listed =
        Header + "COM3 [" + Bridge + "]\r\nCOM4 [other]\r\nCOM5 [" + Bridge + "]\r\nCOM6 [x]\r\n";
    const struct {
        const char* argument;
        const char* expected; // nullptr: nothing chosen
    } cases[] = {
        {"SN=0001A2", "COM3"}, {"SN=77", nullptr}, {"SN=0001a2", nullptr},
        {"SN=0001", nullptr},  {"SN=", nullptr},   {"SN=9", nullptr},
    };
    for (const auto& c : cases) {
        const char* serial = PortDiscovery::serialArgument(c.argument);
        ASSERT_NE(serial, nullptr);
        const Outcome o =
            pick([serial] { return PortDiscovery::choosePortBySerial(serial); }, ports, "5");
        EXPECT_EQ(o.name == nullptr ? "(none)" : std::string(o.name),
                  c.expected == nullptr ? "(none)" : c.expected);
        EXPECT_EQ(o.output, listed);
        EXPECT_EQ(o.unread, "5");
    }
    for (const char* other : {"sn=77", "COM3", "/dev/ttyUSB0", "AUTO"}) {
        EXPECT_EQ(PortDiscovery::serialArgument(other), nullptr) << other;
    }
    const Outcome none = pick([] { return PortDiscovery::choosePortBySerial("77"); }, {}, "");
    EXPECT_EQ(none.name, nullptr);
    EXPECT_EQ(none.output, "\r\nError: No serial ports found\r\n");
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
                                       {"COM6", "x", "78"}};
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
        {"/dev/ttyUSB0,ttyUSB1", "/dev/ttyUSB0,/dev/ttyUSB1", 0, PortNaming::DevicePath},
        {"ttyUSB0,/dev/ttyUSB0", "!ttyUSB0 and /dev/ttyUSB0 both name /dev/ttyUSB0", 0,
         PortNaming::DevicePath},
        {"rfc2217://a:3001,RFC2217://B:3001,/dev/ttyUSB0",
         "rfc2217://a:3001,rfc2217://b:3001,/dev/ttyUSB0", 0, PortNaming::DevicePath},
        {"socket://[::1]:4000,COM5", "socket://[::1]:4000,COM5", 0},
        {"rfc2217://a:3001,rfc2217://A:03001",
         "!rfc2217://a:3001 and rfc2217://A:03001 both name rfc2217://a:3001", 0},
        {"COM5,rfc2217://a", "!rfc2217://a is not a port name", 0},
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
    PortDiscovery::setNaming(PortNaming::ComNumber);
    for (const char* single : {"COM5", "AUTO", "SN=77", "/dev/ttyUSB0", "ALLX"}) {
        EXPECT_FALSE(PortDiscovery::isPortGroup(single)) << single;
    }
    script = Script{true, {{"COM4", "other"}}};
    EXPECT_EQ(PortDiscovery::resolveGroup("ALL").problem,
              "no port is described as a Silicon Labs bridge");
}

} // namespace
