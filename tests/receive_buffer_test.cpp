#include "serial/receive_buffer.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> pattern(size_t count, uint8_t first = 0) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i * 7);
    }
    return bytes;
}

// Moves both indices to `position` with an empty ring.
void emptyAt(uint16_t position) {
    ReceiveBuffer::reset();
    std::vector<uint8_t> scratch(position);
    ASSERT_TRUE(ReceiveBuffer::put(scratch.data(), position));
    ASSERT_EQ(ReceiveBuffer::get(scratch.data(), position), position);
}

struct PutCase {
    uint16_t level;
    uint16_t count;
    bool accepted;
};

TEST(ReceiveBuffer, PutTakesWholeChunksThatFitOnly) {
    const PutCase cases[] = {
        {0, 8191, true},   {0, 8192, false},   {8191, 1, false}, {8191, 0, true},
        {100, 8091, true}, {100, 8092, false}, {0, 0, true},     {4000, 4191, true},
    };
    for (const PutCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << c.level << " count " << c.count);
        ReceiveBuffer::reset();
        const std::vector<uint8_t> held = pattern(c.level);
        EXPECT_TRUE(ReceiveBuffer::put(held.data(), c.level));
        const std::vector<uint8_t> chunk = pattern(c.count, 99);
        EXPECT_EQ(ReceiveBuffer::put(chunk.data(), c.count), c.accepted);
        const uint16_t expectedLevel = c.accepted ? c.level + c.count : c.level;
        EXPECT_EQ(ReceiveBuffer::level(), expectedLevel);
        std::vector<uint8_t> out(8192);
        EXPECT_EQ(ReceiveBuffer::get(out.data(), 8192), expectedLevel);
        EXPECT_TRUE(std::equal(held.begin(), held.end(), out.begin()));
        if (c.accepted) {
            EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), out.begin() + c.level));
        }
    }
}

TEST(ReceiveBuffer, ChunkWrapsPastLastSlotInOrder) {
    emptyAt(8000);
    const std::vector<uint8_t> chunk = pattern(500, 3);
    ASSERT_TRUE(ReceiveBuffer::put(chunk.data(), 500));
    EXPECT_EQ(receiveBuffer.writeIndex.load(), (8000 + 500) % 8192);
    EXPECT_EQ(ReceiveBuffer::level(), 500);
    std::vector<uint8_t> out(500);
    ASSERT_EQ(ReceiveBuffer::get(out.data(), 150), 150); // stops before the wrap
    ASSERT_EQ(ReceiveBuffer::get(out.data() + 150, 500), 350);
    EXPECT_EQ(out, chunk);
    EXPECT_EQ(ReceiveBuffer::level(), 0);
}

TEST(ReceiveBuffer, GetTakesSmallerOfLevelAndLargestCount) {
    emptyAt(100);
    uint8_t out[16] = {};
    EXPECT_EQ(ReceiveBuffer::get(out, 1), 0);
    EXPECT_EQ(receiveBuffer.readIndex.load(), 100); // an empty ring leaves it be
    const std::vector<uint8_t> chunk = pattern(10);
    ASSERT_TRUE(ReceiveBuffer::put(chunk.data(), 10));
    EXPECT_EQ(ReceiveBuffer::get(out, 0), 0);
    EXPECT_EQ(ReceiveBuffer::get(out, 4), 4);
    EXPECT_EQ(ReceiveBuffer::level(), 6);
    EXPECT_EQ(ReceiveBuffer::get(out + 4, 16), 6);
    EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), out));
    EXPECT_EQ(ReceiveBuffer::level(), 0);
}

// One producer, one consumer, random chunk sizes: every byte arrives once and in order.
TEST(ReceiveBuffer, ProducerAndConsumerThreadsKeepTheStream) {
    ReceiveBuffer::reset();
    constexpr uint32_t Total = 3'000'000;
    std::thread producer([] {
        std::mt19937 random(1);
        std::vector<uint8_t> chunk(ReadChunkLimit);
        uint32_t sent = 0;
        while (sent < Total) {
            const uint32_t size = std::min<uint32_t>(1 + random() % 3000, Total - sent);
            for (uint32_t i = 0; i < size; ++i) {
                chunk[i] = static_cast<uint8_t>((sent + i) % 251);
            }
            while (!ReceiveBuffer::put(chunk.data(), static_cast<uint16_t>(size))) {
                std::this_thread::yield();
            }
            sent += size;
        }
    });
    std::mt19937 random(2);
    std::vector<uint8_t> out(2048);
    uint32_t received = 0;
    uint32_t mismatches = 0;
    while (received < Total) {
        const uint16_t taken = ReceiveBuffer::get(out.data(), 1 + random() % 2048);
        for (uint16_t i = 0; i < taken; ++i) {
            mismatches += out[i] != static_cast<uint8_t>((received + i) % 251);
        }
        received += taken;
        if (taken == 0) {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(received, Total);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(ReceiveBuffer::level(), 0);
}

} // namespace
