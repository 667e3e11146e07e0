// What a watch makes of its listings and its children's ends: which units it updates, skips and
// lets go, and from the units the status, the failed serial numbers and the retry command.
#include "shell_words.h"
#include "station/fixture_state.h"
#include "station/station_snapshot.h"
#include "station/unit_codes.h"
#include "station/watch_state.h"
#include "station/watch_summary.h"
#include "station/watch_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Station::Watch;

// A serial number with an escape sequence, BEL, both quotes, a comma, blanks and a percent sign.
const char* const Hostile = "\x1B]0;pwned\a it's \"A,B\" 100%";

// A local port as this platform names it.
#ifdef _WIN32
const std::string LocalPort = "COM5";
#else
const std::string LocalPort = "/dev/ttyUSB0";
#endif

TEST(WatchState, TargetsAreAllSerialNumbersOrFixedPorts) {
    std::string many = "SN=0";
    for (int i = 1; i < 65; ++i) {
        many += ",SN=" + std::to_string(i);
    }
    const std::string refusal = "--watch takes ALL, SN= entries (SN=0001A2B3,SN=0001A2B4) or ports "
                                "that stay plugged (/dev/ttyUSB0,rfc2217://fixture-3:3001), not ";
    const std::string mixed = "--watch takes SN= entries (units that come with their bridge) or "
                              "ports that stay plugged, not both: ";
    const std::string badEscape =
        "a % must be followed by two hexadecimal digits (%25 for % itself, %2C for a comma)";
    const struct {
        std::string argument;
        bool all;
        std::vector<std::string> serials;
        std::string problem;
        std::vector<std::string> ports = {}; // fixed ports
    } cases[] = {
        {"ALL", true, {}, ""},
        {"all", true, {}, ""},
        {"SN=0001A2B3", false, {"0001A2B3"}, ""},
        {"SN=A,SN=B,", false, {"A", "B"}, ""},
        {"SN=LOT7%2CU12,SN=50%25%2c%1b", false, {"LOT7,U12", "50%,\x1B"}, ""},
        {"SN=A,SN=%41", false, {}, "SN=%41 is named twice"},
        {"SN=50%OFF", false, {}, "SN=50%OFF: " + badEscape},
        {"SN=A%4", false, {}, "SN=A%4: " + badEscape},
        {"SN=A,SN=A", false, {}, "SN=A is named twice"},
        {"SN=A,COM5", false, {}, mixed + "SN=A beside COM5"},
        {"/dev/ttyUSB0,SN=A", false, {}, mixed + "SN=A beside /dev/ttyUSB0"},
        {LocalPort, false, {}, "", {LocalPort}},
        {"rfc2217://fixture-3:3001,socket://fixture-3:3002,",
         false,
         {},
         "",
         {"rfc2217://fixture-3:3001", "socket://fixture-3:3002"}},
        {"rfc2217://fixture-3:3001,RFC2217://FIXTURE-3:03001",
         false,
         {},
         "rfc2217://fixture-3:3001 and RFC2217://FIXTURE-3:03001 both name "
         "rfc2217://fixture-3:3001"},
        {"SN=", false, {}, refusal + "SN="},
        {"SN=A,,SN=B", false, {}, refusal + "an empty entry"},
        {"", false, {}, refusal + "an empty entry"},
        {"ALL,SN=A", false, {}, refusal + "ALL"},
        {"/dev/ttyUSB0,auto", false, {}, refusal + "auto"},
        {many, false, {}, "65 entries named; at most 64 at once"},
    };
    for (const auto& c : cases) {
        Station::Target target;
        std::string problem;
        EXPECT_EQ(Station::parseTarget(c.argument, target, problem), c.problem.empty())
            << c.argument;
        EXPECT_EQ(problem, c.problem) << c.argument;
        if (c.problem.empty()) {
            EXPECT_EQ(target.allBridges, c.all) << c.argument;
            EXPECT_EQ(target.serials, c.serials) << c.argument;
            EXPECT_EQ(target.fixedPorts, !c.ports.empty()) << c.argument;
            EXPECT_EQ(target.ports, c.ports) << c.argument;
        }
    }
}

