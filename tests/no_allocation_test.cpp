// The per-record path must not touch the heap: every record of an update costs a parse, a
// dispatch, a handler and two writes, and none of them may allocate. A counting operator new
// (and, outside sanitizer builds, a counting malloc) watches a transfer of many records whose
// replies go through the real parser, dispatcher and handlers.
#include "protocol/reply_parser.h"
#include "protocol/reply_reader.h"
#include "session/firmware_image.h"
#include "session/reply_handler_table.h"
#include "session/session_state.h"
#include "session/upload_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {
std::atomic<long> allocations{0};
}

// These replacements pair with each other; GCC cannot see that across the replaced operators.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

// Sanitizers bring their own allocator; elsewhere glibc lets a program replace malloc.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && defined(__GLIBC__)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
#endif

namespace {

constexpr int RecordCount = 2000;
char parserStorage[TokenStorageSize];
char head[64];
uint32_t fakeNow = 0;

// The product's replies go through the bytes-to-handler path the reply reader uses.
void replyWith(const char* line) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(line);
    uint16_t left = static_cast<uint16_t>(std::strlen(line));
    while (left > 0) {
        uint16_t used = 0;
        if (ReplyParser::feed(bytes, left, used) == ParseResult::ReplyReady) {
            ReplyReader::dispatch(SessionDispatch);
        }
        bytes += used;
        left = static_cast<uint16_t>(left - used);
    }
}

bool writeText(const char* text) {
    if (head[0] == '\0') {
        std::strncpy(head, text, sizeof head - 1);
        return true;
    }
    if (std::strcmp(head, "!DVO PING ") == 0) {
        replyWith("!DVO PONG\r\n");
    } else if (std::strcmp(head, "!DVO FWID ") == 0) {
        replyWith("!DVO FWID KORVAAPP KORVA BSL V1\r\n");
    } else if (std::strcmp(head, "!DVO RECORD ") == 0) {
        replyWith("!DVO RECORD PASS\r\n");
    }
    head[0] = '\0';
    return true;
}

const SessionEnvironment fake{
    writeText,
    [] {},
    [](uint32_t ms) { fakeNow += ms; },
    [](uint32_t ms) { fakeNow += ms; },
    [] { return fakeNow; },
    [] { return Interruption::None; },
};

std::string writeImage() {
    std::string path = testing::TempDir() + "no_allocation_test.srec";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    for (int i = 0; i + 1 < RecordCount; ++i) {
        const unsigned address = (i * 16u) & 0xFFFFu;
        // 0x13, the address bytes and the data bytes (0x00 to 0xFF, summing to 0x7F8).
        const unsigned sum = 0x13u + (address >> 8) + (address & 0xFFu) + 0x7F8u;
        std::fprintf(file, "S113%04X00112233445566778899AABBCCDDEEFF%02X\n", address, ~sum & 0xFFu);
    }
    std::fprintf(file, "S9030000FC\n");
    std::fclose(file);
    return path;
}

TEST(NoAllocation, NoneAfterTheFirstRecord) {
    const std::string path = writeImage();
    sessionState.productId = "KORVA";
    sessionState.deviceKind = DeviceKind::ARM;
    sessionState.firmwarePath = path.c_str();
    ASSERT_TRUE(FirmwareImage::load(path.c_str()));
    sessionState.phase = UploadPhase::CheckComms;
    SessionSlots::clearAll();
    ReplyParser::reset(parserStorage, TokenStorageSize, LeadChar, AddressToken, true, true);
    UploadSession::setEnvironment(fake);

    testing::internal::CaptureStdout();
    // From the first record taken to the last one taken; the transfer's end prints the time of
    // day once, and the C library may allocate for that.
    long afterFirst = -1;
    long afterLast = -1;
    for (int steps = 0; steps < 20 * RecordCount && afterLast < 0; ++steps) {
        const bool taken = sessionState.phase == UploadPhase::ReadRecord;
        if (taken && sessionState.linesRead == 1 && afterFirst < 0) {
            afterFirst = allocations.load();
        }
        if (taken && sessionState.linesRead == RecordCount - 1) {
            afterLast = allocations.load();
        }
        UploadSession::step();
    }
    const std::string output = testing::internal::GetCapturedStdout();
    std::remove(path.c_str());

    ASSERT_GE(afterFirst, 0) << output.substr(0, 400);
    ASSERT_GE(afterLast, 0) << output.substr(output.size() > 400 ? output.size() - 400 : 0);
    EXPECT_EQ(afterLast - afterFirst, 0) << "heap allocations during the transfer";
}

// The counter itself must see an allocation, or the test above would pass for nothing.
TEST(NoAllocation, CounterSeesAllocations) {
    const long before = allocations.load();
    std::string* grown = new std::string(100, 'x');
    delete grown;
    EXPECT_GT(allocations.load(), before);
}

} // namespace
