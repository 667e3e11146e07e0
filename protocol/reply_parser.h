// Cuts the received byte stream into replies made of tokens. Keeps its state between calls, so a
// reply may arrive in any number of pieces.
#pragma once

#include "protocol/wire_format.h"

#include <cstdint>

enum class ParseResult : uint8_t { NeedMore = 0, StorageFull = 1, TooManyTokens = 2, ReplyReady = 3 };

enum class ParserState : uint8_t { Hunting = 0, MatchingAddress = 1, BetweenTokens = 2, InToken = 3 };

struct ReplyParserState {
    char* tokenStorage = nullptr;
    uint16_t storageCapacity = 0;
    uint16_t storageUsed = 0;
    char leadChar = 0;
    bool foldNameToken = false;
    bool foldUnquoted = false;
    bool inQuotes = false;
    bool escapedQuote = false;
    bool rawMode = false;
    const char* addressToken = nullptr;
    ParserState parseState = ParserState::Hunting;
    uint16_t addressPos = 0;
    uint16_t rawRemaining = 0;
    uint16_t tokenCount = 0;
    char* tokens[MaxReplyTokens] = {};
};

// The one parser of the process; the reply reader owns its storage.
extern ReplyParserState replyParser;

namespace ReplyParser {

void reset(char* storage, uint16_t capacity, char leadChar, const char* addressToken,
           bool foldNameToken, bool foldUnquoted);
// usedCount: all bytes for NeedMore, otherwise the index of the byte at which the result arose
// (that byte is not consumed; give it again at the start of the next call).
ParseResult feed(const uint8_t* bytes, uint16_t length, uint16_t& usedCount);
enum class StoreResult : uint8_t { Stored = 0, StorageFull = 1 };
StoreResult store(uint8_t byte);

} // namespace ReplyParser
