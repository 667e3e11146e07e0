#include "session/reply_handlers.h"

#include "protocol/wire_format.h"
#include "session/report.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>

namespace {

enum Status : int {
    InsufficientParameters = 1,
    TooManyParameters = 2,
    ValueUnrecognised = 5,
    NotAllowed = 7,
};

void report(CommandIndex command, Status status) {
    const char* name = CommandNames[static_cast<int>(command)];
    std::printf("\r\nReply for [%s]: %s", name, StatusText[status]);
    Report::replyReport(name, StatusText[status]);
}

// The outcome words only ever go from 0 to 1 here; received follows them with release order.
void setOk(CommandIndex command) {
    SessionSlots::slot(command).ok.store(1, std::memory_order_relaxed);
}

void setRetry(CommandIndex command) {
    SessionSlots::slot(command).retry.store(1, std::memory_order_relaxed);
}

bool is(const char* token, const char* word) {
    return std::strcmp(token, word) == 0;
}

// False (and the slot answered) when the reply does not have exactly `expected` tokens.
bool hasCount(CommandIndex command, uint16_t tokenCount, uint16_t expected) {
    if (tokenCount == expected) {
        return true;
    }
    report(command, tokenCount < expected ? InsufficientParameters : TooManyParameters);
    SessionSlots::raise(command);
    return false;
}

void judgeIdentity(const char* word, const char* version) {
    constexpr CommandIndex fwid = CommandIndex::Fwid;
    if (is(word, "MAP")) {
        SessionSlots::setIdentity(FirmwareIdentity::Application);
        std::printf("Current %s\r\n", version);
        Report::device(sessionState.productId, FirmwareIdentity::Application, version);
        setOk(fwid);
    } else if (is(word, "BSL")) {
        SessionSlots::setIdentity(FirmwareIdentity::BootLoader);
        Report::device(sessionState.productId, FirmwareIdentity::BootLoader, version);
        setOk(fwid);
    } else {
        report(fwid, ValueUnrecognised);
    }
    SessionSlots::raise(fwid);
}

// Unquoted reply text arrives upper-cased, so "korva" on the command line never matches KORVA.
void hintAtSpelling(const char* given, const char* typed) {
    if (WireFormat::equalIgnoringCase(given, typed)) {
        std::printf("Product IDs must match the product's own spelling: try %s\r\n", given);
    }
}

} // namespace

void onPong(uint16_t tokenCount, char* const* /*tokens*/) {
    if (hasCount(CommandIndex::Ping, tokenCount, 1)) {
        setOk(CommandIndex::Ping);
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
        std::printf("%s Firmware Update\r\n", tokens[1]);
        report(fwid, ValueUnrecognised);
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
        setOk(update);
    } else if (is(word, "WAIT")) {
        setRetry(update);
    } else if (is(word, "NAK")) {
        report(update, NotAllowed);
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
        setOk(record);
    } else if (is(word, "FAIL") || is(word, "BUSY")) {
        sessionState.recordRetryBusy.store(is(word, "BUSY") ? 1 : 0, std::memory_order_relaxed);
        setRetry(record);
    } else if (is(word, "ERROR")) {
        report(record, NotAllowed);
    }
    SessionSlots::raise(record);
}

void onReboot(uint16_t tokenCount, char* const* tokens) {
    constexpr CommandIndex reboot = CommandIndex::Reboot;
    if (!hasCount(reboot, tokenCount, 2)) {
        return;
    }
    if (is(tokens[1], "OK")) {
        setOk(reboot);
        std::printf("\nRebooting\n");
    } else {
        report(reboot, ValueUnrecognised);
    }
    SessionSlots::raise(reboot);
}
