#include "protocol/wire_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string lineOf(CommandIndex command, const char* argument) {
    char head[WireFormat::HeadCapacity];
    char tail[512];
    EXPECT_TRUE(
        WireFormat::composeCommand(command, argument, head, sizeof head, tail, sizeof tail));
    return std::string(head) + tail;
}

struct LineCase {
    CommandIndex command;
    const char* argument;
    std::string expected;
};

TEST(WireFormat, CommandLinesAreExactBytes) {
    const LineCase cases[] = {
        {CommandIndex::Ping, nullptr, std::string("\x21\x44\x56\x4F\x20\x50\x49\x4E\x47\x20\x0A")},
        {CommandIndex::Fwid, nullptr, std::string("\x21\x44\x56\x4F\x20\x46\x57\x49\x44\x20\x0A")},
        {CommandIndex::Update, "KORVA ARM", "!DVO UPDATE KORVA ARM\n"},
        {CommandIndex::Record, "S1130000FFFF\n", "!DVO RECORD S1130000FFFF\n\n"},
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(lineOf(c.command, c.argument), c.expected);
    }
}

TEST(WireFormat, RefusesPiecesThatDoNotFit) {
    char head[WireFormat::HeadCapacity];
    char tail[8];
    EXPECT_FALSE(WireFormat::composeCommand(CommandIndex::Record, "S1130000FFFF", head, sizeof head,
                                            tail, sizeof tail));
    char smallHead[6];
    EXPECT_FALSE(WireFormat::composeCommand(CommandIndex::Ping, nullptr, smallHead,
                                            sizeof smallHead, tail, sizeof tail));
}

// What a terminal would obey becomes visible; every other byte, high ones included, stands.
TEST(WireFormat, ProductTextIsShownNeverObeyed) {
    const struct {
        std::string text;
        size_t capacity;
        std::string shown;
    } cases[] = {
        {"V2.0.0", 64, "V2.0.0"},
        {"V2\x1b[2J\x07\x08x", 64, "V2\\x1B[2J\\x07\\x08x"},
        {"\x1b]0;owned\x07", 64, "\\x1B]0;owned\\x07"},
        {"tab\there\x7f", 64, "tab\\x09here\\x7F"},
        {"caf\xe9 \xc2\x9b"
         "1m \xff",
         64, "caf\xe9 \xc2\\x9B1m \xff"},
        {"\x01\x1f", 64, "\\x01\\x1F"},
        {"ab\x1b", 6, "ab"}, // an escape that does not fit is left out whole
        {"abcdef", 4, "abc"},
        {"", 1, ""},
    };
    for (const auto& c : cases) {
        std::string out(c.capacity, '#');
        const size_t length = WireFormat::shownText(c.text.c_str(), out.data(), c.capacity);
        EXPECT_EQ(out.c_str(), c.shown) << c.text;
        EXPECT_EQ(length, c.shown.size()) << c.text;
    }
}

} // namespace
