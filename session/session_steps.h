// What the phases of the upload session share: sending a command, waiting for its reply, the
// answer counts, the waits for a reboot, failing. For the session's own files; the program uses
// upload_session.h.
#pragma once

#include "session/report.h"
#include "session/upload_session.h"

#include <cstdint>

namespace SessionSteps {

enum class Reply : uint8_t { Answered, TimedOut, Interrupted };

const Reporter& report();
uint32_t now(); // the tick count
// Waits at most ms for a reply, a lost port or a stop request; may end early or late.
void waitForWake(uint32_t ms);

// Clears the command's slot and sends it; counted in sent.
void sendCommand(CommandIndex command, const char* argument = nullptr);
// Waits for the command's reply until the tick count reaches deadline.
Reply awaitReply(CommandIndex command, uint32_t deadline);
// Sleeps until the tick count reaches deadline; false when a lost port or a stop request ends it.
bool pauseUntil(uint32_t deadline);
bool identityIs(FirmwareIdentity identity);

// Answers to the command since its count last began, and the count begun afresh (the answers so
// far written off, nothing sent).
uint32_t answersSince(CommandIndex command);
void restartCount(CommandIndex command);
bool recordAnswersInStep(); // one answer for every RECORD sent

// The wait for a reboot of the phase the session is in: begun, and ended (told once).
void beginWait(ReportPhase phase);
void endWait(bool answered);

StepResult fail(EndReason reason); // ends a running wait first
StepResult interrupted();
StepResult finishUpdate();

} // namespace SessionSteps