// "ttyUSB0:A" is a bridge with serial number A; "ttyS0:-" a port that is no bridge.
PortList listing(const std::vector<std::string>& ports) {
    PortList list;
    for (const std::string& port : ports) {
        const size_t colon = port.find(':');
        PortEntry entry;
        entry.name = port.substr(0, colon);
        const std::string serial = port.substr(colon + 1);
        entry.usb.serialNumber = serial == "-" || serial == "?" ? "" : serial;
        list.entries.push_back(entry);
        list.descriptions.push_back(serial == "-" ? "" : "Silicon Labs CP210x");
    }
    return list;
}

const char* changeWord(Station::Change change) {
    switch (change) {
    case Station::Change::Plugged:
        return "plugged";
    case Station::Change::Skipped:
        return "skipped";
    case Station::Change::Arrived:
        return "arrived";
    case Station::Change::AwaitingCode:
        return "awaiting_code";
    case Station::Change::Foreign:
        return "foreign";
    case Station::Change::Left:
        return "left";
    case Station::Change::Unplugged:
        break;
    }
    return "unplugged";
}

const char* stateWord(Station::SlotState state) {
    switch (state) {
    case Station::SlotState::Waiting:
        return "waiting";
    case Station::SlotState::Updating:
        return "updating";
    case Station::SlotState::Finished:
        return "finished";
    case Station::SlotState::AwaitingCode:
        return "awaiting_code";
    case Station::SlotState::Foreign:
        return "foreign";
    case Station::SlotState::Starting:
        return "starting";
    case Station::SlotState::Skipped:
        break;
    }
    return "skipped";
}

// The slots as "key:state" (and ":code" waiting), in order.
std::string slotStates(const Watch& watch) {
    std::string slots;
    for (const Station::Slot& slot : watch.slots) {
        slots += (slots.empty() ? "" : " ") + slot.key + ":" + stateWord(slot.state) +
                 (slot.code.empty() ? "" : ":" + slot.code);
    }
    return slots;
}

// One look at the ports, then the updates that end (slot key and process status); "stop" before
// the look is a stop request.
struct Step {
    std::vector<std::string> ports;
    std::vector<std::pair<std::string, int>> ends = {};
    bool stop = false;
};

