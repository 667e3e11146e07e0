#include "app/command_line.h"
#include "app/port_listing.h"
#include "app/prepare_session.h"
#include "dashboard/dashboard.h"
#include "os/sha256.h"
#include "report/entry_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct ToolRun {
    std::string out;
    int status;
};

// The built tool as a user starts it, with nothing on standard input.
ToolRun runTool(const std::vector<std::string>& args) {
    char outPath[] = "/tmp/uartflash-entry-XXXXXX";
    const int outFd = mkstemp(outPath);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv{const_cast<char*>(UARTFLASH_EXE)};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, UARTFLASH_EXE, &actions, nullptr, argv.data(), environ) == 0) {
        waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    std::ifstream stream(outPath, std::ios::binary);
    ToolRun run{std::string(std::istreambuf_iterator<char>(stream), {}),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    unlink(outPath);
    return run;
}

std::string makeFile(const std::string& text) {
    char path[] = "/tmp/uartflash-image-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    return path;
}

const std::string Exe = UARTFLASH_EXE;
const std::string Frame = "+" + std::string(42, '-') + "+\n";
const std::string Banner =
    "\n" + Frame + "| " + Exe + " for ARM firmware\n| Version 1.5\n" + Frame + "\n";
const std::string Usage = "ERROR: Missing Arguments!\n  Valid Use:\n> " + Exe +
                          "  <COM PORT> <Baud Rate> <Product ID> <Device> <Filename.srec>\n\n"
                          "Example: " +
                          Exe + " COM1 115200 KORVA ARM korva.srec";
const std::string NoPort = "\r\nError: Failed to detect any Com ports!\r\n";
const std::string ValidImage = "S10500000102F7\nS9030000FC\n";
const std::string Help =
    "  Valid Use:\n> " + Exe +
    "  <COM PORT> <Baud Rate> <Product ID> <Device> <Filename.srec>\n\n"
    "Example: " +
    Exe +
    " COM1 115200 KORVA ARM korva.srec\n\n"
    "Options, before the arguments:\n"
    "  --help                     print this text and exit\n"
    "  --version                  print the version and exit\n"
    "  --list-ports               list the serial ports, marking the one AUTO picks, and "
    "exit\n"
    "  --check <file>             check a firmware image without touching any port, and "
    "exit\n"
    "  --json                     with --list-ports: one JSON object per port and line; with "
    "the five arguments: the update as JSON Lines events on standard output, its texts on "
    "standard error\n"
    "  --log-dir <dir>            with a port list: each port's JSON lines in "
    "<dir>/<port>.jsonl\n"
    "  --exact-port               open the port as named (COM7, ttyUSB0), without the port "
    "list or a prompt\n"
    "  --image-on-stdin           with --json --exact-port: the image's bytes come on "
    "standard input and <file> only names them (how a port list hands each port the image it "
    "checked)\n"
    "  --wait <mode>              how to wait for the product's reboots: poll asks every 250 "
    "ms and goes on as soon as it answers, seconds sooner; fixed (the default) pauses 15 s "
    "and 5 s first, as a product that answers before it is ready needs; overrides "
    "UARTFLASH_WAIT\n"
    "  --ledger <file>            append one JSON line per product update to <file>: which "
    "unit got which image (its SHA-256), when, and how it went; several processes may share "
    "one ledger\n"
    "  --watch                    with ALL or SN= entries as the port: wait for bridges to "
    "be plugged in and update each new unit as it comes, until Ctrl+C; with ports that stay "
    "plugged (a fixture): update each unit that comes to answer on one\n"
    "  --again                    with --watch: update a unit again (by its serial number or "
    "code) that this watch has already updated\n"
    "  --unit-id scan             with --watch: each unit is named by a code read from "
    "standard input (a barcode scanner), one line a unit; with several fixed ports, <port "
    "number>:<code> names the port\n"
    "  --base <addr>              the image is a raw binary that starts at <addr> "
    "(0x08000000); refused for a format that carries its own addresses\n"
    "  --record-bytes <n>         data bytes in each S-record made from an image (default "
    "16), as objcopy --srec-len makes them; refused when a record would not fit in 408 "
    "characters\n"
    "  --save-srec <file>         with --check: write the S-records that would be sent to "
    "<file>, to archive exactly what goes to the units\n"
    "  --image-sha256 <hex>       refuse any image whose SHA-256 is not <hex>, before any "
    "port is touched; overrides UARTFLASH_IMAGE_SHA256\n"
    "  --presence                 with --json --exact-port: tell, as JSON lines, when a unit "
    "answers on the port and when it leaves, until stopped (how a fixture watch sees its "
    "units)\n"
    "  --unit <code>              with --json --exact-port: the unit's code, for its ledger "
    "line and events (how a watch names the unit it hands a child)\n"
    "  --image-origin <facts>     with --image-on-stdin: the format, SHA-256 and size of the "
    "file the records on standard input were made from (how a port list tells its children "
    "what the user's file is)\n"
    "  --dashboard <[host:]port>  with a port list or --watch: serve the station's live page "
    "at http://<host>:<port>/ (host 127.0.0.1 unless given; another host shows it, read-only "
    "and without a password, to that network)\n"
    "  --report <ledger>          sum a ledger up by UTC day: units, updates, ok, failed, "
    "first-pass yield, failed updates by reason and the hours' throughput; and exit\n"
    "  --day <YYYY-MM-DD>         with --report: that UTC day only\n"
    "  --html <file>              with --report: also write it to <file> as one HTML page "
    "with a chart of units an hour\n";

// This machine's ports as the listing code prints them in this process.
std::string listing(PortListing::Format format) {
    testing::internal::CaptureStdout();
    PortListing::print(format);
    return testing::internal::GetCapturedStdout();
}

// Command lines that begin with an option: no banner; a refusal names its reason, then the help.
TEST(Entry, OptionsPrintTheirTextOrTheHelpWithTheReason) {
    const std::string image = makeFile(ValidImage);
    const std::string ledger = makeFile("{\"time\":\"2026-12-09T08:10:00Z\",\"ok\":true}\n");
    const auto refused = [](const std::string& reason) { return "ERROR: " + reason + "\n" + Help; };
    const std::string mismatch = refused("These options do not go with these arguments");
    std::string addressHost;
    uint16_t addressPort = 0;
    std::string addressProblem;
    Dashboard::parseAddress("station:http", addressHost, addressPort, addressProblem);
    std::string imageHash;
    Os::sha256Hex(ValidImage.data(), ValidImage.size(), imageHash);
    std::string sixtyFivePorts = "/dev/ttyFAKE0";
    for (int i = 1; i < 65; ++i) {
        sixtyFivePorts += ",/dev/ttyFAKE" + std::to_string(i);
    }
    const struct {
        std::vector<std::string> args;
        std::string expected;
        int status;
        const char* waitVariable = nullptr; // UARTFLASH_WAIT, unset when nullptr
    } cases[] = {
        {{"--version"}, "uartflash 1.5\n", 0},
        {{"--help"}, Help, 0},
        {{"--bogus"}, refused("Unknown option --bogus"), 2},
        {{"--"}, refused("Unknown option --"), 2},
        {{"--check", image},
         "Image [" + image +
             "] is good.\n  Format:         S-records\n  Records:        S1 1, S9 1\n  Data bytes: "
             "    2\n  Addresses:      "
             "0x00000000 to 0x00000001\n  Start address:  0x00000000\n  Lines:          2 (2 "
             "sent as records)\n",
         0},
        {{"--check", "/nonexistent/k.srec"}, "Error: Could not open [/nonexistent/k.srec]\n", 2},
        {{"--check"}, refused("--check <file>: the value is missing"), 2},
        {{"--json", "AUTO", "115200", "KORVA", "ARM"}, mismatch, 2},
        {{"--list-ports"}, listing(PortListing::Format::Text), 0},
        {{"--list-ports", "--json"}, listing(PortListing::Format::JsonLines), 0},
        {{"--json", "--list-ports"}, listing(PortListing::Format::JsonLines), 0},
        {{"--json"}, mismatch, 2},
        {{"--list-ports", "COM1"}, mismatch, 2},
        {{"--version", "x"}, mismatch, 2},
        {{"--version", "--help"}, mismatch, 2},
        {{"--help", "--help"}, refused("Option --help given twice"), 2},
        {{"--version", "AUTO", "115200", "KORVA", "ARM", image}, mismatch, 2},
        {{"--log-dir", "/tmp", "COM1", "115200", "KORVA", "ARM", image},
         "ERROR: --log-dir goes with a port list (COM5,COM7 or ALL)\n",
         2},
        // Port lists: refused before any port is opened, without the banner.
        {{"/dev/ttyFAKE0,/dev/ttyFAKE1,/dev/ttyFAKE0", "115200", "KORVA", "ARM", image},
         "Error: /dev/ttyFAKE0 is named twice\n",
         2},
        {{"/dev/ttyFAKE0,ttyFAKE0", "115200", "KORVA", "ARM", image},
         "Error: /dev/ttyFAKE0 and ttyFAKE0 both name /dev/ttyFAKE0\n",
         2},
        {{sixtyFivePorts, "115200", "KORVA", "ARM", image},
         "Error: 65 ports named; at most 64 at once\n",
         2},
        {{"/dev/ttyFAKE0,", "115200", "KORVA", "ARM", "/nonexistent/k.srec"},
         "Error: Could not open [/nonexistent/k.srec]\n",
         2},
        // A ledger that takes no lines: refused after the image, before the ports.
        {{"--ledger", "/tmp", "/dev/ttyFAKE0,", "115200", "KORVA", "ARM", image},
         "Error: cannot append to the ledger /tmp: not a regular file\n",
         2},
        {{"--ledger", "/tmp", "/dev/ttyFAKE0,", "115200", "KORVA", "ARM", "/nonexistent/k.srec"},
         "Error: Could not open [/nonexistent/k.srec]\n",
         2},
        {{"--ledger"}, refused("--ledger <file>: the value is missing"), 2},
        // A watch takes bridges, serial numbers or a fixture's ports, not both kinds, and its own
        // options only.
        {{"--watch", "SN=1,/dev/ttyFAKE0", "115200", "KORVA", "ARM", image},
         "Error: --watch takes SN= entries (units that come with their bridge) or ports that stay "
         "plugged, not both: SN=1 beside /dev/ttyFAKE0\n",
         2},
        {{"--watch", "--unit-id", "serial", "ALL", "115200", "KORVA", "ARM", image},
         refused("--unit-id takes scan, not serial"),
         2},
        {{"--unit-id", "scan", "ALL", "115200", "KORVA", "ARM", image}, mismatch, 2},
        // How an image becomes S-records: numbers that name none are refused with the help, a base
        // for S-records as the image's problem, a save that fails with status 1.
        {{"--record-bytes", "0", "--check", image},
         refused("--record-bytes takes a number of data bytes, not 0"),
         2},
        {{"--base", "0x1_0000", "AUTO", "115200", "KORVA", "ARM", image},
         refused("--base takes an address of 32 bits (0x08000000), not 0x1_0000"),
         2},
        {{"--base", "0x100000000", "--check", image},
         refused("--base takes an address of 32 bits (0x08000000), not 0x100000000"),
         2},
        {{"--base", "4096", "--check", image},
         "Error: [" + image +
             "]: --base ADDR is for a raw binary, but this is an S-record file, which carries its "
             "own addresses\n",
         2},
        {{"--save-srec", "/nonexistent/x.srec", "--check", image},
         "Image [" + image +
             "] is good.\n  Format:         S-records\n  Records:        S1 1, S9 1\n  Data "
             "bytes:     2\n  Addresses:      0x00000000 to 0x00000001\n  Start address:  "
             "0x00000000\n  Lines:          2 (2 sent as records)\nError: cannot write "
             "/nonexistent/x.srec: No such file or directory\n",
         1},
        {{"--save-srec", "x.srec", "AUTO", "115200", "KORVA", "ARM", image}, mismatch, 2},
        // The station's page goes with a port list or a watch, at an address that names a port.
        {{"--dashboard", "8080", "/dev/ttyFAKE0", "115200", "KORVA", "ARM", image},
         "ERROR: --dashboard goes with a port list (COM5,COM7 or ALL) or --watch\n",
         2},
        {{"--dashboard", "station:http", "ALL", "115200", "KORVA", "ARM", image},
         refused("--dashboard takes [HOST:]PORT (8080, 0.0.0.0:8080): " + addressProblem),
         2},
        // The released image: any other is refused before a port is touched.
        {{"--image-sha256", "abc", "AUTO", "115200", "KORVA", "ARM", image},
         refused("--image-sha256 takes the released image's SHA-256 as 64 hex digits"),
         2},
        {{"--image-sha256", std::string(64, '0'), "/dev/ttyFAKE0,", "115200", "KORVA", "ARM",
          image},
         "Error: " + image + " is not the released image: its SHA-256 is " + imageHash + ", not " +
             std::string(64, '0') + "\n",
         2},
        {{"--watch", "--image-sha256", std::string(64, 'F'), "ALL", "115200", "KORVA", "ARM",
          image},
         "Error: " + image + " is not the released image: its SHA-256 is " + imageHash + ", not " +
             std::string(64, 'f') + "\n",
         2},
        {{"--watch", "SN=1,SN=1", "115200", "KORVA", "ARM", image},
         "Error: SN=1 is named twice\n",
         2},
        {{"--watch", "ALL", "115200", "KORVA", "ARM", "/nonexistent/k.srec"},
         "Error: Could not open [/nonexistent/k.srec]\n",
         2},
        {{"--watch", "--ledger", "/tmp", "ALL", "115200", "KORVA", "ARM", image},
         "Error: cannot append to the ledger /tmp: not a regular file\n",
         2},
        {{"--again", "ALL", "115200", "KORVA", "ARM", image}, mismatch, 2},
        {{"--watch", "--log-dir", "/tmp", "ALL", "115200", "KORVA", "ARM", image}, mismatch, 2},
        // The wait mode: a word that names none refuses any update; the option wins.
        {{"--wait", "slow", "AUTO", "115200", "KORVA", "ARM", image},
         refused("--wait takes poll or fixed, not slow"),
         2},
        {{"--wait", "POLL", "--json", "AUTO", "115200", "KORVA", "ARM", image},
         refused("--wait takes poll or fixed, not POLL"),
         2},
        {{"--wait"}, refused("--wait <mode>: the value is missing"), 2},
        {{"--wait", "poll", "--list-ports"}, mismatch, 2},
        {{"AUTO", "115200", "KORVA", "ARM", image},
         refused("UARTFLASH_WAIT takes poll or fixed, not soon"),
         2,
         "soon"},
        {{"/dev/ttyFAKE0,", "115200", "KORVA", "ARM", "/nonexistent/k.srec"},
         refused("UARTFLASH_WAIT takes poll or fixed, not soon"),
         2,
         "soon"},
        {{"--wait", "fixed", "/dev/ttyFAKE0,", "115200", "KORVA", "ARM", "/nonexistent/k.srec"},
         "Error: Could not open [/nonexistent/k.srec]\n",
         2,
         "soon"},
        {{"--list-ports"}, listing(PortListing::Format::Text), 0, "soon"},
        {{"--check", image},
         "Image [" + image +
             "] is good.\n  Format:         S-records\n  Records:        S1 1, S9 1\n  Data bytes: "
             "    2\n  Addresses:      "
             "0x00000000 to 0x00000001\n  Start address:  0x00000000\n  Lines:          2 (2 "
             "sent as records)\n",
         0,
         "soon"},
        // The ledger report: a day that is none, a ledger that cannot be read, a page that cannot
        // be written (after the report), and options that go with --report alone.
        {{"--report", ledger, "--day", "2026-02-29"},
         "Error: --day takes a UTC day as YYYY-MM-DD, not 2026-02-29\n",
         2},
        {{"--report", "/nonexistent/u.jsonl"},
         "Error: cannot read the ledger /nonexistent/u.jsonl: No such file or directory\n",
         2},
        {{"--report", "/tmp", "--day", "2026-12-09"},
         "Error: cannot read the ledger /tmp: not a regular file\n",
         2},
        {{"--html", "/tmp", "--report", image},
         "The ledger holds no update.\n\nSkipped 2 of 2 lines, not whole ledger lines (torn by a "
         "power loss, or not JSON): lines 1, 2.\nError: cannot write the report /tmp: not a "
         "regular file\n",
         1},
        {{"--report", ledger, "--day", "2026-12-10"},
         "The ledger holds no update on 2026-12-10.\n",
         0},
        {{"--report"}, refused("--report <ledger>: the value is missing"), 2},
        {{"--day", "2026-12-09"}, mismatch, 2},
        {{"--report", ledger, "AUTO"}, mismatch, 2},
        {{"--report", ledger, "--json"}, mismatch, 2},
    };
    for (const auto& c : cases) {
        if (c.waitVariable != nullptr) {
            setenv("UARTFLASH_WAIT", c.waitVariable, 1);
        } else {
            unsetenv("UARTFLASH_WAIT");
        }
        const ToolRun run = runTool(c.args);
        EXPECT_EQ(run.out, c.expected) << c.args[0];
        EXPECT_EQ(run.status, c.status) << c.args[0];
    }
    unsetenv("UARTFLASH_WAIT");
    unlink(image.c_str());
    unlink(ledger.c_str());
}

// An option that takes a value, and a row with options and the five arguments to which a
// modifier may be added.
TEST(Entry, OptionValuesAndArgumentsFollowTheTables) {
    using namespace CommandLine;
    constexpr unsigned Check = 1u << 4;
    const Option options[] = {{"--check", Check, "<file>", ""},
                              {"--json", Json, nullptr, ""},
                              {"--wait", Wait, "<mode>", ""}};
    const Form forms[] = {{Check, 0, 0, nullptr}, {Json, Wait, 5, nullptr}};
    const struct {
        std::vector<const char*> args;
        int form; // -1: refused
        const char* checkValue;
        int argc;
    } cases[] = {
        {{"--check", "a.srec"}, 0, "a.srec", 1},
        {{"--check"}, -1, nullptr, 1},
        {{"--check", "--json"}, 0, "--json", 1},
        {{"--json", "P", "B", "I", "D", "F"}, 1, nullptr, 6},
        {{"--json", "P", "B", "I", "D"}, -1, nullptr, 5},
        {{"--check", "a.srec", "--json"}, -1, nullptr, 1},
        {{"--wait", "poll", "--json", "P", "B", "I", "D", "F"}, 1, nullptr, 6},
        {{"--json", "--wait", "x", "P", "B", "I", "D", "F"}, 1, nullptr, 6},
        {{"--wait", "poll", "--check", "a.srec"}, -1, nullptr, 1},
        {{"--wait", "poll", "P", "B", "I", "D", "F"}, -1, nullptr, 6},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("uartflash")};
        for (const char* arg : c.args) {
            argv.push_back(const_cast<char*>(arg));
        }
        const Command command = parse(static_cast<int>(argv.size()), argv.data(), options, forms);
        EXPECT_EQ(command.form == nullptr ? -1 : command.form - forms, c.form) << c.args[0];
        if (c.form >= 0) {
            EXPECT_STREQ(command.values[4], c.checkValue);
            EXPECT_EQ(command.argc(), c.argc);
            EXPECT_STREQ(command.argv[0], "uartflash");
            EXPECT_EQ(command.argv.back(), nullptr);
        } else {
            EXPECT_FALSE(command.problem.empty());
        }
    }
}

