#include "station/watch_run.h"

#include "ledger/ledger_record.h"
#include "os/console.h"
#include "os/interrupt.h"
#include "os/process.h"
#include "report/json_report.h"
#include "report/json_text.h"
#include "report/shown_text.h"
#include "report/update_arguments.h"
#include "session/firmware_image.h"
#include "station/fixture_probes.h"
#include "station/fixture_state.h"
#include "station/live_screen.h"
#include "station/station_page.h"
#include "station/station_snapshot.h"
#include "station/unit_codes.h"
#include "station/watch_state.h"
#include "station/watch_summary.h"
#include "station/watch_view.h"

#include <chrono>
#include <cstdio>

namespace Station {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t ListingMs = 250;
// After the second stop request a child ends at its next step; one that has not by then is ended.
constexpr uint32_t StopGraceMs = 10000;
constexpr uint32_t PlainWaitMs = 1000;

struct Parent {
    ChildUpdate::Invocation invocation; // told the image's origin once it was checked
    Watch watch;
    std::FILE* human = stdout; // texts for people; standard error under --json
    std::FILE* json = nullptr; // events, under --json
    LiveScreen::Screen screen; // the live view, on human
    Clock::time_point began = Clock::now();
    std::string program; // what the children run
    Os::SharedInput image = nullptr;
    Clock::time_point probesDue = Clock::now(); // the next start of probes that are not running
    StationSnapshot::Recent recent;             // for the page: the last units that ended
};

double secondsSince(Clock::time_point then) {
    return std::chrono::duration<double>(Clock::now() - then).count();
}

void say(Parent& parent, const std::string& text) {
    if (!parent.screen.live) {
        std::fprintf(parent.human, "%s\n", text.c_str());
        std::fflush(parent.human);
    }
}

void note(Parent& parent, const std::string& port, const std::string& text) {
    if (!text.empty()) {
        say(parent, port + ": " + text);
    }
}

void emit(Parent& parent, const char* name, Json fields) {
    Json event = {{"event", name}, {"t", JsonReport::rounded(secondsSince(parent.began))}};
    event.update(fields);
    StationPage::emit(parent.json, event);
}

// The page's snapshot of the watch: the ports, the counts and the last units.
void showPage(Parent& parent, bool final = false) {
    if (final || StationPage::due()) {
        const StationSnapshot::Image image{parent.invocation.file, FirmwareImage::origin().sha256};
        StationPage::show(StationSnapshot::ofWatch(parent.watch, parent.recent, image,
                                                   secondsSince(parent.began)),
                          final);
    }
}

const char* changeWord(Change change) {
    switch (change) {
    case Change::Plugged:
        return "plugged";
    case Change::Skipped:
        return "skipped";
    case Change::AwaitingCode:
        return "awaiting_code";
    case Change::Unplugged:
    case Change::Arrived:
    case Change::Foreign:
    case Change::Left:
        break;
    }
    return "unplugged";
}

// A change as its event: "unit" for bridges plugged in and out, "arrived" and "left" for a
// fixture's ports.
void emitChange(Parent& parent, const SlotChange& change) {
    const Slot* slot = findSlot(parent.watch, change.key);
    if (!parent.watch.target.fixedPorts) {
        emit(parent, "unit",
             {{"port", change.port},
              {"serial", JsonText::orNull(change.serial)},
              {"state", changeWord(change.change)}});
        return;
    }
    const bool left = change.change == Change::Left;
    // Only an arrival that is being updated has its unit's name yet.
    const bool named = change.change == Change::Arrived && slot != nullptr;
    Json fields = {{"port", change.port},
                   {"number", slot != nullptr ? slot->number : 0},
                   {"unit", named ? JsonText::orNull(slot->unit) : Json(nullptr)}};
    if (change.change == Change::Foreign) {
        fields["foreign"] = true;
    } else if (change.change == Change::AwaitingCode) {
        fields["awaiting_code"] = true;
    }
    emit(parent, left ? "left" : "arrived", fields);
}

void draw(Parent& parent) {
    if (!parent.screen.live) {
        return;
    }
    const int columns = LiveScreen::columns(parent.screen);
    const size_t width = WatchView::nameWidth(parent.watch);
    std::vector<std::string> lines{WatchView::heading(parent.watch, secondsSince(parent.began))};
    for (const Slot& slot : parent.watch.slots) {
        lines.push_back(WatchView::slotLine(parent.watch, slot, width, columns));
    }
    LiveScreen::draw(parent.screen, lines);
}

// One whole line of a child: passed on with its port, told.
void takeLine(Parent& parent, Slot& slot, const std::string& line) {
    const Json event = Json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object() || !event.contains("event")) {
        return;
    }
    StationPage::emit(parent.json, ChildUpdate::eventWithPort(event, slot.run.name));
    note(parent, slot.run.name, ChildUpdate::applyEvent(slot.run, event));
    parent.screen.dirty = true;
}