// Each step's changes ("plugged ttyUSB0 A"), steps apart with " | ", and the slots at the end.
TEST(WatchState, ListingsPlugSkipAndUnplugUnits) {
    const struct {
        const char* name;
        std::string target;
        bool again;
        std::vector<Step> steps;
        std::string changes;
        std::string slots;                   // key:state, in order
        std::vector<std::string> codes = {}; // scanned before the first look (--unit-id scan)
        bool scan = false;
    } cases[] = {
        {"a unit that stays is updated once",
         "ALL",
         false,
         {{{"ttyUSB0:A"}}, {{"ttyUSB0:A"}, {{"ttyUSB0", 0}}}, {{"ttyUSB0:A"}}},
         "plugged ttyUSB0 A |  | ",
         "ttyUSB0:finished"},
        {"unplugged and plugged in again with success: skipped",
         "ALL",
         false,
         {{{"ttyUSB0:A"}, {{"ttyUSB0", 0}}}, {{}}, {{"ttyUSB0:A"}}},
         "plugged ttyUSB0 A | unplugged ttyUSB0 A | skipped ttyUSB0 A",
         "ttyUSB0:skipped"},
        {"with --again: updated again",
         "ALL",
         true,
         {{{"ttyUSB0:A"}, {{"ttyUSB0", 0}}}, {{}}, {{"ttyUSB0:A"}}},
         "plugged ttyUSB0 A | unplugged ttyUSB0 A | plugged ttyUSB0 A",
         "ttyUSB0:updating"},
        {"a unit that failed is updated again",
         "ALL",
         false,
         {{{"ttyUSB0:A"}, {{"ttyUSB0", 1}}}, {{}}, {{"ttyUSB0:A"}}},
         "plugged ttyUSB0 A | unplugged ttyUSB0 A | plugged ttyUSB0 A",
         "ttyUSB0:updating"},
        {"units without a serial number are never skipped",
         "ALL",
         false,
         {{{"ttyUSB0:?"}, {{"ttyUSB0", 0}}}, {{}}, {{"ttyUSB0:?"}}},
         "plugged ttyUSB0  | unplugged ttyUSB0  | plugged ttyUSB0 ",
         "ttyUSB0:updating"},
        {"another unit swapped in between two looks",
         "ALL",
         false,
         {{{"ttyUSB0:A"}, {{"ttyUSB0", 0}}}, {{"ttyUSB0:B"}}},
         "plugged ttyUSB0 A | plugged ttyUSB0 B",
         "ttyUSB0:updating"},
        {"two units at once, and a port that is no bridge",
         "ALL",
         false,
         {{{"ttyS0:-", "ttyUSB1:B", "ttyUSB0:A"}, {{"ttyUSB0", 1}}}},
         "plugged ttyUSB1 B; plugged ttyUSB0 A",
         "ttyUSB1:updating ttyUSB0:finished"},
        {"unplugged while updating: the update ends, then the line goes",
         "ALL",
         false,
         {{{"ttyUSB0:A"}}, {{}}, {{}, {{"ttyUSB0", 1}}}},
         "plugged ttyUSB0 A | unplugged ttyUSB0 A | ",
         ""},
        {"no new unit after a stop request",
         "ALL",
         false,
         {{{"ttyUSB0:A"}}, {{"ttyUSB0:A", "ttyUSB1:B"}, {}, true}},
         "plugged ttyUSB0 A | ",
         "ttyUSB0:updating ttyUSB1:waiting"},
        {"serial numbers wait in their lines, whatever their port",
         "SN=A,SN=B",
         false,
         {{{"ttyUSB0:C"}}, {{"ttyUSB3:B"}, {{"SN=B", 0}}}, {{}}, {{"ttyUSB5:B"}}},
         " | plugged ttyUSB3 B | unplugged ttyUSB3 B | skipped ttyUSB5 B",
         "SN=A:waiting SN=B:skipped"},
        {"a serial number two ports have is taken by neither",
         "SN=A",
         false,
         {{{"ttyUSB0:A", "ttyUSB1:A"}}},
         "",
         "SN=A:waiting"},
        {"with scans, a bridge without a code waits for one",
         "ALL",
         false,
         {{{"ttyUSB0:A"}}},
         "awaiting_code ttyUSB0 A",
         "ttyUSB0:awaiting_code",
         {},
         true},
        {"with scans, the codes go to the next bridges in turn, a serial number updated before "
         "too",
         "ALL",
         false,
         {{{"ttyUSB0:A"}, {{"ttyUSB0", 0}}}, {{}}, {{"ttyUSB0:A", "ttyUSB1:B"}}},
         "plugged ttyUSB0 A | unplugged ttyUSB0 A | plugged ttyUSB0 A; awaiting_code ttyUSB1 B",
         "ttyUSB0:updating ttyUSB1:awaiting_code",
         {"LOT-1", "LOT-2"},
         true},
    };
    for (const auto& c : cases) {
        Watch watch;
        std::string problem;
        ASSERT_TRUE(Station::parseTarget(c.target, watch.target, problem)) << problem;
        Station::makeSlots(watch);
        watch.again = c.again;
        watch.scanCodes = c.scan;
        watch.codes.assign(c.codes.begin(), c.codes.end());
        std::string changes;
        for (const Step& step : c.steps) {
            watch.accepting = watch.accepting && !step.stop;
            changes += &step == &c.steps.front() ? "" : " | ";
            const auto seen = Station::sightings(listing(step.ports), watch.target);
            std::string separator;
            for (const Station::SlotChange& change : Station::takeListing(watch, seen)) {
                changes +=
                    separator + changeWord(change.change) + " " + change.port + " " + change.serial;
                separator = "; ";
            }
            for (const auto& [key, status] : step.ends) {
                Station::Slot* slot = Station::findSlot(watch, key);
                EXPECT_NE(slot, nullptr) << c.name << ": " << key;
                if (slot != nullptr) {
                    slot->run.started = true;
                }
                Station::endUpdate(watch, key, status);
            }
        }
        EXPECT_EQ(changes, c.changes) << c.name;
        EXPECT_EQ(slotStates(watch), c.slots) << c.name;
    }
}

