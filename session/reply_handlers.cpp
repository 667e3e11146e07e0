#include "session/reply_handlers.h"

#include "os/ascii_text.h"
#include "protocol/wire_format.h"
#include "session/answer_repeats.h"
#include "session/report.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>

namespace {

// The reply in hand and the command it answers.
struct ReplyInHand {
    CommandIndex command;
    uint16_t tokenCount;
    char* const* tokens;
};

// Whether the reply's texts are shown: during a poll's wait a reply shown already is counted
// instead (AnswerRepeats).
bool shown(const ReplyInHand& reply, AnswerKind kind) {
    return AnswerRepeats::firstTime(kind, reply.command, reply.tokenCount, reply.tokens);
}

void report(const ReplyInHand& reply, ReplyStatus status) {
    if (shown(reply, AnswerKind::ErrorStatus)) {
        const char* name = CommandNames[static_cast<int>(reply.command)];
        Report::current().replyReport(name, statusText(status));
    }
}

bool is(const char* token, const char* word) {
    return std::strcmp(token, word) == 0;
}

// False (and the slot answered) when the reply does not have exactly `expected` tokens.
bool hasCount(const ReplyInHand& reply, uint16_t expected) {
    if (reply.tokenCount == expected) {
        return true;
    }
    report(reply, reply.tokenCount < expected ? ReplyStatus::InsufficientParameters
                                              : ReplyStatus::TooManyParameters);
    SessionSlots::raise(reply.command);
    return false;
}

void judgeIdentity(const ReplyInHand& reply, const char* word, const char* version) {
    constexpr CommandIndex fwid = CommandIndex::Fwid;
    if (is(word, "MAP")) {
        SessionSlots::setIdentity(FirmwareIdentity::Application);
        if (shown(reply, AnswerKind::Application)) {
            Report::current().firmwareIdentity(sessionState.productId,
                                               FirmwareIdentity::Application, version);
        }
        SessionSlots::markOk(fwid);
    } else if (is(word, "BSL")) {
        // Silent on the console: never counted, so that every answer is an event.
        SessionSlots::setIdentity(FirmwareIdentity::BootLoader);
        Report::current().firmwareIdentity(sessionState.productId, FirmwareIdentity::BootLoader,
                                           version);
        SessionSlots::markOk(fwid);
    } else {
        report(reply, ReplyStatus::ValueUnrecognised);
    }
    SessionSlots::raise(fwid);
}

// Unquoted reply text arrives upper-cased, so "korva" on the command line never matches KORVA.
void hintAtSpelling(const char* given, const char* typed) {
    if (AsciiText::equalIgnoringCase(given, typed)) {
        Report::current().spellingHint(given);
    }
}

// Another product's FWID: its label, the status and a hint at the spelling, shown together.
void reportOtherProduct(const ReplyInHand& reply, const char* productId) {
    const char* const* tokens = reply.tokens;
    const AnswerKind kind = is(tokens[3], "BSL")   ? AnswerKind::OtherBootLoader
                            : is(tokens[3], "MAP") ? AnswerKind::OtherApplication
                                                   : AnswerKind::OtherProduct;
    if (shown(reply, kind)) {
        Report::current().otherProduct(tokens[1]);
        Report::current().replyReport(CommandNames[static_cast<int>(CommandIndex::Fwid)],
                                      statusText(ReplyStatus::ValueUnrecognised));
        hintAtSpelling(tokens[2], productId);
    }
}

} // namespace

void onPong(uint16_t tokenCount, char* const* tokens) {
    SessionSlots::countAnswer(CommandIndex::Ping);
    if (hasCount({CommandIndex::Ping, tokenCount, tokens}, 1)) {
        SessionSlots::markOk(CommandIndex::Ping);
        SessionSlots::raise(CommandIndex::Ping);
    }
}

void onFwid(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex fwid = CommandIndex::Fwid;
    SessionSlots::countAnswer(fwid); // another product's answer too: it answered an ask
    const ReplyInHand reply{fwid, tokenCount, tokens};
    if (!hasCount(reply, 5)) {
        return;
    }
    const char* productId = sessionState.productId != nullptr ? sessionState.productId : "";
    if (!is(tokens[2], productId)) {
        reportOtherProduct(reply, productId);
        SessionSlots::raise(fwid);
        return;
    }
    judgeIdentity(reply, tokens[3], tokens[4]);
}

void onUpdate(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex update = CommandIndex::Update;
    const ReplyInHand reply{update, tokenCount, tokens};
    if (!hasCount(reply, 2)) {
        return;
    }
    const char* word = tokens[1];
    if (is(word, "OK")) {
        SessionSlots::markOk(update);
    } else if (is(word, "WAIT")) {
        SessionSlots::markRetry(update);
    } else if (is(word, "NAK")) {
        report(reply, ReplyStatus::NotAllowed);
    }
    SessionSlots::raise(update);
}

void onRecord(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex record = CommandIndex::Record;
    SessionSlots::countAnswer(record); // malformed answers count too: each is one answer
    const ReplyInHand reply{record, tokenCount, tokens};
    if (!hasCount(reply, 2)) {
        return;
    }
    const char* word = tokens[1];
    if (is(word, "PASS")) {
        SessionSlots::markOk(record);
    } else if (is(word, "FAIL") || is(word, "BUSY")) {
        SessionSlots::markRetry(record, is(word, "BUSY"));
    } else if (is(word, "ERROR")) {
        report(reply, ReplyStatus::NotAllowed);
    }
    SessionSlots::raise(record);
}

void onReboot(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex reboot = CommandIndex::Reboot;
    const ReplyInHand reply{reboot, tokenCount, tokens};
    if (!hasCount(reply, 2)) {
        return;
    }
    if (is(tokens[1], "OK")) {
        SessionSlots::markOk(reboot);
        if (shown(reply, AnswerKind::Rebooting)) {
            Report::current().rebooting();
        }
    } else {
        report(reply, ReplyStatus::ValueUnrecognised);
    }
    SessionSlots::raise(reboot);
}
