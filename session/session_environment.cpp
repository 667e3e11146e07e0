// The world the program's session runs in: the serial port, the reply reader and real time.
// Kept apart from the state machine so its tests link without a port or a reader.
#include "os/os.h"
#include "protocol/reply_reader.h"
#include "serial/serial_port.h"
#include "session/session_state.h"
#include "session/upload_session.h"

namespace UploadSession {

namespace {

bool writeText(const char* text) {
    return SerialPort::write("%s", text);
}

void stopReader() {
    ReplyReader::stop();
}

// A handler's raise ends the wait at once; without an event (or in the polling build kept for
// benchmarks) the session sleeps the whole limit as it used to.
void waitForReply(uint32_t ms) {
#ifdef UARTFLASH_POLL_REPLIES
    Os::sleepMs(ms);
#else
    Os::EventHandle event = SessionSlots::replyEvent();
    if (event != nullptr) {
        Os::waitEvent(event, ms);
    } else {
        Os::sleepMs(ms);
    }
#endif
}

const SessionEnvironment real{writeText, stopReader, waitForReply, Os::sleepMs, Os::tickCount};

} // namespace

const SessionEnvironment& realEnvironment() {
    return real;
}

} // namespace UploadSession