Station::Unit unit(const char* serial, int status, const char* code = "") {
    Station::Unit done{serial, code, {}};
    done.run.started = true;
    ChildUpdate::endRun(done.run, status);
    return done;
}

// A fixture of two ports and what its probes, the updates' ends and the scans tell, step by step:
// "1:present" (slot 1's probe), "end 1 0" (slot 1's update ended with status 0), "scan <line>",
// "stop" (the first stop request). Each step's outcome is told apart with " | ".
std::string runFixture(Watch& watch, const std::vector<std::string>& steps) {
    std::string told;
    for (const std::string& step : steps) {
        told += &step == &steps.front() ? "" : " | ";
        if (step == "stop") {
            watch.accepting = false;
        } else if (step.rfind("scan ", 0) == 0) {
            const UnitCodes::Scan scan = UnitCodes::take(watch, step.substr(5));
            const Station::Slot* slot = Station::findSlot(watch, scan.slotKey);
            told += scan.accepted ? "code " + scan.code + (scan.startNow ? " starts " : " waits ") +
                                        std::to_string(slot != nullptr ? slot->number : 0)
                    : scan.refusal != nullptr ? std::string("refused ") + scan.refusal
                                              : "ignored";
        } else if (step.rfind("end ", 0) == 0) {
            Station::Slot& slot = watch.slots[static_cast<size_t>(step[4] - '1')];
            slot.state = Station::SlotState::Updating; // its probe let go, its child ran
            slot.run.started = true;
            Station::endUpdate(watch, slot.key, step[6] - '0');
        } else {
            Station::Slot& slot = watch.slots[static_cast<size_t>(step[0] - '1')];
            std::vector<Station::SlotChange> changes;
            const bool start =
                Fixture::takeSight(watch, slot, Fixture::sightOf(step.substr(2)), changes);
            for (const Station::SlotChange& change : changes) {
                told += std::string(changeWord(change.change)) + " " + std::to_string(slot.number);
            }
            told += start ? " start" : "";
        }
    }
    return told;
}

