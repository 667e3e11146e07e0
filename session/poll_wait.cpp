#include "session/poll_wait.h"

#include "session/session_state.h"
#include "session/session_steps.h"

#include <cstdint>

namespace PollWait {

namespace {

using namespace SessionSteps;

// An ask every 250 ms, each waiting at most that long: an unanswered ask is no time-out, the
// product is still rebooting.
constexpr uint32_t AskMs = 250;
// The time the fixed pauses' 30 passes give, so that a slow product gets no less.
constexpr uint32_t BootLoaderLimitMs = 15000 + 29 * 2000;
constexpr uint32_t ApplicationLimitMs = 5000 + 29 * 1000;
// Once some of the boot loader's late answers are in, the rest are written off after this long
// without any answer.
constexpr uint32_t QuietMs = 500;
constexpr uint32_t SecondMs = 1000;

bool reached(uint32_t deadline, uint32_t at) {
    return static_cast<int32_t>(at - deadline) >= 0;
}

uint32_t earlier(uint32_t a, uint32_t b) {
    return reached(b, a) ? b : a;
}

constexpr int index(CommandIndex command) {
    return static_cast<int>(command);
}

// A dot for each whole second waited.
void tellSeconds(uint32_t at) {
    const uint32_t seconds = (at - sessionState.waitBegan) / SecondMs;
    while (sessionState.waitSeconds < seconds) {
        ++sessionState.waitSeconds;
        report().waitSecond();
    }
}

// The reply is awaited for AskMs at most, and never past the limit.
Reply ask(CommandIndex command, uint32_t limit) {
    sendCommand(command);
    return awaitReply(command, earlier(now() + AskMs, limit));
}

enum class Due : uint8_t { Ask, Limit, Interrupted };

// Sleeps until the next ask is due, or the limit.
Due awaitNextAsk(uint32_t limit) {
    if (!pauseUntil(earlier(sessionState.nextAskAt, limit))) {
        return Due::Interrupted;
    }
    if (reached(limit, now())) {
        return Due::Limit; // the next step fails
    }
    sessionState.nextAskAt = now() + AskMs;
    return Due::Ask;
}

uint32_t answersSeen() {
    return SessionSlots::answers(CommandIndex::Ping) + SessionSlots::answers(CommandIndex::Fwid) +
           SessionSlots::answers(CommandIndex::Record);
}

// The boot loader has answered, but FWIDs sent during its erase may still be answered. A PING
// follows them: the product answers in order, so its PONG comes after every answer it still
// owes. Only then do the counts begin afresh for the transfer.
void beginSettling() {
    sessionState.settling = true;
    restartCount(CommandIndex::Ping);
    sessionState.answersSeen = answersSeen();
    sessionState.quietSince = now();
    sendCommand(CommandIndex::Ping);
    sessionState.nextAskAt = now() + AskMs;
}

// Every earlier ask answered or written off: the first RECORD cannot be taken for anything
// asked before it.
StepResult startTransfer() {
    endWait(true);
    for (int i = 0; i < CommandCount; ++i) {
        restartCount(static_cast<CommandIndex>(i));
    }
    report().startingUpload();
    sessionState.phase = UploadPhase::OpenImage;
    return StepResult::Continue;
}

StepResult settle(uint32_t at, uint32_t limit) {
    const uint32_t seen = answersSeen();
    if (seen != sessionState.answersSeen) {
        sessionState.answersSeen = seen;
        sessionState.quietSince = at;
    }
    const uint32_t pongs = answersSince(CommandIndex::Ping);
    const bool allAnswered = pongs >= sessionState.sent[index(CommandIndex::Ping)];
    const uint32_t quietEnd = sessionState.quietSince + QuietMs;
    if (allAnswered || (pongs > 0 && reached(quietEnd, at))) {
        return startTransfer();
    }
    if (pongs == 0 && reached(sessionState.nextAskAt, at)) {
        sendCommand(CommandIndex::Ping); // the PING was lost: another
        sessionState.nextAskAt = at + AskMs;
    }
    const uint32_t until = earlier(pongs > 0 ? quietEnd : sessionState.nextAskAt, limit);
    waitForWake(reached(until, at) ? 0 : until - at);
    return StepResult::Continue;
}

} // namespace

StepResult awaitBootLoader() {
    const uint32_t limit = sessionState.waitBegan + BootLoaderLimitMs;
    const uint32_t at = now();
    if (reached(limit, at)) {
        return fail(EndReason::NoContact);
    }
    if (sessionState.settling) {
        return settle(at, limit);
    }
    tellSeconds(at);
    const Due due = awaitNextAsk(limit);
    if (due != Due::Ask) {
        return due == Due::Interrupted ? interrupted() : StepResult::Continue;
    }
    const Reply reply = ask(CommandIndex::Fwid, limit);
    if (reply == Reply::Interrupted) {
        return interrupted();
    }
    // Only a well-formed answer for this product says which firmware runs.
    if (reply == Reply::Answered && SessionSlots::take(CommandIndex::Fwid).ok &&
        identityIs(FirmwareIdentity::BootLoader)) {
        beginSettling();
    }
    return StepResult::Continue;
}

StepResult awaitApplication() {
    const uint32_t limit = sessionState.waitBegan + ApplicationLimitMs;
    if (reached(limit, now())) {
        return fail(EndReason::NoApplication);
    }
    tellSeconds(now());
    const Due due = awaitNextAsk(limit);
    if (due != Due::Ask) {
        return due == Due::Interrupted ? interrupted() : StepResult::Continue;
    }
    Reply reply = ask(CommandIndex::Ping, limit);
    if (reply == Reply::Answered) {
        SessionSlots::take(CommandIndex::Ping);
        reply = ask(CommandIndex::Fwid, limit);
    }
    if (reply != Reply::Answered) {
        return reply == Reply::Interrupted ? interrupted() : StepResult::Continue;
    }
    // Only this ask's own well-formed answer tells: a late one that came before it (during the
    // transfer, say) may have left the identity at Application.
    if (!SessionSlots::take(CommandIndex::Fwid).ok || !identityIs(FirmwareIdentity::Application)) {
        return StepResult::Continue;
    }
    if (!recordAnswersInStep()) {
        return fail(EndReason::OutOfStep); // a late answer to a record came during the wait
    }
    return finishUpdate();
}

} // namespace PollWait