void finishUpdate(Parent& parent, const std::string& key) {
    Slot* slot = findSlot(parent.watch, key);
    if (slot == nullptr) {
        return;
    }
    if (!slot->run.pending.empty()) {
        takeLine(parent, *slot, slot->run.pending); // a last line without its line end
        slot->run.pending.clear();
    }
    const int status = Os::finishChild(slot->child);
    slot->child = nullptr;
    if (!slot->run.haveResult && slot->run.started) {
        note(parent, slot->run.name,
             "ended without a result (exit status " + std::to_string(status) + ")");
    }
    if (Unit* unit = endUpdate(parent.watch, key, status); unit != nullptr) {
        ChildUpdate::recordUnwritten(parent.invocation, unit->run);
        StationSnapshot::remember(parent.recent, unit->run, unitName(*unit));
    }
    say(parent, WatchView::heading(parent.watch, secondsSince(parent.began)));
    parent.screen.dirty = true;
}

void startUpdate(Parent& parent, const std::string& key) {
    Slot* slot = findSlot(parent.watch, key);
    slot->state = SlotState::Updating;
    std::string problem;
    slot->child =
        Os::startChild(parent.program, ChildUpdate::childArguments(parent.invocation, slot->run),
                       Os::ChildStreams{parent.image, false}, problem);
    slot->run.started = slot->child != nullptr;
    if (!slot->run.started) {
        note(parent, slot->port, "not started: " + problem);
        endUpdate(parent.watch, key, exitCode(ExitStatus::ExitNotStarted));
    }
}

// The slot's update is to start: at once where nothing holds the port, else once the fixture's
// probe has let go of it.
void startWhenFree(Parent& parent, Slot& slot) {
    if (slot.probe == nullptr) {
        startUpdate(parent, slot.key);
    } else if (!Os::stopChild(slot.probe)) {
        Os::killChild(slot.probe);
    }
}

void takeChanges(Parent& parent, const std::vector<SlotChange>& changes) {
    for (const SlotChange& change : changes) {
        note(parent, change.port, WatchView::changeLine(parent.watch, change));
        emitChange(parent, change);
        parent.screen.dirty = true;
    }
}

// One look at the ports: units that came get their updates, those that went are told.
void lookForUnits(Parent& parent) {
    PortList list;
    if (!PortDiscovery::enumeratePorts(list)) {
        return; // the next look may have one
    }
    const std::vector<SlotChange> changes =
        takeListing(parent.watch, sightings(list, parent.watch.target));
    takeChanges(parent, changes);
    for (const SlotChange& change : changes) {
        if (change.change == Change::Plugged) {
            startUpdate(parent, change.key);
        }
    }
}

// The fixture's ports that nothing holds get their probes (again, after an update or a probe
// that ended), no sooner than a second after the last start.
void startProbes(Parent& parent) {
    if (!parent.watch.accepting || Clock::now() < parent.probesDue) {
        return;
    }
    for (Slot& slot : parent.watch.slots) {
        if (slot.probe == nullptr && slot.child == nullptr && slot.state != SlotState::Starting) {
            std::string problem;
            slot.probe =
                FixtureProbes::start(parent.program, parent.invocation, slot.port, problem);
            if (slot.probe == nullptr) {
                note(parent, slot.port, "cannot watch the port: " + problem);
            }
        }
    }
    parent.probesDue = Clock::now() + std::chrono::milliseconds(FixtureProbes::RestartAfterMs);
}

void takeSights(Parent& parent, Slot& slot, std::string_view bytes) {
    for (const PortSight sight : FixtureProbes::sights(slot.probePending, bytes)) {
        if (sight == PortSight::Closed && slot.sight != PortSight::Closed) {
            note(parent, slot.port, "the port is not open; it is tried again every second");
        }
        std::vector<SlotChange> changes;
        const bool start = Fixture::takeSight(parent.watch, slot, sight, changes);
        takeChanges(parent, changes);
        if (start) {
            startWhenFree(parent, slot);
        }
        parent.screen.dirty = true;
    }
}