// A fixture's ports: units arrive when they answer and leave when they stop, each is updated
// once, and scanned codes name them.
TEST(WatchState, FixturePortsTakeUnitsByTheirAnswerAndTheirCodes) {
    const std::string long65(65, 'x');
    const struct {
        const char* name;
        bool scan;
        bool again;
        std::vector<std::string> steps;
        std::string told;
        std::string slots;
    } cases[] = {
        {"a unit is updated once, and waits to be taken away",
         false,
         false,
         {"1:present", "end 1 0", "1:present", "1:absent", "1:absent"},
         "arrived 1 start |  |  | left 1 | ",
         "rfc2217://f:1:waiting rfc2217://f:2:waiting"},
        {"after a failure too, it is updated again only once it has left and come back",
         false,
         false,
         {"1:present", "end 1 1", "1:present", "1:absent", "1:present"},
         "arrived 1 start |  |  | left 1 | arrived 1 start",
         "rfc2217://f:1:starting rfc2217://f:2:waiting"},
        {"another product is shown, never updated, and waited out",
         false,
         false,
         {"2:foreign", "2:foreign", "2:absent", "2:present"},
         "foreign 2 |  | left 2 | arrived 2 start",
         "rfc2217://f:1:waiting rfc2217://f:2:starting"},
        {"a port that closes keeps its unit; a probe's word after its update began is moot",
         false,
         false,
         {"1:present", "1:absent", "end 1 0", "1:port_closed", "1:present", "1:nonsense"},
         "arrived 1 start |  |  |  |  | ",
         "rfc2217://f:1:finished rfc2217://f:2:waiting"},
        {"no unit is taken after a stop request",
         false,
         false,
         {"stop", "1:present"},
         " | ",
         "rfc2217://f:1:waiting rfc2217://f:2:waiting"},
        {"a unit that arrives without a code waits for its scan",
         true,
         false,
         {"1:present", "scan LOT-1"},
         "awaiting_code 1 | code LOT-1 starts 1",
         "rfc2217://f:1:starting rfc2217://f:2:waiting"},
        {"bare codes wait at the lowest ports without one, then go to the units that come",
         true,
         false,
         {"scan LOT-1", "scan LOT-2", "scan LOT-3", "2:present"},
         "code LOT-1 waits 1 | code LOT-2 waits 2 | refused no_port_free | arrived 2 start",
         "rfc2217://f:1:waiting:LOT-1 rfc2217://f:2:starting"},
        {"a bare code goes to a unit that waits for its code first",
         true,
         false,
         {"2:present", "scan LOT-1"},
         "awaiting_code 2 | code LOT-1 starts 2",
         "rfc2217://f:1:waiting rfc2217://f:2:starting"},
        {"a port named by its number or its name; a number no port has",
         true,
         false,
         {"scan 2:LOT-1", "scan rfc2217://f:1:LOT-2", "scan 7:LOT-3", "scan 2:LOT-4"},
         "code LOT-1 waits 2 | code LOT-2 waits 1 | refused no_such_port | code LOT-4 waits 2",
         "rfc2217://f:1:waiting:LOT-2 rfc2217://f:2:waiting:LOT-4"},
        {"a code updated with success is refused, one waiting too",
         true,
         false,
         {"1:present", "scan LOT-1", "end 1 0", "1:absent", "scan LOT-1", "scan LOT-2",
          "scan LOT-2"},
         "awaiting_code 1 | code LOT-1 starts 1 |  | left 1 | refused already_updated | code "
         "LOT-2 waits 1 | refused already_waiting",
         "rfc2217://f:1:waiting:LOT-2 rfc2217://f:2:waiting"},
        {"with --again a code updated before is taken",
         true,
         true,
         {"1:present", "scan LOT-1", "end 1 0", "1:absent", "scan LOT-1"},
         "awaiting_code 1 | code LOT-1 starts 1 |  | left 1 | code LOT-1 waits 1",
         "rfc2217://f:1:waiting:LOT-1 rfc2217://f:2:waiting"},
        {"codes with control bytes or over 64 bytes are refused; an empty line is nothing",
         true,
         false,
         {"scan A\x1B[2JB", "scan " + long65, "scan "},
         "refused control_bytes | refused too_long | ignored",
         "rfc2217://f:1:waiting rfc2217://f:2:waiting"},
    };
    for (const auto& c : cases) {
        Watch watch;
        std::string problem;
        ASSERT_TRUE(Station::parseTarget("rfc2217://f:1,rfc2217://f:2", watch.target, problem))
            << problem;
        Station::makeSlots(watch);
        watch.scanCodes = c.scan;
        watch.again = c.again;
        EXPECT_EQ(runFixture(watch, c.steps), c.told) << c.name;
        EXPECT_EQ(slotStates(watch), c.slots) << c.name;
    }
}

