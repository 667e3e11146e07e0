#include "app/program_run.h"

#include "app/prepare_session.h"
#include "os/os.h"
#include "protocol/reply_reader.h"
#include "serial/serial_port.h"
#include "session/upload_session.h"

#include <cstdio>

namespace {

void fillSessionState(char** argv) {
    sessionState.productId = argv[3];
    sessionState.deviceKind = DeviceKind::ARM;
    sessionState.firmwarePath = argv[5];
    SessionSlots::setIdentity(FirmwareIdentity::Unknown);
}

// The reply reader runs only inside this function; the session stops it when it ends.
ExitStatus runSession() {
    Os::EventHandle replyEvent = Os::createEvent(Os::EventReset::Auto);
    SessionSlots::setReplyEvent(replyEvent);
    ExitStatus status = ExitStatus::ExitSessionFailed;
    if (ReplyReader::start(SerialPort::dataReadyEvent()) == 1) {
        sessionState.phase = UploadPhase::CheckComms;
        UploadSession::setEnvironment(UploadSession::realEnvironment());
        while (UploadSession::step() == StepResult::Continue) {
        }
        status = UploadSession::succeeded() ? ExitStatus::ExitDone : ExitStatus::ExitSessionFailed;
    }
    SessionSlots::setReplyEvent(nullptr);
    if (replyEvent != nullptr) {
        Os::closeEvent(replyEvent);
    }
    return status;
}

} // namespace

int runProgram(DeviceKind deviceKind, const char* portName, uint32_t baudRate, char** argv) {
    if (SerialPort::open(portName, baudRate) != OpenResult::Ok) {
        std::printf("\r\nCould not open %s\r\n", portName);
        std::printf("Ensure it is not being used by another application.\r\n");
        return static_cast<int>(ExitStatus::ExitNotStarted);
    }
    ExitStatus status = ExitStatus::ExitNotStarted;
    if (deviceKind == DeviceKind::ARM) {
        fillSessionState(argv);
        status = runSession();
    } else {
        std::printf("ERROR: Device not currently supported!");
    }
    if (SerialPort::isOpen()) {
        SerialPort::close();
    }
    return static_cast<int>(status);
}
