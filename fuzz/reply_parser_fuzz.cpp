// Feeds arbitrary bytes, cut at arbitrary points, to the reply parser the way the reply reader
// does, and hands every complete reply to the real handlers.
//
// Input: [flags] [capacity] [n] [n piece lengths] [stream...]
//   flags bit 0: foldNameToken off, bit 1: foldUnquoted off, bit 2: small storage of
//   16 + capacity bytes instead of 2048, bits 3-4: product identifier.
//   Piece lengths are used in turn; 0 means a whole 2048-byte drain step.
#include "fuzz/slot_checks.h"
#include "protocol/reply_parser.h"
#include "session/reply_handler_table.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>

namespace {

// The parser's storage always ends where this area ends, so AddressSanitizer sees any overrun.
char storageArea[TokenStorageSize];

const char* const ProductIds[] = {"KORVA", "korva", "", "KORVA"};

using FuzzChecks::check;
using FuzzChecks::checkHandled;
using FuzzChecks::Snapshot;
using FuzzChecks::takeSnapshot;

void checkParserBounds() {
    check(replyParser.tokenCount <= MaxReplyTokens);
    check(replyParser.storageUsed <= replyParser.storageCapacity);
}

// Every token of a finished reply lies in the used storage, in order, with its NUL there too.
void checkReply() {
    checkParserBounds();
    const char* begin = replyParser.tokenStorage;
    const char* end = begin + replyParser.storageUsed;
    for (uint16_t i = 0; i < replyParser.tokenCount; ++i) {
        const char* token = replyParser.tokens[i];
        check(token >= begin && token < end);
        check(std::memchr(token, 0, static_cast<size_t>(end - token)) != nullptr);
        check(i == 0 || token > replyParser.tokens[i - 1]);
    }
}

void dispatch() {
    if (replyParser.tokenCount == 0) {
        return;
    }
    for (int row = 0; ReplyHandlerTable[row].name != nullptr; ++row) {
        if (std::strcmp(ReplyHandlerTable[row].name, replyParser.tokens[0]) == 0) {
            // As the session does before each command, so the raise is seen afresh.
            SessionSlots::clear(static_cast<CommandIndex>(row));
            const Snapshot before = takeSnapshot();
            ReplyHandlerTable[row].handler(replyParser.tokenCount, replyParser.tokens);
            checkHandled(row, before);
            return;
        }
    }
}

// The reply reader's loop: the byte that completed a result is given again.
void feedPiece(const uint8_t* bytes, uint16_t length) {
    int stalls = 0;
    while (length > 0) {
        uint16_t used = 0xFFFF;
        const ParseResult result = ReplyParser::feed(bytes, length, used);
        check(used <= length);
        checkParserBounds();
        if (result == ParseResult::NeedMore) {
            check(used == length);
        } else {
            check(replyParser.parseState == ParserState::Hunting);
        }
        if (result == ParseResult::ReplyReady) {
            checkReply();
            dispatch();
        }
        // A byte given again lands in Hunting, which never ends a reply: feeding always advances.
        stalls = used == 0 ? stalls + 1 : 0;
        check(stalls < 2);
        bytes += used;
        length = static_cast<uint16_t>(length - used);
    }
}

void configure(uint8_t flags, uint8_t capacityByte) {
    const uint16_t capacity =
        (flags & 4) != 0 ? static_cast<uint16_t>(16 + capacityByte) : TokenStorageSize;
    ReplyParser::reset(storageArea + TokenStorageSize - capacity, capacity, LeadChar, AddressToken,
                       (flags & 1) == 0, (flags & 2) == 0);
    SessionSlots::clearAll();
    SessionSlots::setIdentity(FirmwareIdentity::Unknown);
    sessionState.productId = ProductIds[(flags >> 3) & 3];
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The handlers print their reports; the console would dominate the run time.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    configure(data[0], data[1]);
    const size_t pieceCount = data[2] & 15;
    if (size < 3 + pieceCount) {
        return 0;
    }
    const uint8_t* pieces = data + 3;
    size_t offset = 3 + pieceCount;
    for (size_t n = 0; offset < size; ++n) {
        size_t length = pieceCount == 0 ? TokenStorageSize : pieces[n % pieceCount];
        length = length == 0 ? TokenStorageSize : length;
        length = length < size - offset ? length : size - offset;
        feedPiece(data + offset, static_cast<uint16_t>(length));
        offset += length;
    }
    return 0;
}
