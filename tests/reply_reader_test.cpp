// The reply reader against a stand-in port: the test plays the receive thread, putting bytes into
// the ring and setting the data-ready event, and a recording table of its own plays the handlers.
#include "protocol/reply_reader.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port_internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int HangGuardMs = 5000;

// What the reader handed up, in order: "NAME tok tok|" per dispatched reply, "." per unknown one.
// Written by the reader's thread, read once it has stopped.
std::string handed;

void record(uint16_t tokenCount, char* const* tokens) {
    for (uint16_t i = 0; i < tokenCount; ++i) {
        handed.append(i == 0 ? "" : " ").append(tokens[i]);
    }
    handed.append("|");
}

const ReplyHandlerRow RecordingRows[] = {{"PONG", record}, {"FWID", record}, {nullptr, nullptr}};
const ReplyDispatch Recording{RecordingRows, [] { handed += "."; }, [] {}, nullptr};

class ReplyReaderTest : public testing::Test {
  protected:
    void SetUp() override {
        ReceiveBuffer::reset();
        serialPortState.portOpen.store(1);
        dataReady = Os::createEvent(Os::EventReset::Auto);
        ASSERT_NE(dataReady, nullptr);
        handed.clear();
    }
    void TearDown() override {
        ReplyReader::stop();
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
    // Stops the reader (its last pass runs to the end) and returns what it handed up.
    std::string stopAndRead() {
        EXPECT_EQ(ReplyReader::stop(), 1);
        return handed;
    }

    Os::EventHandle dataReady = nullptr;
};

TEST_F(ReplyReaderTest, TwoRepliesInOneChunkInArrivalOrder) {
    arrive("!DVO NOPE\r!DVO FWID AAA Q1 MAP V1\r");
    ASSERT_EQ(ReplyReader::start(dataReady, Recording), 1);
    waitDrained();
    EXPECT_EQ(stopAndRead(), ".FWID AAA Q1 MAP V1|");
}

// Every cut of a reply across two wake-ups gives exactly one dispatch.
TEST_F(ReplyReaderTest, SplitReplyIsDispatchedOnce) {
    const std::string reply = "!DVO XYZ\r";
    ASSERT_EQ(ReplyReader::start(dataReady, Recording), 1);
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
    ReplyDispatch watched = Recording;
    watched.stepTaken = [](uint16_t taken) { steps.push_back(taken); };
    ASSERT_EQ(ReplyReader::start(dataReady, watched), 1);
    waitDrained();
    EXPECT_EQ(stopAndRead(), std::string(500, '.'));
    EXPECT_EQ(steps, (std::vector<uint16_t>{2048, 2048, 904}));
}

// The name is matched upper-cased, whole; a reply without a name is no reply.
TEST_F(ReplyReaderTest, DispatchByUpperCasedNameOrNotAtAll) {
    const struct {
        const char* reply;
        std::string handed;
    } cases[] = {
        {"!DVO PONG\r", "PONG|"},
        {"!DVO pong\r", "PONG|"},
        {"!DVO PONG EXTRA\r", "PONG EXTRA|"},
        {"!DVO\r", ""},
        {"!DVO PONGX\r", "."},
        {"!DVO fwid \"Quoted Word\" x\r", "FWID Quoted Word X|"},
    };
    for (const auto& c : cases) {
        handed.clear();
        EXPECT_EQ(ReplyReader::start(dataReady, Recording), 1);
        arrive(c.reply);
        waitDrained();
        EXPECT_EQ(stopAndRead(), c.handed) << c.reply;
    }
}

TEST_F(ReplyReaderTest, StopTwiceAndStartWithoutEvent) {
    ASSERT_EQ(ReplyReader::start(dataReady, Recording), 1);
    const uint32_t started = Os::tickCount();
    EXPECT_EQ(ReplyReader::stop(), 1);
    EXPECT_LT(Os::tickCount() - started, ReaderStopLimitMs); // hang guard
    EXPECT_EQ(ReplyReader::stop(), 0);
    EXPECT_EQ(ReplyReader::start(nullptr, Recording), 0);
    EXPECT_EQ(ReplyReader::stop(), 0);
}

// A reader held up past the stop limit is abandoned, and stop clears the record's handles; once
// free it must still see its own stop event and end, not wait on a cleared one for ever.
std::atomic<bool> passDone{false};

TEST_F(ReplyReaderTest, AbandonedReaderEndsOnItsOwnStopEvent) {
    ReplyDispatch watched = Recording;
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
