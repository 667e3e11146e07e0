#include "station/port_list_run.h"

#include "station/port_list_state.h"
#include "station/station_page.h"
#include "station/station_snapshot.h"

#include "ledger/ledger_record.h"
#include "os/interrupt.h"
#include "os/process.h"
#include "report/json_report.h"
#include "report/update_arguments.h"
#include "serial/port_group.h"
#include "session/firmware_image.h"
#include "station/live_screen.h"
#include "station/port_list_logs.h"
#include "station/port_list_view.h"

#include <chrono>
#include <cstdio>

namespace PortLists {

namespace {

using Clock = std::chrono::steady_clock;

// A child asked to stop ends at its next step; one that has not ended by then is ended.
constexpr uint32_t StopGraceMs = 10000;
constexpr uint32_t PlainWaitMs = 1000;

struct Parent {
    Invocation invocation;     // told the image's origin once it was checked
    std::FILE* human = stdout; // texts for people; standard error under --json
    std::FILE* json = nullptr; // events, under --json
    LiveScreen::Screen screen; // the live view, on human
    Clock::time_point began = Clock::now();
    std::vector<PortRun> runs;
    std::vector<Os::ChildHandle> children;
    std::vector<int> openStreams;             // per child: its pipes that have not ended
    std::vector<PortListLogs::PortLogs> logs; // empty without --log-dir
    StationSnapshot::Recent recent;           // for the page: the last units that ended
};

double secondsSince(Clock::time_point then) {
    return std::chrono::duration<double>(Clock::now() - then).count();
}

void note(Parent& parent, const PortRun& run, const std::string& text) {
    if (!parent.screen.live && !text.empty()) {
        std::fprintf(parent.human, "%s: %s\n", run.name.c_str(), text.c_str());
        std::fflush(parent.human);
    }
}

// A log that failed is told at once, or after the live view, which a line in between would break.
void tellLogFailures(Parent& parent) {
    if (parent.screen.live) {
        return;
    }
    for (const std::string& warning : PortListLogs::untoldWarnings(parent.logs)) {
        std::fprintf(stderr, "%s\n", warning.c_str());
    }
}

void say(Parent& parent, const char* text) {
    if (!parent.screen.live) {
        std::fprintf(parent.human, "%s\n", text);
        std::fflush(parent.human);
    }
}

void draw(Parent& parent) {
    if (!parent.screen.live) {
        return;
    }
    const int columns = LiveScreen::columns(parent.screen);
    const size_t width = PortListView::nameWidth(parent.runs);
    std::vector<std::string> lines;
    for (const PortRun& run : parent.runs) {
        lines.push_back(PortListView::liveLine(run, width, columns));
    }
    LiveScreen::draw(parent.screen, lines);
}

// One whole line of a child: kept in its log as it came, passed on with its port, told.
void takeLine(Parent& parent, size_t index, const std::string& line) {
    PortRun& run = parent.runs[index];
    if (!parent.logs.empty()) {
        PortListLogs::write(parent.logs[index].events, line + "\n");
    }
    const Json event = Json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object() || !event.contains("event")) {
        return;
    }
    StationPage::emit(parent.json, ChildUpdate::eventWithPort(event, run.name));
    note(parent, run, ChildUpdate::applyEvent(run, event));
    parent.screen.dirty = true;
}

// The page's snapshot of the run: the ports, the counts and the last units.
void showPage(Parent& parent, bool final = false) {
    if (final || StationPage::due()) {
        const StationSnapshot::Image image{parent.invocation.file, FirmwareImage::origin().sha256};
        StationPage::show(StationSnapshot::ofPortList(parent.runs, parent.recent, image,
                                                      secondsSince(parent.began)),
                          final);
    }
}

void takeOutput(Parent& parent, size_t index, Os::ChildStream stream, std::string_view bytes) {
    if (stream == Os::ChildStream::Errors) {
        PortListLogs::write(parent.logs[index].texts, bytes); // the port's texts, kept as they came
        return;
    }
    for (const std::string& line : ChildUpdate::takeLines(parent.runs[index].pending, bytes)) {
        takeLine(parent, index, line);
    }
}

void finishPort(Parent& parent, size_t index) {
    PortRun& run = parent.runs[index];
    if (!run.pending.empty()) {
        takeLine(parent, index, run.pending); // a last line without its line end
        run.pending.clear();
    }
    ChildUpdate::endRun(run, Os::finishChild(parent.children[index]));
    parent.children[index] = nullptr;
    if (!run.haveResult) {
        note(parent, run,
             "ended without a result (exit status " + std::to_string(run.exitStatus) + ")");
        ChildUpdate::recordUnwritten(parent.invocation, run);
    }
    StationSnapshot::remember(parent.recent, run, {});
    parent.screen.dirty = true;
}

// Starts every child at once; a stop request before the last one leaves the rest unstarted.
void startChildren(Parent& parent, Os::SharedInput image) {
    const Invocation& invocation = parent.invocation;
    const std::string program = ChildUpdate::childProgram(invocation);
    parent.children.assign(parent.runs.size(), nullptr);
    const Os::ChildStreams streams{image, !parent.logs.empty()};
    parent.openStreams.assign(parent.runs.size(), streams.keepErrors ? 2 : 1);
    for (size_t i = 0; i < parent.runs.size() && !Os::interruptRequested(); ++i) {
        PortRun& run = parent.runs[i];
        std::string problem;
        parent.children[i] =
            Os::startChild(program, ChildUpdate::childArguments(invocation, run), streams, problem);
        run.started = parent.children[i] != nullptr;
        if (!run.started) {
            note(parent, run, "not started: " + problem);
        }
    }
    for (PortRun& run : parent.runs) {
        if (!run.started) {
            ChildUpdate::endRun(run, 2);
        }
    }
}

size_t runningCount(const Parent& parent) {
    size_t running = 0;
    for (Os::ChildHandle child : parent.children) {
        running += child != nullptr ? 1 : 0;
    }
    return running;
}

// Reads the children until every one has ended. Returns true when a stop request came while
// any of them ran.
bool watchChildren(Parent& parent, Os::EventHandle wake) {
    bool stopped = false;
    Clock::time_point stopSent;
    bool killed = false;
    while (runningCount(parent) > 0) {
        if (Os::interruptRequested() && !stopped) {
            stopped = true;
            stopSent = Clock::now();
            for (Os::ChildHandle child : parent.children) {
                if (child != nullptr && !Os::stopChild(child)) {
                    Os::killChild(child); // a stop that cannot be delivered ends it at once
                }
            }
            say(parent, "Stop requested: every port stops at its next step.");
        }
        if (stopped && !killed && secondsSince(stopSent) * 1000 >= StopGraceMs) {
            killed = true;
            for (Os::ChildHandle child : parent.children) {
                Os::killChild(child);
            }
        }
        std::vector<size_t> ended;
        const uint32_t timeoutMs =
            StationPage::waitLimit(parent.screen.live ? LiveScreen::RedrawMs : PlainWaitMs);
        Os::readChildren(parent.children, wake, timeoutMs,
                         [&](size_t index, Os::ChildStream stream, std::string_view bytes) {
                             if (!bytes.empty()) {
                                 takeOutput(parent, index, stream, bytes);
                             } else if (--parent.openStreams[index] == 0) {
                                 ended.push_back(index);
                             }
                         });
        for (size_t index : ended) {
            finishPort(parent, index);
        }
        tellLogFailures(parent);
        if (LiveScreen::due(parent.screen)) {
            draw(parent);
        }
        showPage(parent);
    }
    return stopped || Os::interruptRequested();
}

void printSummary(Parent& parent, ExitStatus status) {
    std::FILE* out = parent.human;
    std::fprintf(out, "\n%s", PortListView::summaryTable(parent.runs).c_str());
    std::string failed;
    size_t failures = 0;
    for (const PortRun& run : parent.runs) {
        if (!ChildUpdate::succeeded(run)) {
            failed += (failures++ == 0 ? "" : " ") + run.name;
        }
    }
    if (failures == 0) {
        std::fprintf(out, "\nEvery port updated (%zu).\n", parent.runs.size());
    } else {
        std::fprintf(out, "\n%zu of %zu ports did not update: %s\nRetry just those with:\n  %s\n",
                     failures, parent.runs.size(), failed.c_str(),
                     retryCommand(parent.invocation, parent.runs).c_str());
        if (FirmwareImage::cameThroughPipe()) {
            std::fprintf(out,
                         "  (%s came through a pipe, which cannot be read twice: give the "
                         "retry a file, or the pipe again)\n",
                         parent.invocation.file.c_str());
        }
    }
    for (const PortRun& run : parent.runs) {
        if (!run.ledger.empty()) {
            std::fprintf(out, "Not in the ledger: %s (%s); the run counts as failed.\n",
                         run.name.c_str(), run.ledger.c_str());
        }
    }
    for (const auto& [path, reason] : PortListLogs::incomplete(parent.logs)) {
        std::fprintf(out, "Incomplete log: %s (%s); the run counts as failed.\n", path.c_str(),
                     reason.c_str());
    }
    if (status == ExitStatus::ExitAborted) {
        std::fprintf(out, "Stopped by request.\n");
    }
    std::fflush(out);
}

// The summary event, to --json's output and the page, which gets its last snapshot and the time
// to take them before it stops.
ExitStatus finish(Parent& parent, ExitStatus status, const std::string& reason) {
    Json summary =
        summaryEvent(parent.invocation, parent.runs, status, reason, secondsSince(parent.began));
    summary["image_from_pipe"] = FirmwareImage::cameThroughPipe();
    Json incomplete = Json::array();
    for (const auto& [path, problem] : PortListLogs::incomplete(parent.logs)) {
        incomplete.push_back({{"file", path}, {"error", problem}});
    }
    summary["logs_incomplete"] = incomplete;
    StationPage::emit(parent.json, summary);
    showPage(parent, true);
    StationPage::close();
    if (parent.json != nullptr) {
        std::fclose(parent.json);
    }
    return status;
}

// The argument checks of a single update, then the image, before any port is listed.
bool checkArguments(Parent& parent, std::string& reason) {
    const Invocation& invocation = parent.invocation;
    UpdateRequest request;
    EndReason refusal = EndReason::Done;
    if (checkUpdateArguments(invocation.product.c_str(), invocation.device.c_str(),
                             invocation.file.c_str(), request, refusal)) {
        return true;
    }
    reason = refusal == EndReason::Usage ? "usage" : "file_refused";
    return false;
}

bool resolvePorts(Parent& parent) {
    const PortGroup group = PortDiscovery::resolveGroup(parent.invocation.portArgument.c_str());
    if (!group.problem.empty()) {
        std::fprintf(parent.human, "Error: %s\n", group.problem.c_str());
        return false;
    }
    for (const GroupPort& port : group.ports) {
        parent.runs.push_back({});
        parent.runs.back().entry = port.entry;
        parent.runs.back().name = port.name;
        parent.runs.back().records = FirmwareImage::report().summary.sentLines;
    }
    return true;
}

bool openLogs(Parent& parent) {
    if (parent.invocation.logDir.empty()) {
        return true;
    }
    std::vector<std::string> names;
    for (const PortRun& run : parent.runs) {
        names.push_back(run.name);
    }
    std::string problem;
    if (!PortListLogs::open(parent.invocation.logDir, names, parent.logs, problem)) {
        std::fprintf(parent.human, "Error: %s\n", problem.c_str());
        return false;
    }
    return true;
}

// Starts the children, watches them to their ends and sums up; returns the exit status.
ExitStatus runChildren(Parent& parent, Os::SharedInput image) {
    LiveScreen::begin(parent.screen, parent.human);
    std::fprintf(parent.human, "Updating %zu port%s with %s (%u records)\n", parent.runs.size(),
                 parent.runs.size() == 1 ? "" : "s", parent.invocation.file.c_str(),
                 FirmwareImage::report().summary.sentLines);
    std::fflush(parent.human);
    // From here on a stop request is passed on to the children instead of ending this process.
    Os::EventHandle wake = Os::createEvent(Os::EventReset::Auto);
    Os::installInterruptHandler(wake);
    startChildren(parent, image);
    Os::closeSharedInput(image); // the children hold their own handles on it
    draw(parent);
    const bool stopped = watchChildren(parent, wake);
    Os::clearInterruptWake();
    Os::closeEvent(wake);
    draw(parent);
    PortListLogs::close(parent.logs);
    parent.screen.live = false;
    tellLogFailures(parent);
    ExitStatus status = overallStatus(parent.runs, stopped);
    const bool logsWhole = PortListLogs::incomplete(parent.logs).empty();
    // A station must never believe a record that was not written.
    if (status == ExitStatus::ExitDone && !logsWhole) {
        status = ExitStatus::ExitSessionFailed;
    }
    printSummary(parent, status);
    return finish(parent, status,
                  status == ExitStatus::ExitSessionFailed && !logsWhole
                      ? "log_incomplete"
                      : ChildUpdate::summaryReason(status));
}

} // namespace

