#include "session/upload_session.h"

#include "protocol/wire_format.h"
#include "session/firmware_image.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>

namespace UploadSession {

namespace {

constexpr int ReplyLooks = 2000;
constexpr uint32_t ReplyLookWaitMs = 5;
constexpr int PingAttempts = 3;
constexpr int64_t FirstBootLoaderPauseMs = 15000;
constexpr int64_t BootLoaderPauseMs = 2000;
constexpr int64_t FirstApplicationPauseMs = 5000;
constexpr int64_t ApplicationPauseMs = 1000;
constexpr uint8_t WaitPassLimit = 30;
constexpr int64_t ResendPauseMs = 1000;
constexpr uint8_t TransmissionLimit = 3;
constexpr size_t ShortestRecord = 10;

// The tail carries a record or the UPDATE argument, then "\n" and the NUL.
constexpr size_t TailCapacity =
    (RecordTextSize > UpdateArgsSize ? RecordTextSize : UpdateArgsSize) + 1;

const char* const ReplyTimeoutText = "\r\n****Reply Timeout****\r\n";
const char* const DeviceNotRespondingText = "ERROR: Device not responding!\r\n";
const char* const WaitingText = "\r\n Waiting for device to initialise...\r\n\n";
const char* const StartingUploadText = "Starting Upload\r\n";
const char* const OutOfStepText =
    "ERROR: Record replies out of step, the image may be incomplete!\r\n";

SessionEnvironment environment{};
bool updateDone = false;

void sendCommand(CommandIndex command, const char* argument) {
    char head[WireFormat::HeadCapacity];
    char tail[TailCapacity];
    SessionSlots::clear(command);
    if (WireFormat::composeCommand(command, argument, head, sizeof head, tail, sizeof tail)) {
        environment.writeText(head);
        environment.writeText(tail);
    }
}

bool awaitReply(CommandIndex command) {
    for (int look = 0; look < ReplyLooks; ++look) {
        environment.waitForReply(ReplyLookWaitMs);
        if (SessionSlots::received(command)) {
            return true;
        }
    }
    return false;
}

bool exchange(CommandIndex command, const char* argument = nullptr) {
    sendCommand(command, argument);
    return awaitReply(command);
}

// Sleeps until a deadline on the tick count, so an early wake-up sleeps again.
void pause(int64_t ms) {
    if (ms <= 0) {
        return;
    }
    uint32_t deadline = environment.tickCount() + static_cast<uint32_t>(ms);
    for (;;) {
        int32_t left = static_cast<int32_t>(deadline - environment.tickCount());
        if (left <= 0) {
            return;
        }
        environment.sleepMs(static_cast<uint32_t>(left));
    }
}

StepResult fail(const char* message) {
    std::printf("%s", message);
    sessionState.phase = UploadPhase::Failed;
    return StepResult::Continue;
}

bool identityIs(FirmwareIdentity identity) {
    return SessionSlots::identity() == identity;
}

StepResult identify() {
    if (!exchange(CommandIndex::Fwid)) {
        return fail(ReplyTimeoutText);
    }
    if (identityIs(FirmwareIdentity::Application)) {
        std::printf("Product needs to reboot, please wait...\r\n");
        std::memset(sessionState.updateArgs, 0, sizeof sessionState.updateArgs);
        int length = std::snprintf(sessionState.updateArgs, sizeof sessionState.updateArgs, "%s %s",
                                   sessionState.productId,
                                   DeviceNames[static_cast<int>(sessionState.deviceKind)]);
        if (length < 0 || static_cast<size_t>(length) >= sizeof sessionState.updateArgs) {
            // A cut identifier would ask another product's boot loader to start.
            return fail("ERROR: Product ID too long!\r\n");
        }
        if (!exchange(CommandIndex::Update, sessionState.updateArgs)) {
            return fail(ReplyTimeoutText);
        }
        sessionState.waitCount = 0;
        sessionState.waitDelayMs = FirstBootLoaderPauseMs;
        sessionState.phase = UploadPhase::AwaitBootLoader;
        return StepResult::Continue;
    }
    if (identityIs(FirmwareIdentity::BootLoader)) {
        std::printf("%s", StartingUploadText);
        sessionState.phase = UploadPhase::OpenImage;
        return StepResult::Continue;
    }
    return fail("ERROR: Unkown ARM application!\r\n");
}

StepResult checkComms() {
    updateDone = false;
    std::printf("\r\nChecking comms...\r\n");
    for (int attempt = 1; !exchange(CommandIndex::Ping); ++attempt) {
        std::printf("%s", ReplyTimeoutText);
        if (attempt == PingAttempts) {
            std::printf("Error: Could not establish communication\r\n");
            std::printf("\t-Ensure USB cable is connected to device\r\n");
            return fail("\t-Ensure device is powered ON\r\n");
        }
        std::printf("\r\nTrying again...\r\n");
    }
    sessionState.phase = UploadPhase::Identify;
    std::printf("\r\nDevice found.\r\n");
    return identify();
}

StepResult awaitBootLoader() {
    if (sessionState.waitCount >= WaitPassLimit) {
        return fail(DeviceNotRespondingText);
    }
    pause(sessionState.waitDelayMs);
    sessionState.waitDelayMs = BootLoaderPauseMs;
    if (!exchange(CommandIndex::Fwid)) {
        std::printf("%s", ReplyTimeoutText);
    } else if (identityIs(FirmwareIdentity::BootLoader)) {
        std::printf("%s", StartingUploadText);
        sessionState.phase = UploadPhase::OpenImage;
    }
    ++sessionState.waitCount;
    return StepResult::Continue;
}

StepResult openImage() {
    sessionState.fileOpen = static_cast<uint32_t>(FirmwareImage::open());
    if (sessionState.fileOpen != 0) {
        sessionState.linesRead = 0;
        sessionState.phase = UploadPhase::ReadRecord;
    } else {
        sessionState.phase = UploadPhase::Failed;
    }
    return StepResult::Continue;
}

// The one way a transfer ends, whether the count of lines or the end of the file comes first.
StepResult endTransfer() {
    FirmwareImage::finish();
    sessionState.waitCount = 0;
    sessionState.waitDelayMs = FirstApplicationPauseMs;
    std::printf("%s", WaitingText);
    sessionState.phase = UploadPhase::AwaitApplication;
    return StepResult::Continue;
}

StepResult readRecord() {
    std::memset(sessionState.recordText, 0, sizeof sessionState.recordText);
    if (sessionState.linesRead >= sessionState.lineCount) {
        return endTransfer();
    }
    LineOutcome outcome = FirmwareImage::nextLine();
    if (outcome == LineOutcome::Line || outcome == LineOutcome::EndOfFile) {
        ++sessionState.linesRead;
        if (std::strlen(sessionState.recordText) >= ShortestRecord) {
            sessionState.resendCount = 0;
            sessionState.phase = UploadPhase::SendRecord;
        }
        return StepResult::Continue;
    }
    if (outcome == LineOutcome::LineUnsendable) {
        std::printf("\r\nERROR: Line %d cannot be sent as one record!\r\n",
                    static_cast<int>(sessionState.linesRead + 1));
        sessionState.phase = UploadPhase::Failed;
        return StepResult::Continue;
    }
    std::printf("\r\nERROR: Could not read from file %d %d!\r\n",
                static_cast<int>(sessionState.linesRead), FirmwareImage::lastError());
    sessionState.phase = UploadPhase::Failed;
    return StepResult::Continue;
}

void printProgress() {
    uint32_t percent = static_cast<uint32_t>(static_cast<uint64_t>(sessionState.linesRead) * 100u /
                                             sessionState.lineCount);
    std::printf("       Download -> %6d [%3d%%]\r", static_cast<int>(sessionState.linesRead),
                static_cast<int>(percent));
    // The line ends without a line feed; show it now rather than at the next one.
    std::fflush(stdout);
}

// The record slot is cleared as soon as an answer has been taken, so a record reply that lands in
// it before the next record goes out was not asked for: a duplicated or late reply. Taken for the
// answer to the next record it would shift every later answer by one record, and a resend would
// then send the wrong line while the tool went on to report success.
bool recordRepliesInStep() {
    return !SessionSlots::received(CommandIndex::Record);
}

StepResult sendRecord() {
    if (sessionState.resendCount >= TransmissionLimit) {
        return fail("ERROR: Too many re-transmission requests!\r\n");
    }
    if (!recordRepliesInStep()) {
        return fail(OutOfStepText);
    }
    printProgress();
    if (!exchange(CommandIndex::Record, sessionState.recordText)) {
        std::printf("%s", ReplyTimeoutText);
        return fail("Communication Error!\r\n");
    }
    ReplySlot& slot = SessionSlots::slot(CommandIndex::Record);
    const bool retry = slot.retry.load(std::memory_order_relaxed) != 0;
    const bool ok = slot.ok.load(std::memory_order_relaxed) != 0;
    SessionSlots::clear(CommandIndex::Record);
    if (retry) {
        std::printf("\r\nWarning, packet failed trying to resend...\r\n");
        pause(ResendPauseMs);
        ++sessionState.resendCount;
        return StepResult::Continue;
    }
    if (!ok) {
        sessionState.phase = UploadPhase::Failed;
        std::printf("\r\nERROR [%d]: Record was not accepted!\r\n",
                    static_cast<int>(sessionState.linesRead));
        return StepResult::Continue;
    }
    if (FirmwareImage::atEnd()) {
        return endTransfer();
    }
    sessionState.phase = UploadPhase::ReadRecord;
    return StepResult::Continue;
}

StepResult awaitApplication() {
    if (sessionState.waitCount >= WaitPassLimit) {
        return fail(DeviceNotRespondingText);
    }
    pause(sessionState.waitDelayMs);
    sessionState.waitDelayMs = ApplicationPauseMs;
    // Every pass counts, so a product that answers but never reports its application ends too.
    ++sessionState.waitCount;
    if (!exchange(CommandIndex::Ping)) {
        std::printf("%s", ReplyTimeoutText);
        return StepResult::Continue;
    }
    if (!exchange(CommandIndex::Fwid)) {
        return fail(ReplyTimeoutText);
    }
    if (!identityIs(FirmwareIdentity::Application)) {
        return StepResult::Continue;
    }
    if (!recordRepliesInStep()) {
        return fail(OutOfStepText); // the answers to the last records were shifted
    }
    environment.stopReader();
    std::printf("\r\n\r\nUpdate Done!\r\n");
    std::printf("\n___________________\n");
    updateDone = true;
    sessionState.phase = UploadPhase::Done;
    return StepResult::Finished;
}

StepResult reportFailure() {
    environment.stopReader();
    if (sessionState.fileOpen != 0) {
        FirmwareImage::close();
    }
    std::printf("\r\n******* UPLOAD FAILED.  \r\n");
    std::printf("\r\n\r\nPlease power cycle and try again. Check all connections\r\n");
    std::printf("and avoid using the PC for other tasks during upgrade.  Ensure\r\n");
    std::printf("anti-virus hard disc scan is not currently active.\r\n");
    sessionState.phase = UploadPhase::Done;
    return StepResult::Finished;
}

} // namespace

void setEnvironment(const SessionEnvironment& replacement) {
    environment = replacement;
}

bool succeeded() {
    return updateDone;
}

StepResult step() {
    switch (sessionState.phase) {
    case UploadPhase::CheckComms:
        return checkComms();
    case UploadPhase::Identify:
        return identify();
    case UploadPhase::AwaitBootLoader:
        return awaitBootLoader();
    case UploadPhase::OpenImage:
        return openImage();
    case UploadPhase::ReadRecord:
        return readRecord();
    case UploadPhase::SendRecord:
        return sendRecord();
    case UploadPhase::AwaitApplication:
        return awaitApplication();
    case UploadPhase::Failed:
        return reportFailure();
    case UploadPhase::Done:
        break;
    }
    return StepResult::Finished;
}

} // namespace UploadSession