void finishProbe(Parent& parent, Slot& slot) {
    Os::finishChild(slot.probe);
    slot.probe = nullptr;
    slot.probePending.clear();
    if (slot.state == SlotState::Starting) {
        startUpdate(parent, slot.key);
    }
}

void takeScans(Parent& parent) {
    for (const std::string& line : Os::LineInput::take()) {
        const UnitCodes::Scan scan = UnitCodes::take(parent.watch, line);
        if (!scan.accepted && scan.refusal == nullptr) {
            continue; // an empty line
        }
        Slot* slot = findSlot(parent.watch, scan.slotKey);
        emit(parent, "scan",
             {{"code", scan.code},
              {"port", slot != nullptr ? Json(slot->port) : Json(nullptr)},
              {"accepted", scan.accepted},
              {"reason", scan.refusal != nullptr ? Json(scan.refusal) : Json(nullptr)}});
        const std::string code = ShownText::of(scan.code);
        if (!scan.accepted) {
            say(parent, "Scan refused: " + scan.problem);
        } else if (slot == nullptr) {
            say(parent, "Scanned " + code + ": for the next unit plugged in");
        } else if (scan.startNow) {
            say(parent, "Scanned " + code + ": updating the unit on " + slot->port);
            startWhenFree(parent, *slot);
        } else {
            say(parent, "Scanned " + code + ": " + slot->port + " waits for this unit");
        }
        parent.screen.dirty = true;
    }
}

size_t runningCount(const Parent& parent) {
    size_t running = 0;
    for (const Slot& slot : parent.watch.slots) {
        running += slot.child != nullptr || slot.state == SlotState::Starting ? 1 : 0;
    }
    return running;
}

size_t probeCount(const Parent& parent) {
    size_t probes = 0;
    for (const Slot& slot : parent.watch.slots) {
        probes += slot.probe != nullptr ? 1 : 0;
    }
    return probes;
}

// A child's output, or the end of it: an update's or a probe's.
struct Reading {
    std::string key;
    bool probe = false;
};

// Reads the children's output for up to timeoutMs and ends the updates and probes whose children
// ended.
void readChildren(Parent& parent, Os::EventHandle wake, uint32_t timeoutMs) {
    std::vector<Os::ChildHandle> children;
    std::vector<Reading> readings;
    for (const Slot& slot : parent.watch.slots) {
        if (slot.child != nullptr) {
            children.push_back(slot.child);
            readings.push_back({slot.key, false});
        }
        if (slot.probe != nullptr) {
            children.push_back(slot.probe);
            readings.push_back({slot.key, true});
        }
    }
    std::vector<Reading> ended;
    Os::readChildren(
        children, wake, timeoutMs, [&](size_t index, Os::ChildStream, std::string_view bytes) {
            // Each child has only its standard output: its end is the child's.
            const Reading& reading = readings[index];
            Slot* slot = findSlot(parent.watch, reading.key);
            if (bytes.empty()) {
                ended.push_back(reading);
            } else if (reading.probe) {
                takeSights(parent, *slot, bytes);
            } else {
                for (const std::string& line : ChildUpdate::takeLines(slot->run.pending, bytes)) {
                    takeLine(parent, *slot, line);
                }
            }
        });
    for (const Reading& reading : ended) {
        Slot* slot = findSlot(parent.watch, reading.key);
        if (reading.probe) {
            finishProbe(parent, *slot);
        } else {
            finishUpdate(parent, reading.key);
        }
    }
}

// The second stop request: every running update stops at its next step.
void abortUpdates(Parent& parent) {
    for (const Slot& slot : parent.watch.slots) {
        if (slot.child != nullptr && !Os::stopChild(slot.child)) {
            Os::killChild(slot.child); // a stop that cannot be delivered ends it at once
        }
    }
}

void killUpdates(Parent& parent) {
    for (const Slot& slot : parent.watch.slots) {
        Os::killChild(slot.child);
    }
}

// The first stop request: no new units, so the probes let go of their ports.
void stopTakingUnits(Parent& parent) {
    parent.watch.accepting = false;
    for (Slot& slot : parent.watch.slots) {
        if (slot.state == SlotState::Starting) {
            slot.state = SlotState::Waiting; // its update never began
        }
        if (slot.probe != nullptr && !Os::stopChild(slot.probe)) {
            Os::killChild(slot.probe);
        }
    }
    const size_t running = runningCount(parent);
    say(parent, running == 0 ? "Stop requested: no new units."
                             : "Stop requested: no new units; " + std::to_string(running) +
                                   " running update(s) go on to their end (Ctrl+C "
                                   "again aborts them).");
    parent.screen.dirty = true;
}

