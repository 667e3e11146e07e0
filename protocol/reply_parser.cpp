#include "protocol/reply_parser.h"

#include "os/ascii_text.h"

#include <cstdlib>

ReplyParserState replyParser;

namespace ReplyParser {

namespace {

constexpr uint8_t Space = 0x20;
constexpr uint8_t Quote = 0x22;
constexpr uint8_t Backslash = 0x5C;
constexpr uint8_t RawMarker = 0xFF;
constexpr unsigned long MaxRawCount = 65535;

ReplyParserState& p = replyParser;

bool isLineEnd(uint8_t byte) {
    return byte == '\r' || byte == '\n' || byte == '\0';
}

// Only a..z change: the protocol is 8-bit and no locale may touch the bytes 0x80 to 0xFF.
uint8_t upperCased(uint8_t byte) {
    return static_cast<uint8_t>(AsciiText::upper(static_cast<char>(byte)));
}

// The reply being built is forgotten; whatever the line still holds waits for the next lead.
ParseResult drop(ParseResult result) {
    p.rawRemaining = 0;
    p.rawMode = false;
    p.parseState = ParserState::Hunting;
    return result;
}

ParseResult storeOrDrop(uint8_t byte) {
    return store(byte) == StoreResult::Stored ? ParseResult::NeedMore
                                              : drop(ParseResult::StorageFull);
}

ParseResult onHunting(uint8_t byte) {
    if (byte == static_cast<uint8_t>(p.leadChar)) {
        p.addressPos = 0;
        p.rawRemaining = 0;
        p.inQuotes = false;
        p.rawMode = false;
        p.parseState = ParserState::MatchingAddress;
    }
    return ParseResult::NeedMore;
}

ParseResult onMatchingAddress(uint8_t byte) {
    const char expected = p.addressToken[p.addressPos];
    if (expected == '\0' && (byte == Space || isLineEnd(byte))) {
        p.tokenCount = 0;
        p.storageUsed = 0;
        p.parseState = byte == Space ? ParserState::BetweenTokens : ParserState::Hunting;
        return byte == Space ? ParseResult::NeedMore : ParseResult::ReplyReady;
    }
    if (expected != '\0' && upperCased(byte) == static_cast<uint8_t>(expected)) {
        ++p.addressPos;
    } else if (byte == static_cast<uint8_t>(p.leadChar)) {
        p.addressPos = 0;
    } else {
        p.parseState = ParserState::Hunting;
    }
    return ParseResult::NeedMore;
}

// "[count]" right before a token that opens with 0xFF announces count raw bytes.
bool announcesRawToken(const char* previous, unsigned long& count) {
    if (previous[0] != '[') {
        return false;
    }
    char* end = nullptr;
    count = std::strtoul(previous + 1, &end, 16);
    return *end == ']' && count >= 1 && count <= MaxRawCount;
}

ParseResult startToken(uint8_t byte) {
    p.tokens[p.tokenCount] = p.tokenStorage + p.storageUsed;
    ++p.tokenCount;
    p.parseState = ParserState::InToken;
    unsigned long count = 0;
    if (byte == RawMarker && p.tokenCount >= 2 &&
        announcesRawToken(p.tokens[p.tokenCount - 2], count)) {
        p.rawRemaining = static_cast<uint16_t>(count);
        p.rawMode = true;
        return ParseResult::NeedMore;
    }
    return storeOrDrop(byte);
}

ParseResult onBetweenTokens(uint8_t byte) {
    if (byte == Space) {
        return ParseResult::NeedMore;
    }
    if (isLineEnd(byte)) {
        p.parseState = ParserState::Hunting;
        return ParseResult::ReplyReady;
    }
    if (p.tokenCount >= MaxReplyTokens) {
        return drop(ParseResult::TooManyTokens);
    }
    return startToken(byte);
}

ParseResult onRawByte(uint8_t byte) {
    if (store(byte) != StoreResult::Stored) {
        return drop(ParseResult::StorageFull);
    }
    if (--p.rawRemaining > 0) {
        return ParseResult::NeedMore;
    }
    p.rawMode = false;
    p.parseState = ParserState::BetweenTokens;
    return storeOrDrop('\0');
}

ParseResult onInToken(uint8_t byte) {
    if (p.rawMode) {
        return onRawByte(byte);
    }
    if (byte == Space && !p.inQuotes) {
        p.parseState = ParserState::BetweenTokens;
        return storeOrDrop('\0');
    }
    if (isLineEnd(byte)) {
        if (store('\0') != StoreResult::Stored) {
            return drop(ParseResult::StorageFull);
        }
        p.parseState = ParserState::Hunting;
        return ParseResult::ReplyReady;
    }
    return storeOrDrop(byte);
}

ParseResult step(uint8_t byte) {
    switch (p.parseState) {
    case ParserState::Hunting:
        return onHunting(byte);
    case ParserState::MatchingAddress:
        return onMatchingAddress(byte);
    case ParserState::BetweenTokens:
        return onBetweenTokens(byte);
    case ParserState::InToken:
        return onInToken(byte);
    }
    return ParseResult::NeedMore;
}

// A quote toggles quoting and counts as a space, unless a backslash escaped it.
uint8_t unquoted(uint8_t byte) {
    if (byte != Quote) {
        return byte;
    }
    if (p.escapedQuote) {
        p.escapedQuote = false;
        return Quote;
    }
    p.inQuotes = !p.inQuotes;
    return Space;
}

} // namespace

void reset(char* storage, uint16_t capacity, char leadChar, const char* addressToken,
           bool foldNameToken, bool foldUnquoted) {
    p.tokenStorage = storage;
    p.storageCapacity = capacity;
    p.storageUsed = 0;
    p.leadChar = leadChar;
    p.foldNameToken = foldNameToken;
    p.foldUnquoted = foldUnquoted;
    p.inQuotes = false;
    p.escapedQuote = false;
    p.rawMode = false;
    p.addressToken = addressToken;
    p.parseState = ParserState::Hunting;
    p.addressPos = 0;
    p.rawRemaining = 0;
    p.tokenCount = 0;
}

ParseResult feed(const uint8_t* bytes, uint16_t length, uint16_t& usedCount) {
    for (uint16_t i = 0; i < length; ++i) {
        uint8_t byte = bytes[i];
        if (!p.rawMode) {
            // The escape counts only when its quote lies in this same call.
            if (byte == Backslash && i + 1 < length && bytes[i + 1] == Quote) {
                p.escapedQuote = true;
                continue;
            }
            byte = unquoted(byte);
        }
        const ParseResult result = step(byte);
        if (result != ParseResult::NeedMore) {
            usedCount = i;
            return result;
        }
    }
    usedCount = length;
    return ParseResult::NeedMore;
}

StoreResult store(uint8_t byte) {
    if (p.storageUsed >= p.storageCapacity) {
        return StoreResult::StorageFull;
    }
    const bool fold =
        !p.rawMode && ((p.foldUnquoted && !p.inQuotes) || (p.foldNameToken && p.tokenCount == 1));
    p.tokenStorage[p.storageUsed] = static_cast<char>(fold ? upperCased(byte) : byte);
    ++p.storageUsed;
    return StoreResult::Stored;
}

} // namespace ReplyParser
