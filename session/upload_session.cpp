#include "session/upload_session.h"

#include "protocol/wire_format.h"
#include "session/answer_repeats.h"
#include "session/firmware_image.h"
#include "session/poll_wait.h"
#include "session/report.h"
#include "session/session_state.h"
#include "session/session_steps.h"

#include <cstdio>
#include <cstring>

namespace UploadSession {

namespace {

// Every reply wait ends this long after its command went out, whatever else wakes the session.
constexpr uint32_t ReplyTimeoutMs = 10000;
constexpr int PingAttempts = 3;
constexpr int64_t FirstBootLoaderPauseMs = 15000;
constexpr int64_t BootLoaderPauseMs = 2000;
constexpr int64_t FirstApplicationPauseMs = 5000;
constexpr int64_t ApplicationPauseMs = 1000;
constexpr uint8_t WaitPassLimit = 30;
constexpr int64_t ResendPauseMs = 1000;
constexpr uint8_t TransmissionLimit = 3;

// The tail carries a record or the UPDATE argument, then "\n" and the NUL.
constexpr size_t TailCapacity =
    (RecordTextSize > UpdateArgsSize ? RecordTextSize : UpdateArgsSize) + 1;

SessionEnvironment environment{};
bool aborting = false; // the Failed phase ends an abort, not a failure

Interruption interruption() {
    return environment.interruption != nullptr ? environment.interruption() : Interruption::None;
}

ReportPhase waitPhase() {
    return sessionState.phase == UploadPhase::AwaitBootLoader ? ReportPhase::AwaitBootLoader
                                                              : ReportPhase::AwaitApplication;
}

} // namespace

} // namespace UploadSession

namespace SessionSteps {

using UploadSession::aborting;
using UploadSession::environment;
using UploadSession::interruption;

uint32_t now() {
    return environment.tickCount();
}

void waitForWake(uint32_t ms) {
    environment.waitForReply(ms);
}

void sendCommand(CommandIndex command, const char* argument) {
    char head[WireFormat::HeadCapacity];
    char tail[UploadSession::TailCapacity];
    SessionSlots::clear(command);
    if (WireFormat::composeCommand(command, argument, head, sizeof head, tail, sizeof tail)) {
        environment.writeText(head);
        environment.writeText(tail);
        ++sessionState.sent[static_cast<int>(command)];
    }
}

Reply awaitReply(CommandIndex command, uint32_t deadline) {
    for (;;) {
        if (SessionSlots::received(command)) {
            return Reply::Answered;
        }
        if (interruption() != Interruption::None) {
            return Reply::Interrupted;
        }
        const auto left = static_cast<int32_t>(deadline - environment.tickCount());
        if (left <= 0) {
            return Reply::TimedOut;
        }
        environment.waitForReply(static_cast<uint32_t>(left));
    }
}

bool pauseUntil(uint32_t deadline) {
    for (;;) {
        if (interruption() != Interruption::None) {
            return false;
        }
        const auto left = static_cast<int32_t>(deadline - environment.tickCount());
        if (left <= 0) {
            return true;
        }
        environment.sleepMs(static_cast<uint32_t>(left));
    }
}

const Reporter& report() {
    return Report::current();
}

bool identityIs(FirmwareIdentity identity) {
    return SessionSlots::identity() == identity;
}

uint32_t answersSince(CommandIndex command) {
    const int index = static_cast<int>(command);
    return SessionSlots::answers(command) - sessionState.answerBase[index];
}

void restartCount(CommandIndex command) {
    const int index = static_cast<int>(command);
    sessionState.answerBase[index] = SessionSlots::answers(command);
    sessionState.sent[index] = 0;
}

// One answer per RECORD sent. The answers carry no record number, so a second answer to one
// record (two that a bridge delivered together, a late duplicate, one nobody asked for) would
// shift every later answer by a record: a resend could then send the wrong line.
bool recordAnswersInStep() {
    return answersSince(CommandIndex::Record) ==
           sessionState.sent[static_cast<int>(CommandIndex::Record)];
}

void beginWait(ReportPhase phase) {
    sessionState.waiting = true;
    sessionState.waitBegan = now();
    sessionState.waitSeconds = 0;
    sessionState.nextAskAt = sessionState.waitBegan;
    sessionState.settling = false;
    report().waitStarted(phase, sessionState.waitMode);
    if (sessionState.waitMode == WaitMode::Poll) {
        AnswerRepeats::begin(); // the fixed pauses ask seldom: every answer is shown
    }
}

void endWait(bool answered) {
    if (sessionState.waiting) {
        sessionState.waiting = false;
        AnswerRepeats::end(report());
        report().waitEnded(UploadSession::waitPhase(), sessionState.waitMode,
                           now() - sessionState.waitBegan, answered);
    }
}

StepResult fail(EndReason reason) {
    endWait(false);
    report().sessionFailed({reason, sessionState.phase, sessionState.linesRead,
                            sessionState.lineCount, sessionState.portName});
    sessionState.phase = UploadPhase::Failed;
    return StepResult::Continue;
}

StepResult interrupted() {
    aborting = interruption() == Interruption::Aborted;
    return fail(aborting ? EndReason::Aborted : EndReason::PortLost);
}

StepResult finishUpdate() {
    endWait(true);
    environment.stopReader();
    report().done();
    sessionState.phase = UploadPhase::Done;
    return StepResult::Finished;
}

} // namespace SessionSteps