uint32_t untilMs(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<uint32_t>(std::max<int64_t>(left.count(), 0));
}

// Looks for units until the first stop request, then waits for the running updates. Returns
// true when a second request aborted them.
bool watchUnits(Parent& parent, Os::EventHandle wake) {
    bool aborted = false;
    bool killed = false;
    Clock::time_point abortSent;
    Clock::time_point nextListing = Clock::now();
    const bool fixture = parent.watch.target.fixedPorts;
    for (;;) {
        const uint32_t requests = Os::interruptCount();
        if (requests >= 1 && parent.watch.accepting) {
            stopTakingUnits(parent);
        }
        if (requests >= 2 && !aborted && runningCount(parent) > 0) {
            aborted = true;
            abortSent = Clock::now();
            abortUpdates(parent);
            say(parent, "Stop requested again: every running update stops at its next step.");
        }
        if (aborted && !killed && secondsSince(abortSent) * 1000 >= StopGraceMs) {
            killed = true;
            killUpdates(parent);
        }
        if (!parent.watch.accepting && runningCount(parent) == 0 && probeCount(parent) == 0) {
            return aborted;
        }
        uint32_t timeoutMs = parent.screen.live ? LiveScreen::RedrawMs : PlainWaitMs;
        if (parent.watch.accepting && parent.watch.scanCodes) {
            takeScans(parent);
        }
        if (parent.watch.accepting && fixture) {
            startProbes(parent);
            timeoutMs = std::min(timeoutMs, untilMs(parent.probesDue));
        } else if (parent.watch.accepting) {
            if (Clock::now() >= nextListing) {
                lookForUnits(parent);
                nextListing = Clock::now() + std::chrono::milliseconds(ListingMs);
            }
            timeoutMs = std::min(timeoutMs, untilMs(nextListing));
        }
        readChildren(parent, wake, StationPage::waitLimit(timeoutMs));
        if (LiveScreen::due(parent.screen)) {
            draw(parent);
        }
        showPage(parent);
    }
}

std::string plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

void printRetry(Parent& parent) {
    std::FILE* out = parent.human;
    std::fprintf(out, "Retry just those with:\n  %s\n",
                 ShownText::of(retryCommand(parent.invocation, parent.watch)).c_str());
    if (parent.watch.scanCodes) {
        std::fprintf(out, "  and scan their codes again.\n");
    }
    if (FirmwareImage::cameThroughPipe()) {
        std::fprintf(out,
                     "  (%s came through a pipe, which cannot be read twice: give the "
                     "retry a file, or the pipe again)\n",
                     parent.invocation.file.c_str());
    }
}

void printFailures(Parent& parent) {
    std::FILE* out = parent.human;
    const std::vector<std::string> names = failedUnits(parent.watch);
    const bool byCode = parent.watch.scanCodes;
    if (!names.empty()) {
        std::string shown;
        for (const std::string& name : names) {
            shown.append(shown.empty() ? "" : " ")
                .append(byCode ? "" : "SN=")
                .append(ShownText::of(name));
        }
        std::fprintf(out, "%s did not update: %s\n", plural(names.size(), "unit", "units").c_str(),
                     shown.c_str());
        printRetry(parent);
    }
    if (const size_t unnamed = failedUnnamed(parent.watch); unnamed > 0) {
        const bool fixture = parent.watch.target.fixedPorts;
        const char* them = unnamed == 1 ? "it" : "them";
        std::fprintf(out, "%s without %s did not update; the retry cannot name %s: %s %s %s.\n",
                     plural(unnamed, "unit", "units").c_str(),
                     fixture || byCode ? "a code" : "a serial number", them,
                     fixture ? "place" : "plug", them,
                     fixture ? "on the fixture of a watch again" : "in to a watch again");
    }
}

void printSummary(Parent& parent, ExitStatus status) {
    std::FILE* out = parent.human;
    const Watch& watch = parent.watch;
    if (watch.units.empty()) {
        std::fprintf(out, "\nNo unit was updated.\n");
    } else {
        std::fprintf(out, "\n%s", WatchView::summaryTable(watch).c_str());
    }
    std::fprintf(out, "\n%s\n", WatchView::totals(watch, secondsSince(parent.began)).c_str());
    if (status == ExitStatus::ExitDone && !watch.units.empty()) {
        std::fprintf(out, "Every unit updated.\n");
    }
    printFailures(parent);
    for (const Unit& unit : watch.units) {
        if (!unit.run.ledger.empty()) {
            std::fprintf(out, "Not in the ledger: %s (%s); the unit counts as failed.\n",
                         unit.run.name.c_str(), unit.run.ledger.c_str());
        }
    }
    if (status == ExitStatus::ExitAborted) {
        std::fprintf(out, "Stopped by request: the running updates were aborted.\n");
    }
    std::fflush(out);
}

