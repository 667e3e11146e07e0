// The reply reader's path on one thread: bytes go into the receive ring in chunks, drain passes
// take them out in steps of at most 2048, the parser cuts them into replies and the dispatcher
// hands each to its real handler. The ring must give back every accepted byte once, in order,
// and the replies must not depend on how the stream was cut.
//
// Input: [flags] [p] [p put sizes, 2 bytes each] [s] [s step sizes, 2 bytes each] [stream...]
//   flags bits 0-1: product identifier, bits 2-4: puts per drain pass - 1, bit 5: puts take the
//   stream over and over (so that a short input can fill the ring) instead of once.
//   A put size is taken modulo 8192, a step size modulo 2048 plus 1; sizes are used in turn.
#include "fuzz/slot_checks.h"
#include "protocol/reply_parser.h"
#include "protocol/reply_reader.h"
#include "serial/receive_buffer.h"
#include "session/reply_handler_table.h"
#include "session/session_state.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The reader's areas, each at the end of its own array so AddressSanitizer sees any overrun.
uint8_t stagingArea[StagingAreaSize];
char tokenStorage[TokenStorageSize];

// Enough repeats of a short stream to fill the ring a few times, and no more.
constexpr size_t CyclicByteLimit = 3 * ReceiveBufferCapacity;

const char* const ProductIds[] = {"KORVA", "korva", "", "KORVA"};

struct Schedule {
    const uint8_t* putSizes = nullptr;
    size_t putCount = 0;
    const uint8_t* stepSizes = nullptr;
    size_t stepCount = 0;
    size_t putsPerPass = 1;
    bool cyclic = false;
    const uint8_t* stream = nullptr;
    size_t streamSize = 0;
};

// What the run has seen: the accepted bytes not yet taken, and every parse result in order.
struct Shadow {
    std::vector<uint8_t> accepted;
    size_t taken = 0;
    std::vector<std::string> results;
    std::vector<size_t> cuts; // where a drain step ended, as offsets into accepted
    size_t nextPut = 0;
    size_t nextStep = 0;
    size_t streamOffset = 0;
    size_t offered = 0; // bytes given to put, accepted or not
};

using FuzzChecks::check;
using FuzzChecks::Snapshot;
using FuzzChecks::takeSnapshot;

uint16_t sizeAt(const uint8_t* sizes, size_t index) {
    return static_cast<uint16_t>(sizes[2 * index] | (sizes[2 * index + 1] << 8));
}

int rowOf(const char* name) {
    for (int row = 0; ReplyHandlerTable[row].name != nullptr; ++row) {
        if (std::strcmp(ReplyHandlerTable[row].name, name) == 0) {
            return row;
        }
    }
    return -1;
}

// A reply raises the slot of its row and touches no other; only FWID may change identity.
// A reply without tokens or with an unknown name changes nothing.
void dispatchChecked() {
    const int row = replyParser.tokenCount == 0 ? -1 : rowOf(replyParser.tokens[0]);
    if (row >= 0) {
        // As the session does before each command, so the raise is seen afresh.
        SessionSlots::clear(static_cast<CommandIndex>(row));
    }
    const Snapshot before = takeSnapshot();
    ReplyReader::dispatch(SessionDispatch);
    if (row < 0) {
        check(FuzzChecks::sameSnapshot(before, takeSnapshot()));
        return;
    }
    FuzzChecks::checkHandled(row, before);
}

std::string describe(ParseResult result) {
    std::string text(1, static_cast<char>('0' + static_cast<int>(result)));
    if (result == ParseResult::ReplyReady) {
        for (uint16_t i = 0; i < replyParser.tokenCount; ++i) {
            text += '|';
            text += replyParser.tokens[i];
        }
    }
    return text;
}

// The reader's usedCount loop: the byte a result arose at is given again.
void feedParser(const uint8_t* bytes, uint16_t count, std::vector<std::string>& results,
                bool dispatch) {
    uint16_t offset = 0;
    uint16_t left = count;
    int stalls = 0;
    while (left > 0) {
        uint16_t used = 0xFFFF;
        const ParseResult result = ReplyParser::feed(bytes + offset, left, used);
        check(result == ParseResult::NeedMore ? used == left : used < left);
        // A byte given again lands in Hunting, which never ends a reply: feeding advances.
        stalls = used == 0 ? stalls + 1 : 0;
        check(stalls < 2);
        if (result != ParseResult::NeedMore) {
            results.push_back(describe(result));
        }
        if (result == ParseResult::ReplyReady && dispatch) {
            dispatchChecked();
        }
        offset = static_cast<uint16_t>(offset + used);
        left = static_cast<uint16_t>(left - used);
    }
}

void resetParser() {
    ReplyParser::reset(tokenStorage, TokenStorageSize, LeadChar, AddressToken, true, true);
}

uint16_t pending(const Shadow& shadow) {
    return static_cast<uint16_t>(shadow.accepted.size() - shadow.taken);
}

void checkLevel(const Shadow& shadow) {
    const uint16_t level = ReceiveBuffer::level();
    check(level <= ReadChunkLimit);
    check(level == pending(shadow));
}

// One pass as the reader makes it: the level read on waking, taken in steps.
void drainPass(const Schedule& plan, Shadow& shadow) {
    uint16_t remaining = ReceiveBuffer::level();
    while (remaining > 0) {
        uint16_t limit = StagingAreaSize;
        if (plan.stepCount > 0) {
            limit = static_cast<uint16_t>(
                sizeAt(plan.stepSizes, shadow.nextStep++ % plan.stepCount) % StagingAreaSize + 1);
        }
        const uint16_t step = remaining < limit ? remaining : limit;
        uint8_t* destination = stagingArea + StagingAreaSize - step;
        const uint16_t taken = ReceiveBuffer::get(destination, step);
        // Nothing else takes bytes, so the level read on waking is all there.
        check(taken == step);
        check(std::memcmp(destination, shadow.accepted.data() + shadow.taken, taken) == 0);
        shadow.taken += taken;
        shadow.cuts.push_back(shadow.taken);
        checkLevel(shadow);
        feedParser(destination, taken, shadow.results, true);
        remaining = static_cast<uint16_t>(remaining - taken);
    }
}

