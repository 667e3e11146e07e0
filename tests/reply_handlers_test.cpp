#include "session/reply_handler_table.h"
#include "session/reply_handlers.h"
#include "session/session_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t Untouched = 7; // written into every slot a handler must leave alone
using Id = FirmwareIdentity;

// Calls the handler with the space-separated tokens and gives back what it printed.
std::string call(ReplyHandler handler, const std::string& reply) {
    std::istringstream words(reply);
    std::vector<std::string> texts{std::istream_iterator<std::string>(words), {}};
    std::vector<char*> tokens;
    for (std::string& t : texts) {
        tokens.push_back(t.data());
    }
    testing::internal::CaptureStdout();
    handler(static_cast<uint16_t>(tokens.size()), tokens.data());
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void fillSlots(uint32_t value) {
    for (ReplySlot& s : sessionState.replies) {
        s.received = s.ok = s.retry = value;
    }
}

struct HandlerCase {
    ReplyHandler handler;
    CommandIndex slot;
    std::string reply;
    uint32_t ok, retry;
    int status;             // status report printed last, 0 for none
    std::string printed;    // text printed before the report
    Id identity;            // afterwards; every case starts from Unknown
    std::string after = ""; // text printed after the report
};

TEST(ReplyHandlers, EachReplySetsItsOwnSlotAndPrintsTheReport) {
    using I = CommandIndex;
    const HandlerCase cases[] = {
        {onPong, I::Ping, "PONG", 1, 0, 0, "", Id::Unknown},
        {onPong, I::Ping, "PONG X", 0, 0, 2, "", Id::Unknown},
        {onFwid, I::Fwid, "FWID L KORVA MAP V1", 1, 0, 0, "Current V1\r\n", Id::Application},
        {onFwid, I::Fwid, "FWID L KORVA BSL V1", 1, 0, 0, "", Id::BootLoader},
        {onFwid, I::Fwid, "FWID L KORVA MAP", 0, 0, 1, "", Id::Unknown},
        {onFwid, I::Fwid, "FWID L KORVA MAP V1 X", 0, 0, 2, "", Id::Unknown},
        {onFwid, I::Fwid, "FWID BOARD korva MAP V1", 0, 0, 5, "BOARD Firmware Update\r\n",
         Id::Unknown, "Product IDs must match the product's own spelling: try korva\r\n"},
        {onFwid, I::Fwid, "FWID BOARD KORVB MAP V1", 0, 0, 5, "BOARD Firmware Update\r\n",
         Id::Unknown},
        {onFwid, I::Fwid, "FWID L KORVA map V1", 0, 0, 5, "", Id::Unknown},
        {onUpdate, I::Update, "UPDATE OK", 1, 0, 0, "", Id::Unknown},
        {onUpdate, I::Update, "UPDATE WAIT", 0, 1, 0, "", Id::Unknown},
        {onUpdate, I::Update, "UPDATE NAK", 0, 0, 7, "", Id::Unknown},
        {onUpdate, I::Update, "UPDATE ok", 0, 0, 0, "", Id::Unknown},
        {onUpdate, I::Update, "UPDATE", 0, 0, 1, "", Id::Unknown},
        {onUpdate, I::Update, "UPDATE OK OK", 0, 0, 2, "", Id::Unknown},
        {onRecord, I::Record, "RECORD PASS", 1, 0, 0, "", Id::Unknown},
        {onRecord, I::Record, "RECORD FAIL", 0, 1, 0, "", Id::Unknown},
        {onRecord, I::Record, "RECORD BUSY", 0, 1, 0, "", Id::Unknown},
        {onRecord, I::Record, "RECORD ERROR", 0, 0, 7, "", Id::Unknown},
        {onRecord, I::Record, "RECORD pass", 0, 0, 0, "", Id::Unknown},
        {onRecord, I::Record, "RECORD", 0, 0, 1, "", Id::Unknown},
        {onRecord, I::Record, "RECORD PASS X", 0, 0, 2, "", Id::Unknown},
        {onReboot, I::Reboot, "REBOOT OK", 1, 0, 0, "\nRebooting\n", Id::Unknown},
        {onReboot, I::Reboot, "REBOOT NO", 0, 0, 5, "", Id::Unknown},
        {onReboot, I::Reboot, "REBOOT", 0, 0, 1, "", Id::Unknown},
        {onReboot, I::Reboot, "REBOOT OK X", 0, 0, 2, "", Id::Unknown},
    };
    const char* names[] = {"PING", "FWID", "UPDATE", "RECORD", "REBOOT"};
    // The reports the handlers make, by status code, as the user reads them.
    const std::map<int, std::string> reports = {
        {1, "ERROR: Insufficient parameters\r\n"},
        {2, "ERROR: Too many parameters\r\n"},
        {5, "ERROR: Parameter value unrecognised\r\n"},
        {7, "ERROR: Command not allowed in current system configuration\r\n"},
    };
    sessionState.productId = "KORVA";
    for (const HandlerCase& c : cases) {
        SCOPED_TRACE(c.reply);
        fillSlots(Untouched);
        SessionSlots::clear(c.slot);
        SessionSlots::setIdentity(Id::Unknown);
        sessionState.recordAnswers.store(0);
        std::string expected = c.printed;
        if (c.status != 0) {
            expected += std::string("\r\nReply for [") + names[static_cast<int>(c.slot)] +
                        "]: " + reports.at(c.status);
        }
        EXPECT_EQ(call(c.handler, c.reply), expected + c.after);
        // Every RECORD answer counts, well-formed or not; no other reply does.
        EXPECT_EQ(SessionSlots::recordAnswers(), c.slot == I::Record ? 1u : 0u);
        const ReplySlot& own = SessionSlots::slot(c.slot);
        EXPECT_EQ(own.received.load(), 1u);
        EXPECT_EQ(own.ok.load(), c.ok);
        EXPECT_EQ(own.retry.load(), c.retry);
        EXPECT_EQ(SessionSlots::identity(), c.identity);
        for (const ReplySlot& other : sessionState.replies) {
            EXPECT_TRUE(&other == &own || (other.received == Untouched && other.ok == Untouched &&
                                           other.retry == Untouched));
        }
    }
}

TEST(ReplyHandlers, OnlyAGoodReplyForThisProductChangesIdentity) {
    sessionState.productId = "KORVA";
    SessionSlots::setIdentity(Id::Unknown);
    call(onFwid, "FWID L KORVA MAP V1");
    call(onFwid, "FWID L OTHER BSL V2");
    call(onFwid, "FWID L KORVA BSL");
    EXPECT_EQ(SessionSlots::identity(), Id::Application);
}

TEST(ReplyHandlerTable, RowKAnswersCommandK) {
    sessionState.productId = "KORVA";
    const std::string goodReplies[] = {"PONG", "FWID L KORVA BSL V1", "UPDATE OK", "RECORD PASS",
                                       "REBOOT OK"};
    for (int k = 0; k < CommandCount; ++k) {
        const std::string& reply = goodReplies[k];
        EXPECT_EQ(reply.substr(0, reply.find(' ')), ReplyHandlerTable[k].name);
        fillSlots(0);
        call(ReplyHandlerTable[k].handler, reply);
        EXPECT_EQ(sessionState.replies[k].ok.load(), 1u) << reply;
    }
    EXPECT_EQ(ReplyHandlerTable[CommandCount].name, nullptr);
    EXPECT_EQ(ReplyHandlerTable[CommandCount].handler, nullptr);
}

} // namespace