// The summary event, to --json's output and the page, which gets its last snapshot and the time
// to take them before it stops.
ExitStatus finish(Parent& parent, ExitStatus status, const std::string& reason) {
    Json summary =
        summaryEvent(parent.invocation, parent.watch, status, reason, secondsSince(parent.began));
    summary["image_from_pipe"] = FirmwareImage::cameThroughPipe();
    StationPage::emit(parent.json, summary);
    showPage(parent, true);
    StationPage::close();
    if (parent.json != nullptr) {
        std::fclose(parent.json);
    }
    return status;
}

ExitStatus watchAndSum(Parent& parent) {
    LiveScreen::begin(parent.screen, parent.human);
    std::fprintf(parent.human, "Watching for %s to update with %s (%u records); Ctrl+C stops.\n",
                 WatchView::target(parent.watch.target).c_str(), parent.invocation.file.c_str(),
                 parent.watch.records);
    if (parent.watch.scanCodes) {
        std::fprintf(parent.human,
                     "Scan each unit's code (or type it and Enter) before or when it comes.\n");
    }
    std::fflush(parent.human);
    parent.program = ChildUpdate::childProgram(parent.invocation);
    // From here on a stop request is taken by the watch instead of ending this process.
    Os::EventHandle wake = Os::createEvent(Os::EventReset::Auto);
    Os::installInterruptHandler(wake);
    if (parent.watch.scanCodes) {
        Os::LineInput::start(wake);
    }
    const bool aborted = watchUnits(parent, wake);
    Os::LineInput::detach();
    Os::clearInterruptWake();
    Os::closeEvent(wake);
    Os::closeSharedInput(parent.image);
    draw(parent);
    parent.screen.live = false;
    const ExitStatus status = overallStatus(parent.watch, aborted);
    printSummary(parent, status);
    return finish(parent, status, ChildUpdate::summaryReason(status));
}

// The target, the arguments, the image and the ledger, before any port is touched.
bool prepare(Parent& parent, std::string& reason) {
    const ChildUpdate::Invocation& invocation = parent.invocation;
    std::string problem;
    if (!parseTarget(invocation.portArgument, parent.watch.target, problem)) {
        std::fprintf(parent.human, "Error: %s\n", problem.c_str());
        reason = "usage";
        return false;
    }
    UpdateRequest request;
    EndReason refusal = EndReason::Done;
    if (!checkUpdateArguments(invocation.product.c_str(), invocation.device.c_str(),
                              invocation.file.c_str(), request, refusal)) {
        reason = reasonWord(refusal);
        return false;
    }
    if (!LedgerRecord::openAsked()) {
        reason = reasonWord(EndReason::LedgerRefused);
        return false;
    }
    PortList list;
    if (!parent.watch.target.fixedPorts && !PortDiscovery::enumeratePorts(list)) {
        std::fprintf(parent.human, "Error: the serial ports cannot be listed\n");
        reason = "port_list";
        return false;
    }
    parent.image = ChildUpdate::shareImage(parent.invocation, parent.human);
    if (parent.image == nullptr) {
        reason = "not_started";
        return false;
    }
    if (!StationPage::open(parent.invocation, parent.human)) {
        Os::closeSharedInput(parent.image);
        reason = "dashboard";
        return false;
    }
    return true;
}

} // namespace

ExitStatus run(const ChildUpdate::Invocation& invocation, bool again) {
    Parent parent{invocation, {}, stdout, nullptr, {}, Clock::now(), {}, nullptr, Clock::now(), {}};
    if (invocation.json) {
        parent.json = JsonReport::takeOutput(invocation.closedStreams);
        if (parent.json == nullptr) {
            return ExitStatus::ExitNotStarted;
        }
    }
    std::string reason;
    if (!prepare(parent, reason)) {
        return finish(parent, ExitStatus::ExitNotStarted, reason);
    }
    parent.watch.again = again;
    parent.watch.scanCodes = invocation.scanCodes;
    parent.watch.productId = invocation.product;
    parent.watch.records = FirmwareImage::report().summary.sentLines;
    makeSlots(parent.watch);
    return watchAndSum(parent);
}

} // namespace Station
