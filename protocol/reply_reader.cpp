#include "protocol/reply_reader.h"

#include "protocol/reply_parser.h"
#include "protocol/wire_format.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port.h"

#include <atomic>
#include <cstring>

namespace {

struct ReaderState {
    std::atomic<uint32_t> running{0};
    std::atomic<uint32_t> ended{1};
    const ReplyDispatch* dispatch = nullptr;  // set before the thread starts
    Os::EventHandle dataReadyEvent = nullptr; // owned by the serial module
    Os::EventHandle stopEvent = nullptr;
    Os::ThreadHandle thread = nullptr;
    uint8_t stagingArea[StagingAreaSize] = {};
    char tokenStorage[TokenStorageSize] = {};
};

ReaderState reader;

// What the next reader thread works with, written before it starts and never cleared: stop
// clears the record's handles even when a thread did not end in time, and such a thread must
// never see a cleared one.
struct Handed {
    const ReplyDispatch* dispatch = nullptr;
    Os::EventHandle dataReadyEvent = nullptr;
    Os::EventHandle stopEvent = nullptr;
};
Handed handed;

// Overflowed replies (StorageFull, TooManyTokens) are dropped silently; the session's reply
// time-out reports them. The byte a result arose at is given again, so feeding always advances.
void feedParser(const ReplyDispatch& table, uint16_t count) {
    uint16_t offset = 0;
    uint16_t left = count;
    while (left > 0) {
        uint16_t used = 0;
        if (ReplyParser::feed(reader.stagingArea + offset, left, used) == ParseResult::ReplyReady) {
            ReplyReader::dispatch(table);
        }
        offset = static_cast<uint16_t>(offset + used);
        left = static_cast<uint16_t>(left - used);
    }
}

// Takes the level read on waking and no more: later bytes have set the event again. The ring
// and its lock exist only while the port is open.
void drainPass(const ReplyDispatch& table) {
    uint16_t remaining = SerialPort::isOpen() ? ReceiveBuffer::level() : 0;
    while (remaining > 0 && SerialPort::isOpen()) {
        const uint16_t step = remaining < StagingAreaSize ? remaining : StagingAreaSize;
        const uint16_t taken = ReceiveBuffer::get(reader.stagingArea, step);
        if (taken == 0) {
            return;
        }
        if (table.stepTaken != nullptr) {
            table.stepTaken(taken);
        }
        feedParser(table, taken);
        remaining = static_cast<uint16_t>(remaining - taken);
    }
}

unsigned run() {
    const Handed own = handed;
    const Os::EventHandle stopEvent = own.stopEvent;
    const Os::EventHandle dataReadyEvent = own.dataReadyEvent;
    const ReplyDispatch& table = *own.dispatch;
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
        drainPass(table);
        table.passDone();
    }
    reader.ended.store(1, std::memory_order_release);
    return 0;
}

} // namespace

namespace ReplyReader {

bool start(Os::EventHandle dataReadyEvent, const ReplyDispatch& dispatch) {
    if (dataReadyEvent == nullptr) {
        return false;
    }
    reader.dispatch = &dispatch;
    reader.dataReadyEvent = dataReadyEvent;
    ReplyParser::reset(reader.tokenStorage, TokenStorageSize, LeadChar, AddressToken, true, true);
    reader.stopEvent = Os::createEvent(Os::EventReset::Manual);
    if (reader.stopEvent == nullptr) {
        return false;
    }
    reader.ended.store(0, std::memory_order_release);
    handed = Handed{reader.dispatch, reader.dataReadyEvent, reader.stopEvent};
    reader.thread = Os::startThread(run, nullptr);
    if (reader.thread == nullptr) {
        reader.ended.store(1, std::memory_order_release);
        Os::closeEvent(reader.stopEvent);
        reader.stopEvent = nullptr;
        return false;
    }
    reader.running.store(1, std::memory_order_release);
    return true;
}

bool stop() {
    if (reader.running.load(std::memory_order_acquire) == 0) {
        return false;
    }
    const bool ended =
        Os::stopThread(reader.thread, reader.stopEvent, reader.ended, ReaderStopLimitMs);
    Os::closeThread(reader.thread);
    reader.thread = nullptr;
    if (ended) {
        // A thread left running by force may still wait on the stop event; it keeps it.
        Os::closeEvent(reader.stopEvent);
    }
    reader.stopEvent = nullptr;
    reader.running.store(0, std::memory_order_release);
    return true;
}

void dispatch(const ReplyDispatch& table) {
    const uint16_t count = replyParser.tokenCount;
    if (count == 0) {
        return;
    }
    for (const ReplyHandlerRow* row = table.rows; row->name != nullptr; ++row) {
        if (std::strcmp(row->name, replyParser.tokens[0]) == 0) {
            row->handler(count, replyParser.tokens);
            return;
        }
    }
    table.unknownReply();
}

} // namespace ReplyReader