// The next chunk: a put size's worth of the stream, wrapping around it in cyclic mode.
void putChunk(const Schedule& plan, Shadow& shadow, std::vector<uint8_t>& chunk) {
    size_t count = sizeAt(plan.putSizes, shadow.nextPut++ % plan.putCount) % ReceiveBufferCapacity;
    chunk.clear();
    for (size_t i = 0; i < count; ++i) {
        if (shadow.streamOffset == plan.streamSize) {
            if (!plan.cyclic) {
                break;
            }
            shadow.streamOffset = 0;
        }
        chunk.push_back(plan.stream[shadow.streamOffset++]);
    }
    shadow.offered += chunk.size();
    const bool fits = pending(shadow) + chunk.size() <= ReadChunkLimit;
    static uint8_t before[ReceiveBufferCapacity];
    if (!fits) {
        std::memcpy(before, receiveBuffer.storage, ReceiveBufferCapacity);
    }
    const uint16_t readIndex = receiveBuffer.readIndex.load(std::memory_order_relaxed);
    const uint16_t writeIndex = receiveBuffer.writeIndex.load(std::memory_order_relaxed);
    const bool accepted = ReceiveBuffer::put(chunk.data(), static_cast<uint16_t>(chunk.size()));
    check(accepted == fits);
    if (accepted) {
        shadow.accepted.insert(shadow.accepted.end(), chunk.begin(), chunk.end());
    } else {
        // Refused whole: nothing stored, neither index moved.
        check(receiveBuffer.readIndex.load(std::memory_order_relaxed) == readIndex);
        check(receiveBuffer.writeIndex.load(std::memory_order_relaxed) == writeIndex);
        check(std::memcmp(before, receiveBuffer.storage, ReceiveBufferCapacity) == 0);
    }
    checkLevel(shadow);
}

bool readSchedule(const uint8_t* data, size_t size, Schedule& plan) {
    if (size < 2) {
        return false;
    }
    plan.putsPerPass = ((data[0] >> 2) & 7) + 1;
    plan.cyclic = (data[0] & 0x20) != 0;
    size_t offset = 1;
    plan.putCount = data[offset++] % 16;
    plan.putSizes = data + offset;
    offset += 2 * plan.putCount;
    if (offset >= size) {
        return false;
    }
    plan.stepCount = data[offset++] % 8;
    plan.stepSizes = data + offset;
    offset += 2 * plan.stepCount;
    if (offset > size) {
        return false;
    }
    plan.stream = data + offset;
    plan.streamSize = size - offset;
    plan.cyclic = plan.cyclic && plan.streamSize > 0;
    // Sizes that are all 0 would never use up the stream.
    for (size_t i = 0; i < plan.putCount; ++i) {
        if (sizeAt(plan.putSizes, i) % ReceiveBufferCapacity != 0) {
            return true;
        }
    }
    return false;
}

void run(const Schedule& plan, Shadow& shadow) {
    std::vector<uint8_t> chunk;
    chunk.reserve(ReceiveBufferCapacity);
    size_t puts = 0;
    while (plan.cyclic ? shadow.offered < CyclicByteLimit : shadow.streamOffset < plan.streamSize) {
        putChunk(plan, shadow, chunk);
        if (++puts % plan.putsPerPass == 0) {
            drainPass(plan, shadow);
        }
    }
    drainPass(plan, shadow);
    check(shadow.taken == shadow.accepted.size());
}

bool splitsEscape(const std::vector<uint8_t>& bytes, size_t cut) {
    return cut > 0 && cut < bytes.size() && bytes[cut - 1] == '\\' && bytes[cut] == '"';
}

// A backslash escapes a quote only when both come in the same feed (the parser's rule), so a
// cut between them may change a reply; any other cut must not.
bool cutsMatter(const Shadow& shadow) {
    for (size_t cut : shadow.cuts) {
        if (splitsEscape(shadow.accepted, cut)) {
            return true;
        }
    }
    for (size_t cut = StagingAreaSize; cut < shadow.accepted.size(); cut += StagingAreaSize) {
        if (splitsEscape(shadow.accepted, cut)) {
            return true;
        }
    }
    return false;
}

// The same accepted bytes fed in whole 2048-byte steps give the same replies.
void checkCutIndependence(const Shadow& shadow) {
    if (cutsMatter(shadow)) {
        return;
    }
    resetParser();
    std::vector<std::string> results;
    for (size_t offset = 0; offset < shadow.accepted.size(); offset += StagingAreaSize) {
        const size_t left = shadow.accepted.size() - offset;
        const size_t count = left < StagingAreaSize ? left : StagingAreaSize;
        feedParser(shadow.accepted.data() + offset, static_cast<uint16_t>(count), results, false);
    }
    check(results == shadow.results);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The handlers print their reports and unknown names a dot; the console would dominate.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Schedule plan;
    if (!readSchedule(data, size, plan)) {
        return 0;
    }
    ReceiveBuffer::reset();
    resetParser();
    SessionSlots::clearAll();
    SessionSlots::setIdentity(FirmwareIdentity::Unknown);
    sessionState.productId = ProductIds[data[0] & 3];
    Shadow shadow;
    run(plan, shadow);
    checkCutIndependence(shadow);
    return 0;
}