TEST(Entry, RefusalsPrintTheirTextAfterTheBannerAndExitTwo) {
    const std::string image = makeFile(ValidImage);
    const std::string overlong = makeFile(ValidImage + std::string(409, 'A') + "\n");
    const std::string empty = makeFile("");
    const std::string badSum = makeFile("S10500000102F8\nS9030000FC\n");
    const std::string headerOnly = makeFile("S00600004844521B\n");
    const std::string tooLongId(MaxProductIdLength + 1, 'P');
    const auto unknown = [](const char* word) {
        return std::string(word) + " Device not recognised\nSupported devices:\n\tARM\n";
    };
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{}, Usage},
        {{"COM1", "115200", "KORVA", "ARM", image, "extra"}, Usage},
        {{"COM1", "115200", "KORVA", "XYZ", "/nonexistent/k.srec"},
         "Error: Could not open [/nonexistent/k.srec]\n"},
        {{"COM1", "115200", "KORVA", "arm", image}, unknown("arm")},
        {{"COM1", "115200", "KORVA", "Arm", image}, unknown("Arm")},
        // The arguments are checked before what the file holds.
        {{"AUTO", "115200", "KORVA", "arm", headerOnly}, unknown("arm")},
        {{"AUTO", "115200", tooLongId, "ARM", headerOnly},
         "Error: Product ID is 252 characters long; at most 251 fit\n"},
        {{"AUTO", "115200", "KORVA", "XYZ", image}, unknown("XYZ")},
        {{"AUTO", "115200", tooLongId, "ARM", image},
         "Error: Product ID is 252 characters long; at most 251 fit\n"},
        {{"AUTO", "115200", "KORVA", "ARM", overlong},
         "Error: Line 3 of [" + overlong +
             "]: too long to send as one record (at most 408 characters before its line end)\n"},
        // A file that cannot land is refused before any port is listed or opened.
        {{"AUTO", "115200", "KORVA", "ARM", badSum},
         "Error: Line 1 of [" + badSum + "]: checksum F8, the record's bytes need F7\n"},
        {{"AUTO", "115200", "KORVA", "ARM", empty},
         "\nError: Invalid file size <" + empty + ">\r\n"},
        {{"AUTO", "115200", "KORVA", "ARM", "/tmp"},
         "Error: [/tmp] is a directory or a device, not a firmware file\n"},
        // --exact-port: a bare name is the device of that name, opened without a list or prompt.
        {{"--exact-port", "ttyFAKE", "115200", "KORVA", "ARM", image},
         "\r\nCould not open /dev/ttyFAKE\r\nEnsure it is not being used by another "
         "application.\r\n"},
        // A port on another machine: opened as named, and one more line says why it was not.
        {{"rfc2217://127.0.0.1", "115200", "KORVA", "ARM", image},
         "\r\nCould not open rfc2217://127.0.0.1\r\nEnsure it is not being used by another "
         "application.\r\nA port on another machine is named rfc2217://HOST:PORT or "
         "socket://HOST:PORT.\r\n"},
        {{"socket://no-such-host.invalid:4000", "115200", "KORVA", "ARM", image},
         "\r\nCould not open socket://no-such-host.invalid:4000\r\nEnsure it is not being used "
         "by another application.\r\nUnknown host: no-such-host.invalid:4000\r\n"},
    };
    for (const auto& c : cases) {
        const ToolRun run = runTool(c.args);
        EXPECT_EQ(run.out, Banner + c.expected);
        EXPECT_EQ(run.status, 2);
    }
    for (const std::string& file : {image, overlong, empty, badSum, headerOnly}) {
        unlink(file.c_str());
    }
}

