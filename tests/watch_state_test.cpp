// What a watch makes of its listings and its children's ends: which units it updates, skips and
// lets go, and from the units the status, the failed serial numbers and the retry command.
#include "shell_words.h"
#include "station/watch_state.h"
#include "station/watch_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Station::Watch;

// A serial number with an escape sequence, BEL, both quotes, a comma, blanks and a percent sign.
const char* const Hostile = "\x1B]0;pwned\a it's \"A,B\" 100%";

TEST(WatchState, TargetsAreAllOrSerialNumbers) {
    std::string many = "SN=0";
    for (int i = 1; i < 65; ++i) {
        many += ",SN=" + std::to_string(i);
    }
    const std::string refusal = "--watch takes ALL or SN= entries (SN=0001A2B3,SN=0001A2B4), not ";
    const std::string badEscape =
        "a % must be followed by two hexadecimal digits (%25 for % itself, %2C for a comma)";
    const struct {
        std::string argument;
        bool all;
        std::vector<std::string> serials;
        std::string problem;
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
        {"SN=A,COM5", false, {}, refusal + "COM5"},
        {"/dev/ttyUSB0", false, {}, refusal + "/dev/ttyUSB0"},
        {"SN=", false, {}, refusal + "SN="},
        {"sn=A", false, {}, refusal + "sn=A"},
        {"SN=A,,SN=B", false, {}, refusal + "an empty entry"},
        {"", false, {}, refusal + "an empty entry"},
        {"ALL,SN=A", false, {}, refusal + "ALL"},
        {many, false, {}, "65 serial numbers named; at most 64 at once"},
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
    case Station::SlotState::Skipped:
        break;
    }
    return "skipped";
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
        std::string slots; // key:state, in order
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
    };
    for (const auto& c : cases) {
        Watch watch;
        std::string problem;
        ASSERT_TRUE(Station::parseTarget(c.target, watch.target, problem)) << problem;
        watch.again = c.again;
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
        std::string slots;
        for (const Station::Slot& slot : watch.slots) {
            slots += (slots.empty() ? "" : " ") + slot.key + ":" + stateWord(slot.state);
        }
        EXPECT_EQ(changes, c.changes) << c.name;
        EXPECT_EQ(slots, c.slots) << c.name;
    }
}

Station::Unit unit(const char* serial, int status) {
    Station::Unit done{serial, {}};
    done.run.started = true;
    ChildUpdate::endRun(done.run, status);
    return done;
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
        EXPECT_EQ(Station::failedWithoutSerial(watch), c.unnamed) << c.retry;
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
        EXPECT_EQ(summary["retry"], printed.empty() ? ChildUpdate::Json(nullptr) : ChildUpdate::Json(printed));
        EXPECT_EQ(summary["units_ok"].get<uint32_t>() + summary["units_failed"].get<uint32_t>(),
                  c.units.size())
            << c.retry;
    }
}

// The live view's line of each kind of slot, and the counts above them.
TEST(WatchState, ViewShowsEachSlotAndTheCounts) {
    Watch watch;
    watch.skipped = 1;
    watch.units = {unit("A", 0), unit("B", 1), unit("C", 0)};
    Station::Slot slot;
    slot.key = "SN=D";
    slot.serial = "D";
    const struct {
        Station::SlotState state;
        std::string port;
        std::string line;
    } cases[] = {
        {Station::SlotState::Waiting, "", "SN=D     waiting"},
        {Station::SlotState::Skipped, "COM5",
         "COM5     skipped           SN=D was updated in this watch; unplug to continue"},
        {Station::SlotState::Finished, "COM5",
         "COM5     ok                [####################] 100%  resends 0   done, 2.0 s  "
         "unplug to continue"},
        {Station::SlotState::Updating, "COM5",
         "COM5     transfer          [##########----------]  50%  resends 0  "},
    };
    for (const auto& c : cases) {
        slot.state = c.state;
        slot.port = c.port;
        slot.run = {};
        slot.run.name = c.port;
        slot.run.phase = "transfer";
        slot.run.percent = c.state == Station::SlotState::Finished ? 100 : 50;
        slot.run.started = true;
        if (c.state == Station::SlotState::Finished) {
            slot.run.haveResult = true;
            slot.run.reason = "done";
            slot.run.seconds = 2.0;
            ChildUpdate::endRun(slot.run, 0);
        }
        EXPECT_EQ(WatchView::slotLine(slot, 7, 0), c.line);
    }
    EXPECT_EQ(WatchView::heading(watch, 360.0), "Units ok 2, failed 1, 30.0 an hour, skipped 1");
    EXPECT_EQ(WatchView::target(Station::Target{}), "every Silicon Labs bridge (ALL)");
    EXPECT_EQ(WatchView::target(Station::Target{false, {Hostile, "LOT7,U12"}}),
              "SN=\\x1B]0;pwned\\x07 it's \"A,B\" 100%, SN=LOT7,U12");
    watch.accepting = false;
    EXPECT_EQ(WatchView::heading(watch, 360.0),
              "Units ok 2, failed 1, 30.0 an hour, skipped 1; stopping: no new units");
    EXPECT_EQ(WatchView::totals(watch, 360.0),
              "Units: 2 ok, 1 failed, 1 skipped in 360 s (30.0 an hour).");
}

} // namespace