// A unit that failed and then succeeded counts as updated; only the last update of a serial
// number decides.
TEST(WatchState, TheLastUpdateOfEachUnitDecidesTheStatusAndTheRetry) {
    ChildUpdate::Invocation invocation;
    invocation.program = "uartflash";
    invocation.options = {"--watch", "--ledger", "units 1.jsonl"};
    invocation.baud = "115200";
    invocation.product = "KORVA";
    invocation.device = "ARM";
    invocation.file = "fw.srec";
#ifdef _WIN32
    const std::string head = "uartflash --watch --ledger \"units 1.jsonl\" ";
    const std::string comma = "\"SN=LOT7%2CU12\"";
    const std::string hostile = "\"SN=%1B]0;pwned%07 it's %22A%2CB%22 100%25,SN=LOT7%2CU12\"";
#else
    const std::string head = "uartflash --watch --ledger 'units 1.jsonl' ";
    const std::string comma = "SN=LOT7%2CU12";
    const std::string hostile = "'SN=%1B]0;pwned%07 it'\\''s %22A%2CB%22 100%25,SN=LOT7%2CU12'";
#endif
    const std::string tail = " 115200 KORVA ARM fw.srec";
    const struct {
        std::vector<Station::Unit> units;
        bool aborted;
        int status;
        std::vector<std::string> failed;
        size_t unnamed;
        std::string retry;
    } cases[] = {
        {{}, false, 0, {}, 0, ""},
        {{unit("A", 0), unit("B", 0)}, false, 0, {}, 0, ""},
        {{unit("A", 1), unit("B", 0)}, false, 1, {"A"}, 0, head + "SN=A" + tail},
        {{unit("A", 1), unit("A", 0)}, false, 0, {}, 0, ""},
        {{unit("A", 0), unit("A", 1)}, false, 1, {"A"}, 0, head + "SN=A" + tail},
        {{unit("B", 2), unit("", 1), unit("A", 1), unit("B", 1)},
         false,
         1,
         {"A", "B"},
         1,
         head + "SN=A,SN=B" + tail},
        {{unit("", 1), unit("", 0)}, false, 1, {}, 1, ""},
        {{unit("A", 0), unit("B", 130)}, true, 130, {"B"}, 0, head + "SN=B" + tail},
        {{unit("LOT7,U12", 1)}, false, 1, {"LOT7,U12"}, 0, head + comma + tail},
        {{unit(Hostile, 1), unit("LOT7,U12", 2)},
         false,
         1,
         {Hostile, "LOT7,U12"},
         0,
         head + hostile + tail},
    };
    for (const auto& c : cases) {
        Watch watch;
        watch.units = c.units;
        EXPECT_EQ(exitCode(Station::overallStatus(watch, c.aborted)), c.status) << c.retry;
        EXPECT_EQ(Station::failedSerials(watch), c.failed) << c.retry;
        EXPECT_EQ(Station::failedUnnamed(watch), c.unnamed) << c.retry;
        const std::string printed = Station::retryCommand(invocation, watch);
        EXPECT_EQ(printed, c.retry);
        if (!printed.empty()) { // pasted into the shell, the retry watches exactly these
            const std::vector<std::string> words = ShellWords::of(printed);
            ASSERT_GE(words.size(), 5u) << c.retry;
            Station::Target target;
            std::string problem;
            EXPECT_TRUE(Station::parseTarget(words[words.size() - 5], target, problem)) << problem;
            EXPECT_EQ(target.serials, c.failed) << c.retry;
        }
        const ChildUpdate::Json summary =
            Station::summaryEvent(invocation, watch, ExitStatus::ExitDone, "done", 1.0);
        EXPECT_EQ(summary["units"].size(), c.units.size()) << c.retry;
        EXPECT_EQ(summary["retry"],
                  printed.empty() ? ChildUpdate::Json(nullptr) : ChildUpdate::Json(printed));
        EXPECT_EQ(summary["units_ok"].get<uint32_t>() + summary["units_failed"].get<uint32_t>(),
                  c.units.size())
            << c.retry;
    }
}

