// What a port list makes of its children's events: the live view's state and plain lines, the
// summary's outcome, the retry command and the log names.
#include "scripted_ports.h"
#include "serial/port_group.h"
#include "shell_words.h"
#include "station/child_update.h"
#include "station/port_list_logs.h"
#include "station/port_list_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ChildUpdate::Json;

// Events in order; each row checks the plain line and the state the last event left.
TEST(PortListState, EventsMoveTheLiveViewAndGiveTheirPlainLines) {
    const struct {
        std::vector<const char*> events;
        std::string line; // of the last event
        std::string phase;
        uint32_t percent;
        uint32_t resends;
    } cases[] = {
        {{R"({"event":"start","records":42})"}, "", "starting", 0, 0},
        {{R"({"event":"port","name":"/dev/pts/3"})"}, "port /dev/pts/3 opened", "starting", 0, 0},
        {{R"({"event":"phase","name":"transfer"})"}, "phase transfer", "transfer", 0, 0},
        {{R"({"event":"device","product":"KORVA","mode":"application","version":"V2\u001b[2J"})"},
         "device KORVA, application, V2\\x1B[2J",
         "starting",
         0,
         0},
        // Progress is told in tenths: 11 % is the first, 15 % adds nothing, 20 % the next.
        {{R"({"event":"progress","record":5,"of":42,"percent":11})"},
         "record 5 of 42 (11%)",
         "starting",
         11,
         0},
        {{R"({"event":"progress","record":5,"of":42,"percent":11})",
          R"({"event":"progress","record":6,"of":42,"percent":15})"},
         "",
         "starting",
         15,
         0},
        {{R"({"event":"progress","record":1,"of":1,"percent":250})"},
         "record 1 of 1 (100%)",
         "starting",
         100,
         0},
        {{R"({"event":"resend","record":3,"reason":"BUSY"})",
          R"({"event":"resend","record":3,"reason":"FAIL"})"},
         "resend record 3 (FAIL)",
         "starting",
         0,
         2},
        {{R"({"event":"reply_report","command":"RECORD","status":"ERROR: x"})"},
         "reply to RECORD: ERROR: x",
         "starting",
         0,
         0},
        // Fields of the wrong type count as absent; unknown events tell nothing.
        {{R"({"event":"phase","name":7})"}, "phase ", "", 0, 0},
        {{R"({"event":"progress","record":"5","of":-1,"percent":"x"})"}, "", "starting", 0, 0},
        {{R"({"event":"surprise"})"}, "", "starting", 0, 0},
        {{R"([1,2])"}, "", "starting", 0, 0},
    };
    for (const auto& c : cases) {
        ChildUpdate::PortRun run;
        std::string line;
        for (const char* event : c.events) {
            line = ChildUpdate::applyEvent(run, Json::parse(event));
        }
        EXPECT_EQ(line, c.line) << c.events.back();
        EXPECT_EQ(run.phase, c.phase) << c.events.back();
        EXPECT_EQ(run.percent, c.percent) << c.events.back();
        EXPECT_EQ(run.resends, c.resends) << c.events.back();
    }
}

// The result event against the process's own end: the process status wins.
TEST(PortListState, OutcomesComeFromTheResultAndTheProcess) {
    const struct {
        const char* result; // nullptr: the child ended without one
        bool started;
        int processStatus;
        std::string line;
        std::string word;
        std::string reason;
    } cases[] = {
        {R"({"event":"result","exit_status":0,"reason":"done","records_sent":42,"seconds":5.04})",
         true, 0, "ok: 42 records in 5.0 s", "ok", "done"},
        {R"({"event":"result","exit_status":1,"reason":"record_refused","records_sent":7,"seconds":0.2})",
         true, 1, "failed (record_refused) after 7 records, 0.2 s", "failed", "record_refused"},
        {R"({"event":"result","exit_status":130,"reason":"aborted","records_sent":40})", true, 130,
         "stopped (aborted) after 40 records, 0.0 s", "stopped", "aborted"},
        {R"({"event":"result","exit_status":0,"reason":"done"})", true, 139,
         "ok: 0 records in 0.0 s", "failed", "done"},
        // The product was updated but its ledger line was not written: the run failed.
        {R"({"event":"result","exit_status":1,"reason":"done","records_sent":42,"seconds":5.04,)"
         R"("ledger":"cannot write to the ledger u.jsonl: No space left on device"})",
         true, 1,
         "failed (done) after 42 records, 5.0 s; not in the ledger: cannot write to the ledger "
         "u.jsonl: No space left on device",
         "failed", "done"},
        {nullptr, true, 1, "", "failed", "no_result"},
        {nullptr, false, -1, "", "not_started", "not_started"},
    };
    for (const auto& c : cases) {
        ChildUpdate::PortRun run;
        run.started = c.started;
        const std::string line =
            c.result != nullptr ? ChildUpdate::applyEvent(run, Json::parse(c.result)) : "";
        ChildUpdate::endRun(run, c.processStatus);
        EXPECT_EQ(line, c.line) << c.reason;
        EXPECT_STREQ(ChildUpdate::resultWord(run), c.word.c_str()) << c.reason;
        EXPECT_EQ(run.reason, c.reason);
        EXPECT_EQ(ChildUpdate::succeeded(run), c.word == "ok") << c.reason;
    }
}

// A port's run as the port list named it; its port is the entry unless named.
ChildUpdate::PortRun ended(const char* entry, int status, const char* name = nullptr) {
    ChildUpdate::PortRun run;
    run.entry = entry;
    run.name = name != nullptr ? name : entry;
    run.started = status != -1;
    ChildUpdate::endRun(run, status);
    return run;
}

TEST(PortListState, OverallStatusAndTheCommandThatRetriesTheFailedPorts) {
    ChildUpdate::Invocation invocation;
    invocation.program = "uartflash";
    invocation.options = {"--log-dir", "my logs"};
    invocation.baud = "115200";
    invocation.product = "KORVA";
    invocation.device = "ARM";
    invocation.file = "fw 2.srec";
    // A serial number with an escape sequence, BEL, both quotes, a comma, blanks and a percent
    // sign, typed with the escapes a list needs and its other bytes as they are; a comma's
    // escape typed in lower case. The retry writes both with the escapes they need.
    const char* const hostile = "\x1B]0;pwned\a it's \"A,B\" 100%";
    const char* const typedHostile = "SN=\x1B]0;pwned\a it's %22A%2CB%22 100%25";
#ifdef _WIN32
    const std::string logs = "\"my logs\"";
    const std::string tail = " 115200 KORVA ARM \"fw 2.srec\"";
    const std::string serials = "\"SN=LOT7%2CU12,SN=%1B]0;pwned%07 it's %22A%2CB%22 100%25\"";
#else
    const std::string logs = "'my logs'";
    const std::string tail = " 115200 KORVA ARM 'fw 2.srec'";
    const std::string serials = "'SN=LOT7%2CU12,SN=%1B]0;pwned%07 it'\\''s %22A%2CB%22 100%25'";
#endif
    const struct {
        std::vector<ChildUpdate::PortRun> runs;
        bool stopped;
        int status;
        std::string retry;
    } cases[] = {
        {{ended("COM5", 0), ended("COM7", 0)}, false, 0, ""},
        {{ended("COM5", 0), ended("COM7", 1)},
         false,
         1,
         "uartflash --log-dir " + logs + " COM7," + tail},
        {{ended("SN=0001", 1, "COM3"), ended("COM7", 2), ended("COM8", 0)},
         false,
         1,
         "uartflash --log-dir " + logs + " SN=0001,COM7" + tail},
        {{ended("COM5", 2), ended("COM7", -1)},
         false,
         2,
         "uartflash --log-dir " + logs + " COM5,COM7" + tail},
        {{ended("COM5", 130), ended("COM7", 0)},
         true,
         130,
         "uartflash --log-dir " + logs + " COM5," + tail},
        {{ended("SN=LOT7%2cU12", 1, "COM4"), ended(typedHostile, 2, "COM6"), ended("COM8", 0)},
         false,
         1,
         "uartflash --log-dir " + logs + " " + serials + tail},
    };
    using ScriptedPorts::Bridge;
    for (const auto& c : cases) {
        EXPECT_EQ(exitCode(PortLists::overallStatus(c.runs, c.stopped)), c.status) << c.retry;
        const std::string printed = PortLists::retryCommand(invocation, c.runs);
        EXPECT_EQ(printed, c.retry);
        EXPECT_EQ(
            PortLists::summaryEvent(invocation, c.runs, ExitStatus::ExitDone, "done", 1.0)["retry"],
            printed.empty() ? Json(nullptr) : Json(printed));
        if (printed.empty()) {
            continue;
        }
        // Pasted into the shell, the retry's port list names exactly the failed ports.
        std::string failed;
        for (const ChildUpdate::PortRun& run : c.runs) {
            failed += ChildUpdate::succeeded(run) ? "" : (failed.empty() ? "" : ",") + run.name;
        }
        ScriptedPorts::script = {
            true,
            {{"COM3", Bridge, "0001"}, {"COM4", Bridge, "LOT7,U12"}, {"COM6", Bridge, hostile}}};
        PortDiscovery::setSource(ScriptedPorts::scriptedSource);
        PortDiscovery::setNaming(PortNaming::ComNumber);
        const std::vector<std::string> words = ShellWords::of(printed);
        ASSERT_GE(words.size(), 5u) << c.retry;
        std::string names;
        for (const GroupPort& port :
             PortDiscovery::resolveGroup(words[words.size() - 5].c_str()).ports) {
            names += (names.empty() ? "" : ",") + port.name;
        }
        EXPECT_EQ(names, failed) << c.retry;
    }
}

// A child's output comes in pieces that cut lines anywhere.
TEST(PortListState, ChildOutputIsTakenInWholeLines) {
    const struct {
        std::vector<std::string> pieces;
        std::vector<std::string> lines;
        std::string pending;
    } cases[] = {
        {{"{\"a\":1}\n"}, {"{\"a\":1}"}, ""},
        {{"{\"a\"", ":1}\n{\"b", "\":2}\n{"}, {"{\"a\":1}", "{\"b\":2}"}, "{"},
        {{"\n\n", "x"}, {"", ""}, "x"},
        {{"no end"}, {}, "no end"},
    };
    for (const auto& c : cases) {
        std::string pending;
        std::vector<std::string> lines;
        for (const std::string& piece : c.pieces) {
            for (const std::string& line : ChildUpdate::takeLines(pending, piece)) {
                lines.push_back(line);
            }
        }
        EXPECT_EQ(lines, c.lines) << c.pieces.front();
        EXPECT_EQ(pending, c.pending) << c.pieces.front();
    }
}

TEST(PortListState, LogNamesAreFileSafeAndNeverShared) {
    const struct {
        std::string name;
        std::vector<std::string> taken;
        std::string safe;
    } cases[] = {
        {"/dev/ttyUSB0", {}, "dev_ttyUSB0"},
        {"COM5", {}, "COM5_"},
        {"com12", {}, "com12"},
        {"nul.txt", {}, "nul.txt_"},
        {"..hidden", {}, "hidden"},
        {"/", {}, "port"},
        {"a:b*c?", {}, "a_b_c_"},
        {"/dev/ttyUSB0", {"dev_ttyUSB0"}, "dev_ttyUSB0-2"},
        {"dev/ttyUSB0", {"dev_ttyUSB0", "dev_ttyUSB0-2"}, "dev_ttyUSB0-3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PortListLogs::fileSafeName(c.name, c.taken), c.safe) << c.name;
    }
}

} // namespace
