// The reply reader against a stand-in port: the test plays the receive thread, putting bytes into
// the ring and setting the data-ready event, and watches the handlers' slots and the console.
#include "protocol/reply_reader.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port_internal.h"
#include "session/reply_handler_table.h"
#include "session/session_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int HangGuardMs = 5000;

class ReplyReaderTest : public testing::Test {
  protected:
    void SetUp() override {
        ReceiveBuffer::reset();
        serialPortState.portOpen.store(1);
        dataReady = Os::createEvent(Os::EventReset::Auto);
        ASSERT_NE(dataReady, nullptr);
        sessionState.productId = "P1";
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        ReplyReader::stop();
        consoleText();
        serialPortState.portOpen.store(0);
        Os::closeEvent(dataReady);
    }
    void arrive(const std::string& bytes) {
        ASSERT_TRUE(ReceiveBuffer::put(reinterpret_cast<const uint8_t*>(bytes.data()),
                                       static_cast<uint16_t>(bytes.size())));
        Os::setEvent(dataReady);
    }
    void waitDrained() {
        const uint32_t started = Os::tickCount();
        while (ReceiveBuffer::level() != 0 && Os::tickCount() - started < HangGuardMs) {
            Os::sleepMs(1);
        }
        ASSERT_EQ(ReceiveBuffer::level(), 0);
    }
    // Stops the reader (its last pass runs to the end) and returns what it printed.
    std::string stopAndRead() {
        EXPECT_EQ(ReplyReader::stop(), 1);
        return consoleText();
    }
    std::string consoleText() {
        if (!capturing) {
            return "";
        }
        std::fflush(stdout);
        capturing = false;
        return testing::internal::GetCapturedStdout();
    }

    Os::EventHandle dataReady = nullptr;
    bool capturing = true;
};

const ReplySlot& ping() {
    return SessionSlots::slot(CommandIndex::Ping);
}

TEST_F(ReplyReaderTest, TwoRepliesInOneChunkInArrivalOrder) {
    arrive("!DVO NOPE\r!DVO FWID AAA Q1 MAP V1\r");
    ASSERT_EQ(ReplyReader::start(dataReady, SessionDispatch), 1);
    waitDrained();
    EXPECT_EQ(stopAndRead().rfind(".AAA Firmware Update\r\n", 0), 0u);
    EXPECT_TRUE(SessionSlots::received(CommandIndex::Fwid));
}

// Every cut of a reply across two wake-ups gives exactly one dispatch.
TEST_F(ReplyReaderTest, SplitReplyIsDispatchedOnce) {
    const std::string reply = "!DVO XYZ\r";
    ASSERT_EQ(ReplyReader::start(dataReady, SessionDispatch), 1);
    for (size_t cut = 1; cut < reply.size(); ++cut) {
        arrive(reply.substr(0, cut));
        waitDrained();
        arrive(reply.substr(cut));
        waitDrained();
    }
    EXPECT_EQ(stopAndRead(), std::string(reply.size() - 1, '.'));
}

std::vector<uint16_t> steps; // written by the reader thread, read after it has stopped

TEST_F(ReplyReaderTest, FiveThousandBytesDrainInStepsOf2048) {
    std::string bytes;
    for (int i = 0; i < 500; ++i) {
        bytes += "!DVO ABCD\r";
    }
    arrive(bytes);
    ReplyDispatch watched = SessionDispatch;
    watched.stepTaken = [](uint16_t taken) { steps.push_back(taken); };
    ASSERT_EQ(ReplyReader::start(dataReady, watched), 1);
    waitDrained();
    EXPECT_EQ(stopAndRead(), std::string(500, '.'));
    EXPECT_EQ(steps, (std::vector<uint16_t>{2048, 2048, 904}));
}

struct DispatchCase {
    const char* reply;
    bool received;
    bool ok;
    std::string printed;
};

TEST_F(ReplyReaderTest, DispatchByUpperCasedNameOrNotAtAll) {
    const DispatchCase cases[] = {
        {"!DVO PONG\r", true, true, ""},
        {"!DVO pong\r", true, true, ""},
        {"!DVO PONG EXTRA\r", true, false, std::string("\r\nReply for [PING]: ") + StatusText[2]},
        {"!DVO\r", false, false, ""},
        {"!DVO PONGX\r", false, false, "."},
    };
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.reply);
        if (!capturing) {
            testing::internal::CaptureStdout();
            capturing = true;
        }
        SessionSlots::clearAll();
        ASSERT_EQ(ReplyReader::start(dataReady, SessionDispatch), 1);
        arrive(c.reply);
        waitDrained();
        EXPECT_EQ(stopAndRead(), c.printed);
        EXPECT_EQ(ping().received.load() != 0, c.received);
        EXPECT_EQ(ping().ok.load() != 0, c.ok);
    }
}

TEST_F(ReplyReaderTest, StopTwiceAndStartWithoutEvent) {
    ASSERT_EQ(ReplyReader::start(dataReady, SessionDispatch), 1);
    const uint32_t started = Os::tickCount();
    EXPECT_EQ(ReplyReader::stop(), 1);
    EXPECT_LT(Os::tickCount() - started, ReaderStopLimitMs); // hang guard
    EXPECT_EQ(ReplyReader::stop(), 0);
    EXPECT_EQ(ReplyReader::start(nullptr, SessionDispatch), 0);
    EXPECT_EQ(ReplyReader::stop(), 0);
}

// A reader held up past the stop limit is abandoned, and stop clears the record's handles; once
// free it must still see its own stop event and end, not wait on a cleared one for ever.
std::atomic<bool> passDone{false};

TEST_F(ReplyReaderTest, AbandonedReaderEndsOnItsOwnStopEvent) {
    ReplyDispatch watched = SessionDispatch;
    watched.passDone = [] { passDone.store(true, std::memory_order_release); };
    ASSERT_EQ(ReplyReader::start(dataReady, watched), 1);
    Os::enterLock(receiveBuffer.lock); // the next drain pass waits here
    arrive("!DVO PONG\r");
    Os::sleepMs(50);
    EXPECT_EQ(ReplyReader::stop(), 1); // gives up after the stop limit
    Os::leaveLock(receiveBuffer.lock);
    for (int look = 0; look < 200 && !passDone.load(std::memory_order_acquire); ++look) {
        Os::sleepMs(10);
    }
    Os::sleepMs(200);
    Os::setEvent(dataReady);
    Os::sleepMs(200);
    EXPECT_TRUE(Os::waitEvent(dataReady, 0)) << "the abandoned reader still takes data events";
    dataReady = nullptr; // left to the abandoned thread, as the tool leaves its handles
}

} // namespace