// Units named by scanned codes: the retry is the same watch, the codes scanned again; the first
// try of each unit decides the first-pass yield.
TEST(WatchState, CodesNameUnitsInTheRetryAndTheFirstPassYield) {
    ChildUpdate::Invocation invocation;
    invocation.program = "uartflash";
    invocation.options = {"--watch", "--unit-id", "scan"};
    invocation.portArgument = "/dev/ttyUSB0";
    invocation.baud = "115200";
    invocation.product = "KORVA";
    invocation.device = "ARM";
    invocation.file = "fw.srec";
    const struct {
        std::vector<Station::Unit> units;
        bool scan;
        std::vector<std::string> failed;
        size_t unnamed;
        double yield; // < 0: none tried
        bool retry;
    } cases[] = {
        {{}, true, {}, 0, -1, false},
        {{unit("", 0, "LOT-1"), unit("", 1, "LOT-2")}, true, {"LOT-2"}, 0, 0.5, true},
        {{unit("", 1, "LOT-1"), unit("", 0, "LOT-1")}, true, {}, 0, 0.0, false},
        {{unit("A", 0, "LOT-1"), unit("", 1), unit("", 0)}, true, {}, 1, 2.0 / 3, false},
        {{unit("A", 1), unit("A", 0), unit("B", 0)}, false, {}, 0, 0.5, false},
    };
    for (const auto& c : cases) {
        Watch watch;
        watch.scanCodes = c.scan;
        watch.units = c.units;
        EXPECT_EQ(Station::failedUnits(watch), c.failed);
        EXPECT_EQ(Station::failedUnnamed(watch), c.unnamed);
        double yield = 0;
        EXPECT_EQ(Station::firstPassYield(watch, yield), c.yield >= 0);
        EXPECT_DOUBLE_EQ(yield, c.yield >= 0 ? c.yield : 0.0);
        EXPECT_EQ(Station::retryCommand(invocation, watch),
                  c.retry ? "uartflash --watch --unit-id scan /dev/ttyUSB0 115200 KORVA ARM fw.srec"
                          : "");
        const ChildUpdate::Json summary =
            Station::summaryEvent(invocation, watch, ExitStatus::ExitDone, "done", 1.0);
        EXPECT_EQ(summary.contains("failed_units"), c.scan);
    }
}

// The live view's line of each kind of slot, and the counts above them.
TEST(WatchState, ViewShowsEachSlotAndTheCounts) {
    Watch watch;
    watch.skipped = 1;
    watch.productId = "KORVA";
    watch.units = {unit("A", 0), unit("B", 1), unit("C", 0)};
    Station::Slot slot;
    slot.key = "SN=D";
    slot.serial = "D";
    const struct {
        Station::SlotState state;
        std::string port;
        std::string line;
        bool fixture = false;
        int status = 0; // of a finished update
        const char* code = "";
    } cases[] = {
        {Station::SlotState::Waiting, "", "SN=D     waiting"},
        {Station::SlotState::Skipped, "COM5",
         "COM5     skipped           SN=D was updated in this watch; unplug to continue"},
        {Station::SlotState::Finished, "COM5",
         "COM5     ok                [####################] 100%  resends 0   done, 2.0 s  "
         "unplug to continue"},
        {Station::SlotState::Updating, "COM5",
         "COM5     transfer          [##########----------]  50%  resends 0  "},
        {Station::SlotState::AwaitingCode, "COM5",
         "COM5     plugged in: scan the unit's code first"},
        {Station::SlotState::Waiting, "COM5", "1 COM5   waiting for a unit", true},
        {Station::SlotState::Waiting, "COM5", "1 COM5   waiting for unit LOT\\x1B1", true, 0,
         "LOT\x1B"
         "1"},
        {Station::SlotState::AwaitingCode, "COM5",
         "1 COM5   unit present: scan the unit's code first", true},
        {Station::SlotState::Foreign, "COM5", "1 COM5   not a KORVA: remove the unit", true},
        {Station::SlotState::Finished, "COM5",
         "1 COM5   ok                [####################] 100%  resends 0   done, 2.0 s  "
         "remove the unit",
         true},
        {Station::SlotState::Finished, "COM5",
         "1 COM5   failed            [####################] 100%  resends 0   record_refused, "
         "2.0 s  failed (record_refused): remove the unit",
         true, 1},
    };
    for (const auto& c : cases) {
        watch.target.fixedPorts = c.fixture;
        slot.number = c.fixture ? 1 : 0;
        slot.state = c.state;
        slot.port = c.port;
        slot.code = c.code;
        slot.run = {};
        slot.run.name = c.port;
        slot.run.phase = "transfer";
        slot.run.percent = c.state == Station::SlotState::Finished ? 100 : 50;
        slot.run.started = true;
        if (c.state == Station::SlotState::Finished) {
            slot.run.haveResult = true;
            slot.run.reason = c.status == 0 ? "done" : "record_refused";
            slot.run.seconds = 2.0;
            ChildUpdate::endRun(slot.run, c.status);
        }
        EXPECT_EQ(WatchView::slotLine(watch, slot, 7, 0), c.line);
    }
    watch.target.fixedPorts = false;
    EXPECT_EQ(WatchView::heading(watch, 360.0),
              "Units ok 2, failed 1, first-pass yield 66.7 %, 30.0 an hour, skipped 1");
    EXPECT_EQ(WatchView::target(Station::Target{}), "every Silicon Labs bridge (ALL)");
    Station::Target serials;
    serials.allBridges = false;
    serials.serials = {Hostile, "LOT7,U12"};
    EXPECT_EQ(WatchView::target(serials), "SN=\\x1B]0;pwned\\x07 it's \"A,B\" 100%, SN=LOT7,U12");
    Station::Target fixture;
    fixture.allBridges = false;
    fixture.fixedPorts = true;
    fixture.ports = {"/dev/ttyUSB0", "rfc2217://fixture-3:3001"};
    EXPECT_EQ(WatchView::target(fixture), "units on /dev/ttyUSB0, rfc2217://fixture-3:3001");
    watch.accepting = false;
    EXPECT_EQ(WatchView::heading(watch, 360.0),
              "Units ok 2, failed 1, first-pass yield 66.7 %, 30.0 an hour, skipped 1; stopping: "
              "no new units");
    EXPECT_EQ(WatchView::totals(watch, 360.0),
              "Units: 2 ok, 1 failed, 1 skipped in 360 s (30.0 an hour).");
}

} // namespace

