#include "protocol/wire_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string lineOf(CommandIndex command, const char* argument) {
    char head[WireFormat::HeadCapacity];
    char tail[512];
    EXPECT_TRUE(WireFormat::composeCommand(command, argument, head, sizeof head, tail, sizeof tail));
    return std::string(head) + tail;
}

struct LineCase {
    CommandIndex command;
    const char* argument;
    std::string expected;
};

TEST(WireFormat, CommandLinesAreExactBytes) {
    const LineCase cases[] = {
        {CommandIndex::Ping, nullptr,
         std::string("\x21\x44\x56\x4F\x20\x50\x49\x4E\x47\x20\x0A")},
        {CommandIndex::Fwid, nullptr,
         std::string("\x21\x44\x56\x4F\x20\x46\x57\x49\x44\x20\x0A")},
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

TEST(WireFormat, TablesHoldTheProtocolTexts) {
    EXPECT_STREQ(CommandNames[static_cast<int>(CommandIndex::Reboot)], "REBOOT");
    EXPECT_STREQ(StatusText[7], "ERROR: Command not allowed in current system configuration\r\n");
    EXPECT_STREQ(StatusText[8], "ERROR: Internal module failed\r\n");
}

} // namespace
