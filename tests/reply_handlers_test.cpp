#include "protocol/reply_handler_table.h"
#include "session/reply_handlers.h"
#include "session/session_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t Untouched = 7; // written into every slot a handler must leave alone

struct HandlerCase {
    ReplyHandler handler;
    CommandIndex slot;
    std::vector<std::string> tokens;
    uint32_t ok, retry;
    std::string printed;
    FirmwareIdentity identity; // expected afterwards; every case starts from Unknown
};

std::string report(const char* command, const char* status) {
    return std::string("\r\nReply for [") + command + "]: " + status;
}

const std::string Short = "ERROR: Insufficient parameters\r\n";
const std::string Long = "ERROR: Too many parameters\r\n";
const std::string Unrecognised = "ERROR: Parameter value unrecognised\r\n";
const std::string NotAllowed = "ERROR: Command not allowed in current system configuration\r\n";
constexpr FirmwareIdentity Unknown = FirmwareIdentity::Unknown;

void fillSlots(uint32_t value) {
    for (ReplySlot& s : sessionState.replies) {
        s.received = value;
        s.ok = value;
        s.retry = value;
    }
}

// Runs the handler with all other slots marked, and gives back what it printed.
std::string run(const HandlerCase& c) {
    fillSlots(Untouched);
    SessionSlots::clear(c.slot);
    SessionSlots::setIdentity(Unknown);
    std::vector<char*> tokens;
    for (const std::string& t : c.tokens) {
        tokens.push_back(const_cast<char*>(t.c_str()));
    }
    testing::internal::CaptureStdout();
    c.handler(static_cast<uint16_t>(tokens.size()), tokens.data());
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ReplyHandlers, EachReplySetsItsOwnSlotAndPrintsTheReport) {
    using I = CommandIndex;
    const FirmwareIdentity App = FirmwareIdentity::Application;
    const HandlerCase cases[] = {
        {onPong, I::Ping, {"PONG"}, 1, 0, "", Unknown},
        {onPong, I::Ping, {"PONG", "X"}, 0, 0, report("PING", Long.c_str()), Unknown},
        {onFwid, I::Fwid, {"FWID", "L", "KORVA", "MAP", "V1"}, 1, 0, "Current V1\r\n", App},
        {onFwid,
         I::Fwid,
         {"FWID", "L", "KORVA", "BSL", "V1"},
         1,
         0,
         "",
         FirmwareIdentity::BootLoader},
        {onFwid,
         I::Fwid,
         {"FWID", "L", "KORVA", "MAP"},
         0,
         0,
         report("FWID", Short.c_str()),
         Unknown},
        {onFwid,
         I::Fwid,
         {"FWID", "L", "KORVA", "MAP", "V1", "X"},
         0,
         0,
         report("FWID", Long.c_str()),
         Unknown},
        {onFwid,
         I::Fwid,
         {"FWID", "BOARD", "korva", "MAP", "V1"},
         0,
         0,
         "BOARD Firmware Update\r\n" + report("FWID", Unrecognised.c_str()),
         Unknown},
        {onFwid,
         I::Fwid,
         {"FWID", "L", "KORVA", "map", "V1"},
         0,
         0,
         report("FWID", Unrecognised.c_str()),
         Unknown},
        {onUpdate, I::Update, {"UPDATE", "OK"}, 1, 0, "", Unknown},
        {onUpdate, I::Update, {"UPDATE", "WAIT"}, 0, 1, "", Unknown},
        {onUpdate,
         I::Update,
         {"UPDATE", "NAK"},
         0,
         0,
         report("UPDATE", NotAllowed.c_str()),
         Unknown},
        {onUpdate, I::Update, {"UPDATE", "ok"}, 0, 0, "", Unknown},
        {onUpdate, I::Update, {"UPDATE"}, 0, 0, report("UPDATE", Short.c_str()), Unknown},
        {onUpdate,
         I::Update,
         {"UPDATE", "OK", "OK"},
         0,
         0,
         report("UPDATE", Long.c_str()),
         Unknown},
        {onRecord, I::Record, {"RECORD", "PASS"}, 1, 0, "", Unknown},
        {onRecord, I::Record, {"RECORD", "FAIL"}, 0, 1, "", Unknown},
        {onRecord, I::Record, {"RECORD", "BUSY"}, 0, 1, "", Unknown},
        {onRecord,
         I::Record,
         {"RECORD", "ERROR"},
         0,
         0,
         report("RECORD", NotAllowed.c_str()),
         Unknown},
        {onRecord, I::Record, {"RECORD", "pass"}, 0, 0, "", Unknown},
        {onRecord, I::Record, {"RECORD"}, 0, 0, report("RECORD", Short.c_str()), Unknown},
        {onRecord,
         I::Record,
         {"RECORD", "PASS", "X"},
         0,
         0,
         report("RECORD", Long.c_str()),
         Unknown},
        {onReboot, I::Reboot, {"REBOOT", "OK"}, 1, 0, "\nRebooting\n", Unknown},
        {onReboot,
         I::Reboot,
         {"REBOOT", "NO"},
         0,
         0,
         report("REBOOT", Unrecognised.c_str()),
         Unknown},
        {onReboot, I::Reboot, {"REBOOT"}, 0, 0, report("REBOOT", Short.c_str()), Unknown},
        {onReboot, I::Reboot, {"REBOOT", "OK", "X"}, 0, 0, report("REBOOT", Long.c_str()), Unknown},
    };
    sessionState.productId = "KORVA";
    for (const HandlerCase& c : cases) {
        SCOPED_TRACE(c.tokens.back());
        SCOPED_TRACE(c.tokens.front());
        EXPECT_EQ(run(c), c.printed);
        const ReplySlot& own = SessionSlots::slot(c.slot);
        EXPECT_EQ(own.received.load(), 1u);
        EXPECT_EQ(own.ok.load(), c.ok);
        EXPECT_EQ(own.retry.load(), c.retry);
        EXPECT_EQ(SessionSlots::identity(), c.identity);
        for (int k = 0; k < CommandCount; ++k) {
            const ReplySlot& other = sessionState.replies[k];
            if (&other != &own) {
                EXPECT_TRUE(other.received == Untouched && other.ok == Untouched &&
                            other.retry == Untouched)
                    << k;
            }
        }
    }
}

