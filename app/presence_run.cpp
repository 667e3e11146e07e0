#include "app/presence_run.h"

#include "app/session_environment.h"
#include "os/interrupt.h"
#include "protocol/reply_reader.h"
#include "report/json_report.h"
#include "serial/serial_port.h"
#include "session/presence.h"
#include "session/reply_handler_table.h"
#include "station/child_update.h"

#include <atomic>
#include <chrono>

namespace PresenceRun {

namespace {

constexpr uint32_t LookEveryMs = 500;
constexpr uint32_t AnswerLimitMs = 400;
// A unit that gave no well-formed answer for this long has left.
constexpr uint32_t GoneAfterMs = 2000;
constexpr uint32_t ReopenEveryMs = 1000;

using Clock = std::chrono::steady_clock;

enum class State : uint8_t { Unknown, Present, Foreign, Absent, PortClosed };

struct Probe {
    const UpdateRequest& request;
    std::FILE* events;
    Clock::time_point began = Clock::now();
    State state = State::Unknown;
    uint32_t lastAnswerAt = 0; // tick count
};

// Another product named itself in a FWID answer; set on the reply reader's thread.
std::atomic<bool> otherProductNamed{false};
Reporter watchingReporter;

void onOtherProduct(const char* label) {
    otherProductNamed.store(true, std::memory_order_relaxed);
    ConsoleReporter.otherProduct(label);
}

const char* stateWord(State state) {
    switch (state) {
    case State::Present:
        return "present";
    case State::Foreign:
        return "foreign";
    case State::Absent:
        return "absent";
    case State::PortClosed:
        return "port_closed";
    case State::Unknown:
        break;
    }
    return "unknown";
}

void tell(Probe& probe, State state, const char* reason = nullptr) {
    if (state == probe.state) {
        return;
    }
    probe.state = state;
    const double t = std::chrono::duration<double>(Clock::now() - probe.began).count();
    ChildUpdate::Json event = {
        {"event", "presence"}, {"t", JsonReport::rounded(t)}, {"state", stateWord(state)}};
    if (reason != nullptr) {
        event["reason"] = reason;
    }
    ChildUpdate::writeEvent(probe.events, event);
}

// Sleeps until ms after since (tick count), or until a stop request.
void pauseFrom(uint32_t since, uint32_t ms) {
    const uint32_t waited = Os::tickCount() - since;
    if (waited < ms) {
        Os::waitEvent(Os::interruptEvent(), ms - waited);
    }
}

bool openPort(Probe& probe) {
    if (SerialPort::open(probe.request.portName, probe.request.baudRate) != OpenResult::Ok) {
        return false;
    }
    SessionSlots::clearAll();
    if (!ReplyReader::start(SerialPort::dataReadyEvent(), SessionDispatch)) {
        SerialPort::close();
        return false;
    }
    return true;
}

void closePort() {
    ReplyReader::stop();
    if (SerialPort::isOpen()) {
        SerialPort::close();
    }
}

// One look at an open port: the state it shows, and whether the port is still open.
bool lookOnce(Probe& probe) {
    otherProductNamed.store(false, std::memory_order_relaxed);
    const Presence::Sighting seen = Presence::look(AnswerLimitMs);
    if (seen == Presence::Sighting::Interrupted) {
        if (SerialPort::isLost()) {
            closePort();
            tell(probe, State::PortClosed, "lost");
        }
        return false;
    }
    const uint32_t now = Os::tickCount();
    if (seen != Presence::Sighting::Nothing) {
        probe.lastAnswerAt = now;
        const bool other = seen == Presence::Sighting::Product &&
                           otherProductNamed.load(std::memory_order_relaxed);
        tell(probe, other ? State::Foreign : State::Present);
    } else if (now - probe.lastAnswerAt >= GoneAfterMs) {
        tell(probe, State::Absent);
    }
    return true;
}

} // namespace

ExitStatus run(const UpdateRequest& request, std::FILE* events) {
    Probe probe{request, events};
    watchingReporter = ConsoleReporter;
    watchingReporter.otherProduct = onOtherProduct;
    Report::use(&watchingReporter);
    Os::EventHandle wake = SessionWiring::attachWake();
    UploadSession::setEnvironment(SessionWiring::real());
    UploadSession::begin(request);
    probe.lastAnswerAt = Os::tickCount();
    while (!Os::interruptRequested()) {
        const uint32_t lookBegan = Os::tickCount();
        if (!SerialPort::isOpen() && !openPort(probe)) {
            tell(probe, State::PortClosed, "not_opened");
            pauseFrom(lookBegan, ReopenEveryMs);
            continue;
        }
        if (lookOnce(probe)) {
            pauseFrom(lookBegan, LookEveryMs);
        }
    }
    closePort();
    SessionWiring::detachWake(wake);
    Report::use(nullptr);
    return ExitStatus::ExitAborted;
}

} // namespace PresenceRun
