#include "serial/receive_buffer.h"

namespace {

// The ring's bytes: a fixed area of the serial module, never allocated or freed.
uint8_t ringStorage[ReceiveBufferCapacity];

uint16_t levelOf(uint16_t readIndex, uint16_t writeIndex) {
    if (writeIndex >= readIndex) {
        return static_cast<uint16_t>(writeIndex - readIndex);
    }
    return static_cast<uint16_t>(receiveBuffer.capacity - readIndex + writeIndex);
}

uint16_t following(uint16_t index) {
    return static_cast<uint16_t>(index + 1 == receiveBuffer.capacity ? 0 : index + 1);
}

} // namespace

ReceiveBufferState receiveBuffer;

namespace ReceiveBuffer {

// The lock lives as long as the process: a reader that was abandoned after the stop limit may
// still reach for it after the port has closed.
void reset() {
    if (!receiveBuffer.lockMade) {
        Os::initLock(receiveBuffer.lock);
        receiveBuffer.lockMade = true;
    }
    receiveBuffer.storage = ringStorage;
    receiveBuffer.capacity = ReceiveBufferCapacity;
    receiveBuffer.readIndex.store(0, std::memory_order_relaxed);
    receiveBuffer.writeIndex.store(0, std::memory_order_relaxed);
}

uint16_t level() {
    Os::enterLock(receiveBuffer.lock);
    // Acquire on writeIndex: the bytes it covers are visible before they are taken.
    const uint16_t writeIndex = receiveBuffer.writeIndex.load(std::memory_order_acquire);
    const uint16_t readIndex = receiveBuffer.readIndex.load(std::memory_order_acquire);
    Os::leaveLock(receiveBuffer.lock);
    return levelOf(readIndex, writeIndex);
}

bool put(const uint8_t* source, uint16_t count) {
    uint16_t writeIndex = receiveBuffer.writeIndex.load(std::memory_order_relaxed);
    // Acquire on readIndex: a slot is reused only after the consumer has taken its byte.
    const uint16_t readIndex = receiveBuffer.readIndex.load(std::memory_order_acquire);
    if (static_cast<uint32_t>(levelOf(readIndex, writeIndex)) + count >= receiveBuffer.capacity) {
        return false; // never in part
    }
    for (uint16_t i = 0; i < count; ++i) {
        receiveBuffer.storage[writeIndex] = source[i];
        writeIndex = following(writeIndex);
    }
    receiveBuffer.writeIndex.store(writeIndex, std::memory_order_release);
    return true;
}

uint16_t get(uint8_t* destination, uint16_t maxCount) {
    Os::enterLock(receiveBuffer.lock);
    const uint16_t writeIndex = receiveBuffer.writeIndex.load(std::memory_order_acquire);
    uint16_t readIndex = receiveBuffer.readIndex.load(std::memory_order_relaxed);
    const uint16_t available = levelOf(readIndex, writeIndex);
    const uint16_t taken = maxCount < available ? maxCount : available;
    for (uint16_t i = 0; i < taken; ++i) {
        destination[i] = receiveBuffer.storage[readIndex];
        readIndex = following(readIndex);
        receiveBuffer.readIndex.store(readIndex, std::memory_order_release);
    }
    Os::leaveLock(receiveBuffer.lock);
    return taken;
}

} // namespace ReceiveBuffer