namespace {

// The page's snapshot of a watch: each slot's state word, the counts and the last units.
TEST(WatchState, SnapshotShowsEachPortTheCountsAndTheLastUnits) {
    Watch watch;
    std::string problem;
    ASSERT_TRUE(Station::parseTarget("rfc2217://f:1,rfc2217://f:2,rfc2217://f:3,rfc2217://f:4",
                                     watch.target, problem));
    Station::makeSlots(watch);
    watch.scanCodes = true;
    watch.units = {unit("", 0, "LOT-1"), unit("", 1, "LOT-2"), unit("", 0, "LOT-2")};
    StationSnapshot::Recent recent;
    for (const Station::Unit& ended : watch.units) {
        StationSnapshot::remember(recent, ended.run, ended.code);
    }
    watch.slots[0].state = Station::SlotState::AwaitingCode;
    watch.slots[1].state = Station::SlotState::Foreign;
    watch.slots[2] = {};
    watch.slots[2].port = "rfc2217://f:3";
    watch.slots[2].number = 3;
    watch.slots[2].unit = "<img src=x onerror=alert(1)>";
    watch.slots[2].state = Station::SlotState::Updating;
    watch.slots[2].run.started = true;
    watch.slots[2].run.percent = 42;
    watch.slots[3].state = Station::SlotState::Finished;
    watch.slots[3].unit = "LOT-2";
    watch.slots[3].run = watch.units.back().run;
    const auto state = StationSnapshot::ofWatch(watch, recent, {"fw.srec", "ab12"}, 3600.0);
    std::string words;
    for (const auto& port : state["ports"]) {
        words += port["state"].get<std::string>() + " ";
    }
    EXPECT_EQ(words, "scan foreign updating remove ");
    EXPECT_EQ(state["ports"][2]["unit"], "<img src=x onerror=alert(1)>");
    EXPECT_EQ(state["ports"][2]["progress"], 42);
    EXPECT_EQ(state["ports"][3]["result"], "ok");
    EXPECT_EQ(state["counts"]["ok"], 2);
    EXPECT_EQ(state["counts"]["failed"], 1);
    EXPECT_DOUBLE_EQ(state["counts"]["first_pass_yield"].get<double>(), 0.5);
    EXPECT_DOUBLE_EQ(state["counts"]["units_per_hour"].get<double>(), 3.0);
    ASSERT_EQ(state["last_units"].size(), 3u);
    EXPECT_EQ(state["last_units"][0]["unit"], "LOT-2"); // newest first
    EXPECT_EQ(state["last_units"][1]["result"], "failed");
    EXPECT_EQ(state["image"]["sha256"], "ab12");
}

} // namespace
