#include "protocol/reply_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Reply = std::vector<std::string>;
using namespace std::string_literals;

char storage[TokenStorageSize];

void resetParser(bool foldName = true, bool foldUnquoted = true) {
    ReplyParser::reset(storage, TokenStorageSize, LeadChar, AddressToken, foldName, foldUnquoted);
}

// Feeds the bytes in pieces of `piece` (0: all at once) the way the reply reader does: a byte
// that completed a result is given again at the start of the next call.
std::vector<Reply> parse(const std::string& bytes, size_t piece = 0) {
    std::vector<Reply> replies;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t start = 0; start < bytes.size();) {
        size_t left = piece == 0 ? bytes.size() - start : std::min(piece, bytes.size() - start);
        size_t offset = start;
        while (left > 0) {
            uint16_t used = 0;
            ParseResult r = ReplyParser::feed(data + offset, static_cast<uint16_t>(left), used);
            if (r == ParseResult::ReplyReady) {
                replies.emplace_back(replyParser.tokens,
                                     replyParser.tokens + replyParser.tokenCount);
            }
            offset += used;
            left -= used;
        }
        start = offset;
    }
    return replies;
}

struct SplitCase {
    std::string bytes;
    std::vector<Reply> expected;
};

TEST(ReplyParser, RepliesAreTheSameWholeAndOneBytePerCall) {
    const SplitCase cases[] = {
        {"!DVO PONG\r\n", {{"PONG"}}},
        {"!dvo pong\r\n", {{"PONG"}}},
        {"\x01noise\r\n!DVO PONG\r", {{"PONG"}}},
        {"!ABC PONG\r\n!DVO PONG\n", {{"PONG"}}},
        {"!!DVO PONG\r", {{"PONG"}}},
        {"!DVOX PONG\r!DV\r!DVOPONG\r", {}},
        {"!DVO\r", {{}}},
        {"!DVO PONG   \r", {{"PONG"}}},
        {"!DVO update ok\0"s, {{"UPDATE", "OK"}}},
        {"!DVO PONG\r\n!DVO record pass\r\n", {{"PONG"}, {"RECORD", "PASS"}}},
        {"!DVO fwid board korva map \"  V1.2 beta\"\r",
         {{"FWID", "BOARD", "KORVA", "MAP", "V1.2 beta"}}},
        {"!DVO \"pong\"\r", {{"PONG"}}},
        {"!DVO x ab\"cd ef\"gh\r", {{"X", "AB cd ef", "GH"}}},
        {"!DVO x \"ab\r!DVO pong\r", {{"X", "ab"}, {"PONG"}}},
        {"!DVO x !DVO y\r", {{"X", "!DVO", "Y"}}},
        {"!DVO a\tb \xe4z\r", {{"A\tB", "\xe4Z"}}},
        {"!DVO x [3] \377a \r\r", {{"X", "[3]", "a \r"}}},
        {"!DVO x [0x4]junk \377\"\\!\n y\r", {{"X", "[0X4]JUNK", "\"\\!\n", "Y"}}},
        {"!DVO [2] \377qq\r", {{"[2]", "qq"}}},
        {"!DVO x [0] \377ab\r", {{"X", "[0]", "\377AB"}}},
        {"!DVO x [10000] \377a\r", {{"X", "[10000]", "\377A"}}},
        {"!DVO x [3 \377a\r", {{"X", "[3", "\377A"}}},
        {"!DVO \377ab\r", {{"\377AB"}}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.bytes);
        resetParser();
        EXPECT_EQ(parse(c.bytes), c.expected);
        resetParser();
        EXPECT_EQ(parse(c.bytes, 1), c.expected);
    }
}

TEST(ReplyParser, EscapedQuoteNeedsItsQuoteInTheSameCall) {
    resetParser();
    EXPECT_EQ(parse("!DVO x a\\\"b\r"), (std::vector<Reply>{{"X", "A\"B"}}));
    resetParser();
    EXPECT_EQ(parse("!DVO x a\\\"b\r", 9), (std::vector<Reply>{{"X", "A\\ b"}}));
}

TEST(ReplyParser, FoldingSwitches) {
    // foldNameToken and foldUnquoted: on/on, on/off, off/on, off/off.
    const Reply expected[] = {
        {"PONG", "ABC", "q"}, {"PONG", "abc", "q"}, {"pong", "ABC", "q"}, {"pong", "abc", "q"}};
    for (int i = 0; i < 4; ++i) {
        resetParser(i < 2, i % 2 == 0);
        EXPECT_EQ(parse("!DVO \"pong\" abc \"q\"\r"), std::vector<Reply>{expected[i]});
    }
}

TEST(ReplyParser, UsedCountStopsAtTheByteThatEndedTheReply) {
    resetParser();
    const uint8_t line[] = "!DVO PONG\r\n";
    uint16_t used = 99;
    EXPECT_EQ(ReplyParser::feed(line, 0, used), ParseResult::NeedMore);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(ReplyParser::feed(line, 11, used), ParseResult::ReplyReady);
    EXPECT_EQ(used, 9);
    EXPECT_EQ(ReplyParser::feed(line + 9, 2, used), ParseResult::NeedMore);
    EXPECT_EQ(used, 2);
}

struct LimitCase {
    std::string bytes;
    ParseResult result;
    size_t usedCount;
};

std::string tokens(int count) {
    std::string s = "!DVO";
    for (int i = 0; i < count; ++i) {
        s += " T";
    }
    return s;
}

TEST(ReplyParser, LimitsOfTokensAndStorage) {
    const std::string fill = "!DVO X " + std::string(2045, 'a'); // 2 + 2046 bytes with NULs
    const LimitCase cases[] = {
        {tokens(25) + "  \r", ParseResult::ReplyReady, 4 + 50 + 2},
        {tokens(26) + "\r", ParseResult::TooManyTokens, 4 + 50 + 1},
        {fill + "\r", ParseResult::ReplyReady, fill.size()},
        {fill + "a\r", ParseResult::StorageFull, fill.size() + 1},
        {fill + "ab\r", ParseResult::StorageFull, fill.size() + 1},
        {fill + " b\r", ParseResult::StorageFull, fill.size() + 1},
        // Raw bytes count against the same storage, their NUL included.
        {"!DVO X [800] \377" + std::string(2100, 'a'), ParseResult::StorageFull, 14 + 2040},
        {"!DVO X [7f8] \377" + std::string(2040, 'a') + "\r", ParseResult::StorageFull, 14 + 2039},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.usedCount);
        resetParser();
        uint16_t used = 0;
        const auto* data = reinterpret_cast<const uint8_t*>(c.bytes.data());
        EXPECT_EQ(ReplyParser::feed(data, static_cast<uint16_t>(c.bytes.size()), used), c.result);
        EXPECT_EQ(used, c.usedCount);
        EXPECT_LE(replyParser.storageUsed, TokenStorageSize);
        // A dropped reply leaves nothing behind: the next line parses on its own.
        EXPECT_EQ(parse(c.bytes.substr(used) + "!DVO PONG\r"), std::vector<Reply>{{"PONG"}});
    }
}

} // namespace