// With no input at the prompt no port is chosen, whatever ports this machine has.
TEST(Entry, RecognisedDevicesGoOnToThePortChoiceAndAutoIgnoresCase) {
    const std::string image = makeFile(ValidImage);
    for (const char* device : {"ARM", "BT", "DSP"}) {
        const ToolRun run = runTool({"COM7", "115200", "KORVA", device, image});
        EXPECT_NE(run.out.find("serial ports"), std::string::npos) << run.out;
        EXPECT_TRUE(run.out.ends_with(NoPort)) << run.out;
        EXPECT_EQ(run.status, 2);
    }
    const ToolRun bySerial = runTool({"SN=0001A2B3", "115200", "KORVA", "ARM", image});
    EXPECT_TRUE(bySerial.out.ends_with(NoPort)) << bySerial.out;
    EXPECT_EQ(bySerial.out.find("Enter the"), std::string::npos) << bySerial.out; // no prompt
    EXPECT_EQ(bySerial.status, 2);
    const ToolRun manual = runTool({"COM7", "115200", "KORVA", "ARM", image});
    const ToolRun upper = runTool({"AUTO", "115200", "KORVA", "ARM", image});
    EXPECT_NE(upper.out, manual.out); // the automatic choice comes first
    for (const char* word : {"auto", "Auto", "aUtO"}) {
        const ToolRun run = runTool({word, "115200", "KORVA", "ARM", image});
        EXPECT_EQ(run.out, upper.out);
        EXPECT_EQ(run.status, upper.status);
    }
    unlink(image.c_str());
}

