// The port choice at the console: the list, the prompt and the answer typed, byte for byte.
#include "app/port_prompt.h"
#include "scripted_ports.h"
#include "serial/port_discovery.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace ScriptedPorts;

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
    PortPrompt::install();
    PortPrompt::setInput(input);
    testing::internal::CaptureStdout();
    Outcome outcome{choice(), "", ""};
    outcome.output = testing::internal::GetCapturedStdout();
    for (int c = std::getc(input); c != EOF; c = std::getc(input)) {
        outcome.unread += static_cast<char>(c);
    }
    std::fclose(input);
    PortPrompt::setInput(nullptr);
    return outcome;
}

Outcome choose(PortChoiceMode mode, std::vector<Device> devices, const char* typed,
               PortNaming naming = PortNaming::ComNumber, bool available = true) {
    return pick([mode] { return PortDiscovery::choosePort(mode); }, std::move(devices), typed,
                naming, available);
}

const std::string Header = "\r\nAvailable serial ports on your computer:\r\n";
const std::string ComPrompt = "Enter the port number to use. For example COM1:\r\n\r\nCOM";

TEST(PortChoice, ListsOnlyComNamesAndFetchesTheirDescriptionsOnly) {
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

TEST(PortChoice, AutomaticPicksTheBridgeByCaseSensitiveText) {
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

TEST(PortChoice, ManualReadsOneNumberWhateverIsListed) {
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

TEST(PortChoice, EmptyOrUnavailableListChoosesNothing) {
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

TEST(PortChoice, EveryCallEnumeratesAgainAndOverwritesTheName) {
    const Outcome first = choose(PortChoiceMode::Automatic, {{"COM4", Bridge}}, "");
    const std::string firstName = first.name;
    const Outcome second = choose(PortChoiceMode::Automatic, {{"COM8", Bridge}}, "");
    EXPECT_EQ(firstName, "COM4");
    EXPECT_EQ(first.name, second.name); // one storage, rewritten
    EXPECT_STREQ(second.name, "COM8");
    EXPECT_EQ(second.output, Header + "COM8 [" + Bridge + "]\r\n");
}

TEST(PortChoice, DevicePathsAreListedAndTypedAsPaths) {
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
    PortDiscovery::setNaming(PortNaming::ComNumber);
}

// SN=<serial>: the one port with exactly that serial number, listed as ever, never a prompt.
TEST(PortChoice, SerialNumberPicksTheOnlyPortThatHasIt) {
    const std::vector<Device> ports = {{"COM3", Bridge, "0001A2"},
                                       {"COM4", "other", "77"},
                                       {"COM5", Bridge, "77"},
                                       {"COM6", "x", "LOT7,U12"}};
    const std::string listed =
        Header + "COM3 [" + Bridge + "]\r\nCOM4 [other]\r\nCOM5 [" + Bridge + "]\r\nCOM6 [x]\r\n";
    const struct {
        const char* argument;
        const char* expected; // nullptr: nothing chosen
    } cases[] = {
        {"SN=0001A2", "COM3"},     {"SN=77", nullptr},     {"SN=0001a2", nullptr},
        {"SN=0001", nullptr},      {"SN=", nullptr},       {"SN=9", nullptr},
        {"SN=LOT7%2cU12", "COM6"}, {"SN=LOT7%2", nullptr}, // escapes read; a cut one names none
    };
    for (const auto& c : cases) {
        const char* serial = c.argument + 3;
        const Outcome o =
            pick([serial] { return PortDiscovery::choosePortBySerial(serial); }, ports, "5");
        EXPECT_EQ(o.name == nullptr ? "(none)" : std::string(o.name),
                  c.expected == nullptr ? "(none)" : c.expected);
        EXPECT_EQ(o.output, listed);
        EXPECT_EQ(o.unread, "5");
    }
    const Outcome none = pick([] { return PortDiscovery::choosePortBySerial("77"); }, {}, "");
    EXPECT_EQ(none.name, nullptr);
    EXPECT_EQ(none.output, "\r\nError: No serial ports found\r\n");
}

} // namespace
