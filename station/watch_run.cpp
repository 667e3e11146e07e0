#include "station/watch_run.h"

#include "ledger/ledger_record.h"
#include "os/interrupt.h"
#include "os/process.h"
#include "report/json_report.h"
#include "report/shown_text.h"
#include "report/update_arguments.h"
#include "session/firmware_image.h"
#include "station/child_ledger.h"
#include "station/live_screen.h"
#include "station/watch_state.h"
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
    const ChildUpdate::Invocation& invocation;
    Watch watch;
    std::FILE* human = stdout; // texts for people; standard error under --json
    std::FILE* json = nullptr; // events, under --json
    LiveScreen::Screen screen; // the live view, on human
    Clock::time_point began = Clock::now();
    std::string program; // what the children run
    Os::SharedInput image = nullptr;
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

void emit(Parent& parent, const Json& event) {
    if (parent.json != nullptr) {
        ChildUpdate::writeEvent(parent.json, event);
    }
}

const char* changeWord(Change change) {
    switch (change) {
    case Change::Plugged:
        return "plugged";
    case Change::Skipped:
        return "skipped";
    case Change::Unplugged:
        break;
    }
    return "unplugged";
}

void draw(Parent& parent) {
    if (!parent.screen.live) {
        return;
    }
    const int columns = LiveScreen::columns(parent.screen);
    const size_t width = WatchView::nameWidth(parent.watch);
    std::vector<std::string> lines{WatchView::heading(parent.watch, secondsSince(parent.began))};
    for (const Slot& slot : parent.watch.slots) {
        lines.push_back(WatchView::slotLine(slot, width, columns));
    }
    LiveScreen::draw(parent.screen, lines);
}

// One whole line of a child: passed on with its port, told.
void takeLine(Parent& parent, Slot& slot, const std::string& line) {
    const Json event = Json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object() || !event.contains("event")) {
        return;
    }
    emit(parent, ChildUpdate::eventWithPort(event, slot.run.name));
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
        ChildLedger::recordUnwritten(parent.invocation, unit->run);
    }
    say(parent, WatchView::heading(parent.watch, secondsSince(parent.began)));
    parent.screen.dirty = true;
}

void startUpdate(Parent& parent, const std::string& key) {
    Slot* slot = findSlot(parent.watch, key);
    std::string problem;
    slot->child =
        Os::startChild(parent.program, ChildUpdate::childArguments(parent.invocation, slot->port),
                       Os::ChildStreams{parent.image, false}, problem);
    slot->run.started = slot->child != nullptr;
    slot->openStreams = 1;
    if (!slot->run.started) {
        note(parent, slot->port, "not started: " + problem);
        endUpdate(parent.watch, key, exitCode(ExitStatus::ExitNotStarted));
    }
}

// One look at the ports: units that came get their updates, those that went are told.
void lookForUnits(Parent& parent) {
    PortList list;
    if (!PortDiscovery::enumeratePorts(list)) {
        return; // the next look may have one
    }
    for (const SlotChange& change :
         takeListing(parent.watch, sightings(list, parent.watch.target))) {
        note(parent, change.port, WatchView::changeLine(change));
        emit(parent, {{"event", "unit"},
                      {"t", JsonReport::rounded(secondsSince(parent.began))},
                      {"port", change.port},
                      {"serial", change.serial.empty() ? Json(nullptr) : Json(change.serial)},
                      {"state", changeWord(change.change)}});
        if (change.change == Change::Plugged) {
            startUpdate(parent, change.key);
        }
        parent.screen.dirty = true;
    }
}

size_t runningCount(const Parent& parent) {
    size_t running = 0;
    for (const Slot& slot : parent.watch.slots) {
        running += slot.child != nullptr ? 1 : 0;
    }
    return running;
}