TEST(Entry, ProceedsWithTheDevicePathKindAndBaudRate) {
    const std::string image = makeFile(ValidImage);
    std::string productId(MaxProductIdLength, 'P');
    std::string words[] = {"uartflash", "/dev/ttyFAKE", " 57600x", productId, "BT", image};
    char* argv[] = {words[0].data(), words[1].data(), words[2].data(),
                    words[3].data(), words[4].data(), words[5].data()};
    UpdateRequest request;
    testing::internal::CaptureStdout();
    const PrepareResult result = prepareSession(6, argv, request);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("Error"), std::string::npos);
    EXPECT_EQ(result, PrepareResult::Proceed);
    EXPECT_EQ(request.device, DeviceKind::BT);
    EXPECT_STREQ(request.portName, "/dev/ttyFAKE");
    EXPECT_EQ(request.baudRate, 57600u);
    EXPECT_STREQ(request.productId, productId.c_str());
    EXPECT_STREQ(request.imagePath, image.c_str());
    for (const auto& [text, value] : {std::pair{"abc", 0},
                                      {"  -9600", -9600},
                                      {"+19200", 19200},
                                      {"99999999999", INT32_MAX},
                                      {"", 0}}) {
        EXPECT_EQ(readBaudRate(text), value) << text;
    }
    unlink(image.c_str());
}