namespace UploadSession {

namespace {

using namespace SessionSteps;

Reply exchange(CommandIndex command, const char* argument = nullptr) {
    sendCommand(command, argument);
    return awaitReply(command, environment.tickCount() + ReplyTimeoutMs);
}

bool pause(int64_t ms) {
    return pauseUntil(environment.tickCount() + static_cast<uint32_t>(ms > 0 ? ms : 0));
}

StepResult askForBootLoader() {
    report().rebootNeeded();
    std::memset(sessionState.updateArgs, 0, sizeof sessionState.updateArgs);
    const int length =
        std::snprintf(sessionState.updateArgs, sizeof sessionState.updateArgs, "%s %s",
                      sessionState.productId, wireName(sessionState.deviceKind));
    if (length < 0 || static_cast<size_t>(length) >= sizeof sessionState.updateArgs) {
        // A cut identifier would ask another product's boot loader to start.
        return fail(EndReason::Usage);
    }
    const Reply reply = exchange(CommandIndex::Update, sessionState.updateArgs);
    if (reply != Reply::Answered) {
        return reply == Reply::Interrupted ? interrupted() : fail(EndReason::ReplyTimeout);
    }
    sessionState.waitCount = 0;
    sessionState.waitDelayMs = FirstBootLoaderPauseMs;
    sessionState.phase = UploadPhase::AwaitBootLoader;
    report().phase(ReportPhase::AwaitBootLoader);
    beginWait(ReportPhase::AwaitBootLoader);
    return StepResult::Continue;
}

StepResult identify() {
    const Reply reply = exchange(CommandIndex::Fwid);
    if (reply != Reply::Answered) {
        return reply == Reply::Interrupted ? interrupted() : fail(EndReason::ReplyTimeout);
    }
    if (identityIs(FirmwareIdentity::Application)) {
        return askForBootLoader();
    }
    if (identityIs(FirmwareIdentity::BootLoader)) {
        report().startingUpload();
        sessionState.phase = UploadPhase::OpenImage;
        return StepResult::Continue;
    }
    return fail(EndReason::UnknownApplication);
}

StepResult checkComms() {
    aborting = false;
    for (int i = 0; i < CommandCount; ++i) {
        sessionState.sent[i] = 0;
        sessionState.answerBase[i] = 0;
    }
    sessionState.waiting = false;
    report().phase(ReportPhase::Connect);
    for (int attempt = 1;; ++attempt) {
        const Reply reply = exchange(CommandIndex::Ping);
        if (reply == Reply::Answered) {
            break;
        }
        if (reply == Reply::Interrupted) {
            return interrupted();
        }
        report().replyTimeout();
        if (attempt == PingAttempts) {
            return fail(EndReason::NoContact);
        }
        report().tryingAgain();
    }
    sessionState.phase = UploadPhase::Identify;
    report().phase(ReportPhase::Identify);
    return identify();
}

StepResult awaitBootLoader() {
    if (sessionState.waitCount >= WaitPassLimit) {
        return fail(EndReason::NoContact);
    }
    if (!pause(sessionState.waitDelayMs)) {
        return interrupted();
    }
    sessionState.waitDelayMs = BootLoaderPauseMs;
    const Reply reply = exchange(CommandIndex::Fwid);
    if (reply == Reply::Interrupted) {
        return interrupted();
    }
    if (reply == Reply::TimedOut) {
        report().replyTimeout();
    } else if (identityIs(FirmwareIdentity::BootLoader)) {
        endWait(true);
        report().startingUpload();
        sessionState.phase = UploadPhase::OpenImage;
    }
    ++sessionState.waitCount;
    return StepResult::Continue;
}

StepResult openImage() {
    if (!FirmwareImage::rewind()) {
        report().imageMissing(sessionState.firmwarePath);
        return fail(EndReason::FileRefused);
    }
    sessionState.lineCount = FirmwareImage::lineCount();
    sessionState.transferUnderway = 1;
    report().uploadHeading(sessionState.firmwarePath, sessionState.productId);
    sessionState.linesRead = 0;
    sessionState.phase = UploadPhase::ReadRecord;
    report().phase(ReportPhase::Transfer);
    return StepResult::Continue;
}

// The one way a transfer ends.
StepResult endTransfer() {
    sessionState.transferUnderway = 0;
    report().transferEnded();
    sessionState.waitCount = 0;
    sessionState.waitDelayMs = FirstApplicationPauseMs;
    report().waitingForApplication();
    sessionState.phase = UploadPhase::AwaitApplication;
    report().phase(ReportPhase::AwaitApplication);
    beginWait(ReportPhase::AwaitApplication);
    return StepResult::Continue;
}

StepResult readRecord() {
    if (sessionState.linesRead >= sessionState.lineCount) {
        return endTransfer();
    }
    const LineOutcome outcome = FirmwareImage::nextLine();
    if (outcome == LineOutcome::EndOfFile) {
        return endTransfer();
    }
    ++sessionState.linesRead;
    if (outcome == LineOutcome::Record) {
        sessionState.resendCount = 0;
        sessionState.phase = UploadPhase::SendRecord;
    }
    return StepResult::Continue;
}

// Judges the answer to the record just sent.
StepResult judgeRecordAnswer() {
    const SessionSlots::SlotAnswer answer = SessionSlots::take(CommandIndex::Record);
    if (!recordAnswersInStep()) {
        return fail(EndReason::OutOfStep);
    }
    if (answer.retry) {
        report().resend(sessionState.linesRead, answer.busy);
        if (!pause(ResendPauseMs)) {
            return interrupted();
        }
        ++sessionState.resendCount;
        return StepResult::Continue;
    }
    if (!answer.ok) {
        return fail(EndReason::RecordRefused);
    }
    if (FirmwareImage::atEnd()) {
        return endTransfer();
    }
    sessionState.phase = UploadPhase::ReadRecord;
    return StepResult::Continue;
}

StepResult sendRecord() {
    if (sessionState.resendCount >= TransmissionLimit) {
        return fail(EndReason::TooManyResends);
    }
    if (!recordAnswersInStep()) {
        return fail(EndReason::OutOfStep); // an answer came that no record asked for
    }
    report().progress(sessionState.linesRead, sessionState.lineCount);
    const Reply reply = exchange(CommandIndex::Record, sessionState.recordText);
    if (reply == Reply::Interrupted) {
        return interrupted();
    }
    if (reply == Reply::TimedOut) {
        report().replyTimeout();
        return fail(EndReason::ReplyTimeout);
    }
    return judgeRecordAnswer();
}

StepResult awaitApplication() {
    if (sessionState.waitCount >= WaitPassLimit) {
        return fail(EndReason::NoApplication);
    }
    if (!pause(sessionState.waitDelayMs)) {
        return interrupted();
    }
    sessionState.waitDelayMs = ApplicationPauseMs;
    // Every pass counts, so a product that answers but never reports its application ends too.
    ++sessionState.waitCount;
    Reply reply = exchange(CommandIndex::Ping);
    if (reply == Reply::TimedOut) {
        report().replyTimeout();
        return StepResult::Continue;
    }
    if (reply == Reply::Answered) {
        reply = exchange(CommandIndex::Fwid);
    }
    if (reply != Reply::Answered) {
        return reply == Reply::Interrupted ? interrupted() : fail(EndReason::ReplyTimeout);
    }
    if (!identityIs(FirmwareIdentity::Application)) {
        return StepResult::Continue;
    }
    if (!recordAnswersInStep()) {
        return fail(EndReason::OutOfStep); // a late answer to a record came during the wait
    }
    return finishUpdate();
}

StepResult reportFailure() {
    environment.stopReader();
    sessionState.transferUnderway = 0;
    report().advice();
    sessionState.phase = aborting ? UploadPhase::Aborted : UploadPhase::Abandoned;
    return StepResult::Finished;
}

StepResult runPhase() {
    switch (sessionState.phase) {
    case UploadPhase::CheckComms:
        return checkComms();
    case UploadPhase::Identify:
        return identify();
    case UploadPhase::AwaitBootLoader:
        return sessionState.waitMode == WaitMode::Poll ? PollWait::awaitBootLoader()
                                                       : awaitBootLoader();
    case UploadPhase::OpenImage:
        return openImage();
    case UploadPhase::ReadRecord:
        return readRecord();
    case UploadPhase::SendRecord:
        return sendRecord();
    case UploadPhase::AwaitApplication:
        return sessionState.waitMode == WaitMode::Poll ? PollWait::awaitApplication()
                                                       : awaitApplication();
    case UploadPhase::Failed:
        return reportFailure();
    case UploadPhase::Done:
    case UploadPhase::Abandoned:
    case UploadPhase::Aborted:
        break;
    }
    return StepResult::Finished;
}

} // namespace

void setEnvironment(const SessionEnvironment& replacement) {
    environment = replacement;
}

void begin(const UpdateRequest& request) {
    sessionState.portName = request.portName;
    sessionState.productId = request.productId;
    sessionState.deviceKind = request.device;
    sessionState.firmwarePath = request.imagePath;
    sessionState.waitMode = request.wait;
    SessionSlots::setIdentity(FirmwareIdentity::Unknown);
    sessionState.phase = UploadPhase::CheckComms;
}

SessionOutcome outcome() {
    switch (sessionState.phase) {
    case UploadPhase::Done:
        return SessionOutcome::Succeeded;
    case UploadPhase::Abandoned:
        return SessionOutcome::Failed;
    case UploadPhase::Aborted:
        return SessionOutcome::Aborted;
    default:
        return SessionOutcome::Running;
    }
}

StepResult step() {
    const UploadPhase phase = sessionState.phase;
    const bool ending = phase >= UploadPhase::Failed;
    if (!ending && interruption() != Interruption::None) {
        return interrupted();
    }
    return runPhase();
}

} // namespace UploadSession
