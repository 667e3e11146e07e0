#include "app/session_environment.h"

#include "os/interrupt.h"
#include "os/os.h"
#include "protocol/reply_reader.h"
#include "serial/serial_port.h"
#include "session/session_state.h"

namespace SessionWiring {

namespace {

#ifdef UARTFLASH_POLL_REPLIES
constexpr uint32_t PollLookMs = 5;
#endif

bool writeText(const char* text) {
    return SerialPort::write("%s", text);
}

void stopReader() {
    ReplyReader::stop();
}

void waitOrSleep(uint32_t ms) {
    Os::EventHandle event = SessionSlots::replyEvent();
    if (event != nullptr) {
        Os::waitEvent(event, ms);
    } else {
        Os::sleepMs(ms);
    }
}

// The session's wake event is set by a handler's raise, a lost port and a stop request, so a
// wait ends at once for any of them. The polling build (kept for the benchmark) looks every 5 ms.
void waitForWake(uint32_t ms) {
#ifdef UARTFLASH_POLL_REPLIES
    Os::sleepMs(ms < PollLookMs ? ms : PollLookMs);
#else
    waitOrSleep(ms);
#endif
}

Interruption interruption() {
    if (Os::interruptRequested()) {
        return Interruption::Aborted;
    }
    return SerialPort::isLost() ? Interruption::PortLost : Interruption::None;
}

// A pause ends early for the same events; the session sleeps on unless it must stop.
const SessionEnvironment environment{writeText,   stopReader,    waitForWake,
                                     waitOrSleep, Os::tickCount, interruption};

} // namespace

const SessionEnvironment& real() {
    return environment;
}

Os::EventHandle attachWake() {
    Os::EventHandle wake = Os::createEvent(Os::EventReset::Auto);
    SessionSlots::setReplyEvent(wake);
    SerialPort::setLossEvent(wake);
    Os::installInterruptHandler(wake);
    return wake;
}

void detachWake(Os::EventHandle wake) {
    Os::clearInterruptWake();
    SerialPort::setLossEvent(nullptr);
    SessionSlots::setReplyEvent(nullptr);
    if (wake != nullptr) {
        Os::closeEvent(wake);
    }
}

} // namespace SessionWiring
