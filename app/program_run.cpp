#include "app/program_run.h"

#include "app/prepare_session.h"
#include "app/session_environment.h"
#include "os/interrupt.h"
#include "os/os.h"
#include "protocol/reply_reader.h"
#include "report/entry_report.h"
#include "serial/network_address.h"
#include "serial/serial_port.h"
#include "session/reply_handler_table.h"
#include "session/report.h"
#include "session/upload_session.h"

#include <cstdio>

namespace {

ExitStatus statusOf(SessionOutcome outcome) {
    switch (outcome) {
    case SessionOutcome::Succeeded:
        return ExitStatus::ExitDone;
    case SessionOutcome::Aborted:
        return ExitStatus::ExitAborted;
    case SessionOutcome::Running:
    case SessionOutcome::Failed:
        break;
    }
    return ExitStatus::ExitSessionFailed;
}

// The reply reader runs only inside this function; the session stops it when it ends.
ExitStatus runSession(const UpdateRequest& request) {
    UploadSession::begin(request);
    SessionSlots::clearAll(); // before the reader starts: every answer from now on counts
    if (!ReplyReader::start(SerialPort::dataReadyEvent(), SessionDispatch)) {
        EntryReport::current().stopped(EndReason::PortNotOpened);
        return ExitStatus::ExitNotStarted;
    }
    UploadSession::setEnvironment(SessionWiring::real());
    while (UploadSession::step() == StepResult::Continue) {
    }
    return statusOf(UploadSession::outcome());
}

// The port was not opened: because a stop request ended the opening (status 130, as for a stop
// during the update; nothing reached the product), or for a reason of its own (status 2).
ExitStatus notOpened(const char* portName) {
    if (SerialPort::refusal() == PortRefusal::Stopped || Os::interruptRequested()) {
        EntryReport::current().portOpenAborted(portName);
        EntryReport::current().stopped(EndReason::Aborted);
        return ExitStatus::ExitAborted;
    }
    EntryReport::current().portNotOpened(portName);
    if (SerialPort::heldBy()[0] != '\0') {
        EntryReport::current().portHeld(SerialPort::heldBy());
    }
    if (SerialPort::refusal() != PortRefusal::None) {
        EntryReport::current().portRefused(NetworkPort::serverOf(portName), SerialPort::refusal());
    }
    EntryReport::current().stopped(EndReason::PortNotOpened);
    return ExitStatus::ExitNotStarted;
}

} // namespace

ExitStatus runProgram(const UpdateRequest& request) {
    const char* portName = request.portName;
    // From here on a stop request ends the update at its next step and the port is released.
    Os::EventHandle wake = SessionWiring::attachWake();
    if (SerialPort::open(portName, request.baudRate) != OpenResult::Ok) {
        const ExitStatus status = notOpened(portName);
        SessionWiring::detachWake(wake);
        return status;
    }
    EntryReport::current().portOpened(portName);
    ExitStatus status = ExitStatus::ExitNotStarted;
    if (request.device == DeviceKind::ARM) {
        status = runSession(request);
    } else {
        EntryReport::current().deviceNotSupported();
        EntryReport::current().stopped(EndReason::NotSupported);
    }
    if (SerialPort::isOpen()) {
        SerialPort::close();
    }
    SessionWiring::detachWake(wake);
    return status;
}