ExitStatus run(const Invocation& invocation) {
    Parent parent{invocation, stdout, nullptr, {}, Clock::now(), {}, {}, {}, {}, {}};
    if (invocation.json) {
        parent.json = JsonReport::takeOutput(invocation.closedStreams);
        if (parent.json == nullptr) {
            return ExitStatus::ExitNotStarted;
        }
    }
    std::string reason;
    if (!checkArguments(parent, reason)) {
        return finish(parent, ExitStatus::ExitNotStarted, reason);
    }
    if (!LedgerRecord::openAsked()) {
        return finish(parent, ExitStatus::ExitNotStarted, reasonWord(EndReason::LedgerRefused));
    }
    if (!resolvePorts(parent)) {
        return finish(parent, ExitStatus::ExitNotStarted, "port_list");
    }
    if (!openLogs(parent)) {
        return finish(parent, ExitStatus::ExitNotStarted, "log_dir");
    }
    if (!StationPage::open(parent.invocation, parent.human)) {
        PortListLogs::close(parent.logs);
        return finish(parent, ExitStatus::ExitNotStarted, "dashboard");
    }
    Os::SharedInput image = ChildUpdate::shareImage(parent.invocation, parent.human);
    if (image == nullptr) {
        PortListLogs::close(parent.logs);
        return finish(parent, ExitStatus::ExitNotStarted, "not_started");
    }
    return runChildren(parent, image);
}

} // namespace PortLists