// Every reason a run can end with: the word scripts read, the exit status it ends with, and the
// text a person reads for it.
TEST(Entry, EveryReasonHasItsWordStatusAndText) {
    const EntryReporter& entry = ConsoleEntryReporter;
    const Reporter& session = ConsoleReporter;
    const auto failed = [&session](EndReason reason, UploadPhase phase) {
        return [&session, reason, phase] { session.sessionFailed({reason, phase, 7, 9, "P"}); };
    };
    const struct {
        EndReason reason;
        const char* word;
        int status;
        std::function<void()> print;
        std::string text;
    } cases[] = {
        {EndReason::Done, "done", 0, [&] { session.done(); }, "\r\n\r\nUpdate Done!\r\n"},
        {EndReason::Usage, "usage", 2, [&] { entry.unknownDevice("arm"); },
         "arm Device not recognised\n"},
        {EndReason::FileRefused, "file_refused", 2,
         [&] { session.fileUnreadable("f", Os::FileReadResult::Unreadable); },
         "Error: Could not open [f]\n"},
        {EndReason::NoPort, "no_port", 2, [&] { entry.noPort(); },
         "\r\nError: Failed to detect any Com ports!\r\n"},
        {EndReason::PortNotOpened, "port_not_opened", 2, [&] { entry.portNotOpened("P"); },
         "\r\nCould not open P\r\n"},
        {EndReason::NotSupported, "not_supported", 2, [&] { entry.deviceNotSupported(); },
         "ERROR: Device not currently supported!"},
        {EndReason::LedgerRefused, "ledger_refused", 2,
         [&] { entry.ledgerRefused("cannot append to the ledger u.jsonl: Permission denied"); },
         "Error: cannot append to the ledger u.jsonl: Permission denied\n"},
        {EndReason::NoContact, "no_contact", 1,
         failed(EndReason::NoContact, UploadPhase::CheckComms),
         "Error: Could not establish communication\r\n"},
        {EndReason::UnknownApplication, "unknown_application", 1,
         failed(EndReason::UnknownApplication, UploadPhase::Identify),
         "ERROR: Unkown ARM application!\r\n"},
        {EndReason::ReplyTimeout, "reply_timeout", 1,
         failed(EndReason::ReplyTimeout, UploadPhase::SendRecord), "Communication Error!\r\n"},
        {EndReason::RecordRefused, "record_refused", 1,
         failed(EndReason::RecordRefused, UploadPhase::SendRecord),
         "\r\nERROR [7]: Record was not accepted!\r\n"},
        {EndReason::TooManyResends, "too_many_resends", 1,
         failed(EndReason::TooManyResends, UploadPhase::SendRecord),
         "ERROR: Too many re-transmission requests!\r\n"},
        {EndReason::OutOfStep, "out_of_step", 1,
         failed(EndReason::OutOfStep, UploadPhase::SendRecord),
         "ERROR: Record replies out of step, the image may be incomplete!\r\n"},
        {EndReason::NoApplication, "no_application", 1,
         failed(EndReason::NoApplication, UploadPhase::AwaitApplication),
         "ERROR: Device not responding!\r\n"},
        {EndReason::PortLost, "port_lost", 1, failed(EndReason::PortLost, UploadPhase::SendRecord),
         "\r\nThe port P is gone (unplugged?)\r\n"},
        {EndReason::Aborted, "aborted", 130, failed(EndReason::Aborted, UploadPhase::SendRecord),
         "\r\nUpdate aborted at record 7 of 9.\r\n"},
    };
    EXPECT_EQ(std::size(cases), std::size(Reasons)) << "a reason without its row";
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(static_cast<size_t>(c.reason), i) << c.word;
        EXPECT_STREQ(reasonWord(c.reason), c.word);
        EXPECT_EQ(exitCode(exitStatusOf(c.reason)), c.status) << c.word;
        testing::internal::CaptureStdout();
        c.print();
        EXPECT_EQ(testing::internal::GetCapturedStdout().substr(0, c.text.size()), c.text)
            << c.word;
    }
}

} // namespace
