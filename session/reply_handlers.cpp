#include "session/reply_handlers.h"

#include "os/ascii_text.h"
#include "protocol/wire_format.h"
#include "session/report.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>

namespace {

void report(CommandIndex command, ReplyStatus status) {
    const char* name = CommandNames[static_cast<int>(command)];
    Report::current().replyReport(name, statusText(status));
}

bool is(const char* token, const char* word) {
    return std::strcmp(token, word) == 0;
}

// False (and the slot answered) when the reply does not have exactly `expected` tokens.
bool hasCount(CommandIndex command, uint16_t tokenCount, uint16_t expected) {
    if (tokenCount == expected) {
        return true;
    }
    report(command, tokenCount < expected ? ReplyStatus::InsufficientParameters
                                          : ReplyStatus::TooManyParameters);
    SessionSlots::raise(command);
    return false;
}

void judgeIdentity(const char* word, const char* version) {
    constexpr CommandIndex fwid = CommandIndex::Fwid;
    if (is(word, "MAP")) {
        SessionSlots::setIdentity(FirmwareIdentity::Application);
        Report::current().firmwareIdentity(sessionState.productId, FirmwareIdentity::Application,
                                           version);
        SessionSlots::markOk(fwid);
    } else if (is(word, "BSL")) {
        SessionSlots::setIdentity(FirmwareIdentity::BootLoader);
        Report::current().firmwareIdentity(sessionState.productId, FirmwareIdentity::BootLoader,
                                           version);
        SessionSlots::markOk(fwid);
    } else {
        report(fwid, ReplyStatus::ValueUnrecognised);
    }
    SessionSlots::raise(fwid);
}

// Unquoted reply text arrives upper-cased, so "korva" on the command line never matches KORVA.
void hintAtSpelling(const char* given, const char* typed) {
    if (AsciiText::equalIgnoringCase(given, typed)) {
        Report::current().spellingHint(given);
    }
}

} // namespace

void onPong(uint16_t tokenCount, char* const* /*tokens*/) {
    if (hasCount(CommandIndex::Ping, tokenCount, 1)) {
        SessionSlots::markOk(CommandIndex::Ping);
        SessionSlots::raise(CommandIndex::Ping);
    }
}

void onFwid(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex fwid = CommandIndex::Fwid;
    if (!hasCount(fwid, tokenCount, 5)) {
        return;
    }
    const char* productId = sessionState.productId != nullptr ? sessionState.productId : "";
    if (!is(tokens[2], productId)) {
        Report::current().otherProduct(tokens[1]);
        report(fwid, ReplyStatus::ValueUnrecognised);
        hintAtSpelling(tokens[2], productId);
        SessionSlots::raise(fwid);
        return;
    }
    judgeIdentity(tokens[3], tokens[4]);
}

void onUpdate(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex update = CommandIndex::Update;
    if (!hasCount(update, tokenCount, 2)) {
        return;
    }
    const char* word = tokens[1];
    if (is(word, "OK")) {
        SessionSlots::markOk(update);
    } else if (is(word, "WAIT")) {
        SessionSlots::markRetry(update);
    } else if (is(word, "NAK")) {
        report(update, ReplyStatus::NotAllowed);
    }
    SessionSlots::raise(update);
}

void onRecord(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex record = CommandIndex::Record;
    SessionSlots::countRecordAnswer(); // malformed answers count too: each is one answer
    if (!hasCount(record, tokenCount, 2)) {
        return;
    }
    const char* word = tokens[1];
    if (is(word, "PASS")) {
        SessionSlots::markOk(record);
    } else if (is(word, "FAIL") || is(word, "BUSY")) {
        SessionSlots::markRetry(record, is(word, "BUSY"));
    } else if (is(word, "ERROR")) {
        report(record, ReplyStatus::NotAllowed);
    }
    SessionSlots::raise(record);
}

void onReboot(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex reboot = CommandIndex::Reboot;
    if (!hasCount(reboot, tokenCount, 2)) {
        return;
    }
    if (is(tokens[1], "OK")) {
        SessionSlots::markOk(reboot);
        Report::current().rebooting();
    } else {
        report(reboot, ReplyStatus::ValueUnrecognised);
    }
    SessionSlots::raise(reboot);
}
