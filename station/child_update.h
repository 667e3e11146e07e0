// One unit's update in a child process of the tool, as a port list and the watch run them: the
// child's command line, its output cut into lines, what its events told, how it ended, and its
// outcome in a summary. Platform-free; port_list_run.cpp and watch_run.cpp run the processes.
#pragma once

#include "os/process.h"
#include "session/report.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ChildUpdate {

using Json = nlohmann::ordered_json;

// The command line of the parent, as far as the children and the retry command need it.
struct Invocation {
    std::string program;              // argv[0] as typed
    std::vector<std::string> options; // as given, to repeat in the retry command
    // Given to every child before its own options.
    std::vector<std::string> childOptions;
    bool json = false;
    unsigned closedStreams = 0;      // Os::StandardStream bits closed at start
    std::string logDir;              // empty: no logs
    WaitMode wait = WaitMode::Fixed; // of every child's update
    bool scanCodes = false;          // --unit-id scan
    std::string imageOrigin;         // the checked file's facts, for the children (--image-origin)
    std::string dashboardHost;       // --dashboard: where the station's page is served
    uint16_t dashboardPort = 0;      // 0: no page
    std::string portArgument, baud, product, device, file;
};

// One port's run as its child's events told it.
struct PortRun {
    std::string entry;  // as the port argument named it ("SN=0001A2B3")
    std::string name;   // the port the child opens ("COM5")
    std::string unit;   // the unit's code, handed to the child when named
    bool named = false; // the watch names the unit (its code, or none on a fixture's port)
    std::string phase = "starting";
    uint32_t record = 0;
    uint32_t records = 0; // of the image, from "start"
    uint32_t percent = 0;
    uint32_t resends = 0;
    uint32_t plainTenth = 0; // progress already told in plain lines, in tenths
    bool started = false;    // its process was started
    bool ended = false;      // its process ended and was reaped
    bool haveResult = false;
    int exitStatus = -1;
    std::string reason;
    uint32_t recordsSent = 0;
    double seconds = 0;
    double transferSeconds = 0;
    Json wireRatio;      // null when not known
    std::string ledger;  // why its ledger line was not written; empty when it was or none asked
    std::string pending; // output after the last line end
};

// The arguments of the child that updates port: the image comes on its standard input, so it
// sends exactly the bytes the parent checked and never opens the user's path.
std::vector<std::string> childArguments(const Invocation& invocation, const PortRun& run);

// The whole lines of a child's output: bytes are added to pending, and the lines it completes
// are taken out of it without their line ends.
std::vector<std::string> takeLines(std::string& pending, std::string_view bytes);

// A child's event as the parent passes it on: "port" after "event" and "t", then its fields.
Json eventWithPort(const Json& event, const std::string& port);

// One event as one JSON Lines line, flushed, so that a reader sees it as it happens. Bytes that
// are not UTF-8 (a product's text) are replaced rather than ending the run.
void writeEvent(std::FILE* out, const Json& event);
// The same line without its line end.
std::string eventLine(const Json& event);

// Takes one parsed event into the run and returns its plain-line text (without the port), or an
// empty text when the event is not worth a line. Fields of a wrong type count as absent.
std::string applyEvent(PortRun& run, const Json& event);

// The process ended with this status; a run without a result event keeps the status and gets
// the reason "no_result" ("not_started" when its process never started), with the records its
// last progress event named as those sent.
void endRun(PortRun& run, int processStatus);

bool succeeded(const PortRun& run);
// "ok", "failed", "stopped" (Ctrl+C) or "not_started".
const char* resultWord(const PortRun& run);

// The summary's reason for the run's status: "done", "failed", "aborted" or "not_started".
const char* summaryReason(ExitStatus status);

// The command line of the parent with another port argument, each word quoted for the shell.
std::string commandFor(const Invocation& invocation, const std::string& portArgument);

// One update's outcome in a summary event: its port, then key with value (what names the unit),
// then the result, the counts and the times.
Json outcome(const PortRun& run, const char* key, const Json& value);

// With --ledger, writes the line of the run's update when its child ended without a result
// (killed by SIGKILL or the OOM killer, crashed), from what its events told; the run's ledger then
// says why that line is not in the ledger, or stays empty when it is.
void recordUnwritten(const Invocation& invocation, PortRun& run);

// The records made here, as every child reads them, with the checked file's facts put into the
// invocation for the children; nullptr, with the reason on human, when they cannot be handed over.
Os::SharedInput shareImage(Invocation& invocation, std::FILE* human);
// The program the children run: this one's own path, else the name it was started by.
std::string childProgram(const Invocation& invocation);

} // namespace ChildUpdate