// Reads the running children's output for up to timeoutMs and ends the updates whose children
// ended.
void readUpdates(Parent& parent, Os::EventHandle wake, uint32_t timeoutMs) {
    std::vector<Os::ChildHandle> children;
    std::vector<std::string> keys;
    for (const Slot& slot : parent.watch.slots) {
        if (slot.child != nullptr) {
            children.push_back(slot.child);
            keys.push_back(slot.key);
        }
    }
    std::vector<std::string> ended;
    Os::readChildren(
        children, wake, timeoutMs, [&](size_t index, Os::ChildStream, std::string_view bytes) {
            Slot* slot = findSlot(parent.watch, keys[index]);
            if (!bytes.empty()) {
                for (const std::string& line : ChildUpdate::takeLines(slot->run.pending, bytes)) {
                    takeLine(parent, *slot, line);
                }
            } else if (--slot->openStreams == 0) {
                ended.push_back(keys[index]);
            }
        });
    for (const std::string& key : ended) {
        finishUpdate(parent, key);
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

// Looks for units until the first stop request, then waits for the running updates. Returns
// true when a second request aborted them.
bool watchUnits(Parent& parent, Os::EventHandle wake) {
    bool aborted = false;
    bool killed = false;
    Clock::time_point abortSent;
    Clock::time_point nextListing = Clock::now();
    for (;;) {
        const uint32_t requests = Os::interruptCount();
        if (requests >= 1 && parent.watch.accepting) {
            parent.watch.accepting = false;
            const size_t running = runningCount(parent);
            say(parent, running == 0 ? "Stop requested: no new units."
                                     : "Stop requested: no new units; " + std::to_string(running) +
                                           " running update(s) go on to their end (Ctrl+C "
                                           "again aborts them).");
            parent.screen.dirty = true;
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
        if (!parent.watch.accepting && runningCount(parent) == 0) {
            return aborted;
        }
        uint32_t timeoutMs = parent.screen.live ? LiveScreen::RedrawMs : PlainWaitMs;
        if (parent.watch.accepting) {
            if (Clock::now() >= nextListing) {
                lookForUnits(parent);
                nextListing = Clock::now() + std::chrono::milliseconds(ListingMs);
            }
            const auto untilListing =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextListing - Clock::now());
            timeoutMs = std::min<uint32_t>(
                timeoutMs, static_cast<uint32_t>(std::max<int64_t>(untilListing.count(), 0)));
        }
        readUpdates(parent, wake, timeoutMs);
        if (LiveScreen::due(parent.screen)) {
            draw(parent);
        }
    }
}

std::string plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

void printFailures(Parent& parent) {
    std::FILE* out = parent.human;
    const std::vector<std::string> serials = failedSerials(parent.watch);
    if (!serials.empty()) {
        std::string names;
        for (const std::string& serial : serials) {
            names += (names.empty() ? "SN=" : " SN=") + ShownText::of(serial);
        }
        std::fprintf(out, "%s did not update: %s\nRetry just those with:\n  %s\n",
                     plural(serials.size(), "unit", "units").c_str(), names.c_str(),
                     ShownText::of(retryCommand(parent.invocation, parent.watch)).c_str());
        if (FirmwareImage::cameThroughPipe()) {
            std::fprintf(out,
                         "  (%s came through a pipe, which cannot be read twice: give the "
                         "retry a file, or the pipe again)\n",
                         parent.invocation.file.c_str());
        }
    }
    if (const size_t unnamed = failedWithoutSerial(parent.watch); unnamed > 0) {
        std::fprintf(out,
                     "%s without a serial number did not update; the retry cannot name %s: plug "
                     "%s in to a watch again.\n",
                     plural(unnamed, "unit", "units").c_str(), unnamed == 1 ? "it" : "them",
                     unnamed == 1 ? "it" : "them");
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

ExitStatus finish(Parent& parent, ExitStatus status, const std::string& reason) {
    if (parent.json != nullptr) {
        Json summary = summaryEvent(parent.invocation, parent.watch, status, reason,
                                    secondsSince(parent.began));
        summary["image_from_pipe"] = FirmwareImage::cameThroughPipe();
        ChildUpdate::writeEvent(parent.json, summary);
        std::fclose(parent.json);
    }
    return status;
}

ExitStatus watchAndSum(Parent& parent) {
    LiveScreen::begin(parent.screen, parent.human);
    std::fprintf(parent.human, "Watching for %s to update with %s (%u records); Ctrl+C stops.\n",
                 WatchView::target(parent.watch.target).c_str(), parent.invocation.file.c_str(),
                 parent.watch.records);
    std::fflush(parent.human);
    parent.program = Os::executablePath();
    if (parent.program.empty()) {
        parent.program = parent.invocation.program;
    }
    // From here on a stop request is taken by the watch instead of ending this process.
    Os::EventHandle wake = Os::createEvent(Os::EventReset::Auto);
    Os::installInterruptHandler(wake);
    const bool aborted = watchUnits(parent, wake);
    Os::clearInterruptWake();
    Os::closeEvent(wake);
    Os::closeSharedInput(parent.image);
    draw(parent);
    parent.screen.live = false;
    const ExitStatus status = overallStatus(parent.watch, aborted);
    printSummary(parent, status);
    return finish(parent, status, ChildUpdate::summaryReason(status));
}

} // namespace

ExitStatus run(const ChildUpdate::Invocation& invocation, bool again) {
    Parent parent{invocation, {}, stdout, nullptr, {}, Clock::now(), {}, nullptr};
    if (invocation.json) {
        parent.json = JsonReport::takeOutput(invocation.closedStreams);
        if (parent.json == nullptr) {
            return ExitStatus::ExitNotStarted;
        }
    }
    std::string problem;
    if (!parseTarget(invocation.portArgument, parent.watch.target, problem)) {
        std::fprintf(parent.human, "Error: %s\n", problem.c_str());
        return finish(parent, ExitStatus::ExitNotStarted, "usage");
    }
    UpdateRequest request;
    EndReason refusal = EndReason::Done;
    if (!checkUpdateArguments(invocation.product.c_str(), invocation.device.c_str(),
                              invocation.file.c_str(), request, refusal)) {
        return finish(parent, ExitStatus::ExitNotStarted, reasonWord(refusal));
    }
    if (!LedgerRecord::openAsked()) {
        return finish(parent, ExitStatus::ExitNotStarted, reasonWord(EndReason::LedgerRefused));
    }
    PortList list;
    if (!PortDiscovery::enumeratePorts(list)) {
        std::fprintf(parent.human, "Error: the serial ports cannot be listed\n");
        return finish(parent, ExitStatus::ExitNotStarted, "port_list");
    }
    parent.image = Os::makeSharedInput(FirmwareImage::fileBytes(), problem);
    if (parent.image == nullptr) {
        std::fprintf(parent.human, "Error: the image cannot be handed to the updates: %s\n",
                     problem.c_str());
        return finish(parent, ExitStatus::ExitNotStarted, "not_started");
    }
    parent.watch.again = again;
    parent.watch.records = FirmwareImage::report().summary.sentLines;
    return watchAndSum(parent);
}

} // namespace Station
