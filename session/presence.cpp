#include "session/presence.h"

#include "session/session_state.h"
#include "session/session_steps.h"

namespace Presence {

namespace {

using SessionSteps::Reply;

Reply ask(CommandIndex command, uint32_t answerLimitMs) {
    SessionSteps::sendCommand(command);
    return SessionSteps::awaitReply(command, SessionSteps::now() + answerLimitMs);
}

} // namespace

Sighting look(uint32_t answerLimitMs) {
    // An answer to an earlier look that came late must not count for this one.
    SessionSlots::setIdentity(FirmwareIdentity::Unknown);
    Reply reply = ask(CommandIndex::Ping, answerLimitMs);
    if (reply == Reply::Interrupted) {
        return Sighting::Interrupted;
    }
    if (reply == Reply::TimedOut || !SessionSlots::take(CommandIndex::Ping).ok) {
        return Sighting::Nothing;
    }
    reply = ask(CommandIndex::Fwid, answerLimitMs);
    if (reply == Reply::Interrupted) {
        return Sighting::Interrupted;
    }
    const bool named = reply == Reply::Answered && SessionSlots::take(CommandIndex::Fwid).ok;
    return named && SessionSlots::identity() != FirmwareIdentity::Unknown ? Sighting::ThisProduct
                                                                          : Sighting::Product;
}

} // namespace Presence
