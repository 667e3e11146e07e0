#include "protocol/reply_reader.h"

#include "protocol/reply_handler_table.h"
#include "protocol/reply_parser.h"
#include "protocol/reply_reader_state.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>

ReplyReaderState replyReaderState;

namespace {

ReplyReaderState& reader = replyReaderState;

uint16_t lockedLevel() {
    if (!SerialPort::isOpen()) {
        return 0;
    }
    Os::enterLock(receiveBuffer.lock);
    const uint16_t level = ReceiveBuffer::level();
    Os::leaveLock(receiveBuffer.lock);
    return level;
}

void recordStep(uint16_t& steps, uint16_t taken) {
    if (steps < MaxDrainSteps) {
        reader.lastPassSteps[steps].store(taken, std::memory_order_relaxed);
        ++steps;
        reader.lastPassStepCount.store(steps, std::memory_order_relaxed);
    }
}

// Overflowed replies (StorageFull, TooManyTokens) are dropped silently; the session's reply
// time-out reports them. The byte a result arose at is given again, so feeding always advances.
void feedParser(uint16_t count) {
    uint16_t offset = 0;
    uint16_t left = count;
    while (left > 0) {
        uint16_t used = 0;
        if (ReplyParser::feed(reader.stagingArea + offset, left, used) == ParseResult::ReplyReady) {
            ReplyReader::dispatch();
        }
        offset = static_cast<uint16_t>(offset + used);
        left = static_cast<uint16_t>(left - used);
    }
}

// Takes the level read on waking and no more: later bytes have set the event again.
void drainPass() {
    uint16_t remaining = lockedLevel();
    uint16_t steps = 0;
    while (remaining > 0 && SerialPort::isOpen()) {
        const uint16_t step = remaining < StagingAreaSize ? remaining : StagingAreaSize;
        Os::enterLock(receiveBuffer.lock);
        const uint16_t taken = ReceiveBuffer::get(reader.stagingArea, step);
        Os::leaveLock(receiveBuffer.lock);
        if (taken == 0) {
            return;
        }
        recordStep(steps, taken);
        feedParser(taken);
        remaining = static_cast<uint16_t>(remaining - taken);
    }
}

} // namespace

namespace ReplyReader {

int start(Os::EventHandle dataReadyEvent) {
    SessionSlots::clearAll();
    if (dataReadyEvent == nullptr) {
        return 0;
    }
    reader.dataReadyEvent = dataReadyEvent;
    ReplyParser::reset(reader.tokenStorage, TokenStorageSize, LeadChar, AddressToken, true, true);
    reader.readerStopEvent = Os::createEvent(Os::EventReset::Manual);
    if (reader.readerStopEvent == nullptr) {
        return 0;
    }
    reader.readerEnded.store(0, std::memory_order_release);
    reader.readerThread = Os::startThread(run, nullptr);
    if (reader.readerThread == nullptr) {
        reader.readerEnded.store(1, std::memory_order_release);
        Os::closeEvent(reader.readerStopEvent);
        reader.readerStopEvent = nullptr;
        return 0;
    }
    reader.readerRunning.store(1, std::memory_order_release);
    return 1;
}

int stop() {
    if (reader.readerRunning.load(std::memory_order_acquire) == 0) {
        return 0;
    }
    reader.readerEnded.store(0, std::memory_order_release);
    Os::setEvent(reader.readerStopEvent);
    const uint32_t started = Os::tickCount();
    bool ended = true;
    while (reader.readerEnded.load(std::memory_order_acquire) == 0) {
        if (Os::tickCount() - started > ReaderStopLimitMs) {
            Os::terminateThread(reader.readerThread);
            reader.readerEnded.store(1, std::memory_order_release);
            ended = false;
            break;
        }
        Os::sleepMs(1);
    }
    Os::closeThread(reader.readerThread);
    reader.readerThread = nullptr;
    if (ended) {
        // A thread left running by force may still wait on the stop event; it keeps it.
        Os::closeEvent(reader.readerStopEvent);
    }
    reader.readerStopEvent = nullptr;
    reader.readerRunning.store(0, std::memory_order_release);
    return 1;
}

unsigned run() {
    // Its own copies, set before it started: stop clears the record's handles even when this
    // thread did not end in time, and it must never wait on a cleared one.
    const Os::EventHandle stopEvent = reader.readerStopEvent;
    const Os::EventHandle dataReadyEvent = reader.dataReadyEvent;
    for (;;) {
        const Os::WaitResult woke = Os::waitFirstOf(stopEvent, dataReadyEvent, Os::Infinite);
        if (woke == Os::WaitResult::First) {
            break;
        }
        if (woke == Os::WaitResult::Failed) {
            // The data-ready event is gone (the port was closed under us): retrying the wait
            // would spin, so only the stop event is left to wait for.
            Os::waitEvent(stopEvent, Os::Infinite);
            break;
        }
        drainPass();
    }
    reader.readerEnded.store(1, std::memory_order_release);
    return 0;
}

void dispatch() {
    const uint16_t count = replyParser.tokenCount;
    if (count == 0) {
        return;
    }
    for (const ReplyHandlerRow& row : ReplyHandlerTable) {
        if (row.name == nullptr) {
            break;
        }
        if (std::strcmp(row.name, replyParser.tokens[0]) == 0) {
            row.handler(count, replyParser.tokens);
            return;
        }
    }
    std::printf(".");
    std::fflush(stdout); // the dot has no line end to push it out
}

} // namespace ReplyReader