TEST(ReplyHandlers, OnlyAGoodReplyForThisProductChangesIdentity) {
    sessionState.productId = "KORVA";
    SessionSlots::setIdentity(FirmwareIdentity::Unknown);
    const char* good[] = {"FWID", "L", "KORVA", "MAP", "V1"};
    const char* other[] = {"FWID", "L", "OTHER", "BSL", "V2"};
    const char* shortReply[] = {"FWID", "L", "KORVA", "BSL"};
    testing::internal::CaptureStdout();
    onFwid(5, const_cast<char* const*>(good));
    onFwid(5, const_cast<char* const*>(other));
    onFwid(4, const_cast<char* const*>(shortReply));
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(SessionSlots::identity(), FirmwareIdentity::Application);
}

TEST(ReplyHandlerTable, RowKAnswersCommandK) {
    sessionState.productId = "KORVA";
    const std::vector<std::vector<const char*>> goodReplies = {
        {"PONG"},         {"FWID", "L", "KORVA", "BSL", "V1"}, {"UPDATE", "OK"}, {"RECORD", "PASS"},
        {"REBOOT", "OK"},
    };
    for (int k = 0; k < CommandCount; ++k) {
        const std::vector<const char*>& reply = goodReplies[k];
        ASSERT_STREQ(ReplyHandlerTable[k].name, reply[0]);
        fillSlots(0);
        testing::internal::CaptureStdout();
        ReplyHandlerTable[k].handler(static_cast<uint16_t>(reply.size()),
                                     const_cast<char* const*>(reply.data()));
        std::fflush(stdout);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(sessionState.replies[k].ok.load(), 1u) << reply[0];
    }
    EXPECT_EQ(ReplyHandlerTable[CommandCount].name, nullptr);
    EXPECT_EQ(ReplyHandlerTable[CommandCount].handler, nullptr);
}

} // namespace
