// The ring between the receive thread (the one producer) and the reply reader (the one consumer).
// It never allocates and takes a chunk whole or not at all.
#pragma once

#include "os/os.h"

#include <atomic>
#include <cstdint>

inline constexpr uint16_t ReceiveBufferCapacity = 8192; // holds at most 8191 bytes
inline constexpr uint16_t ReadChunkLimit = ReceiveBufferCapacity - 1;

struct ReceiveBufferState {
    Os::Lock lock; // taken by level and get (the consumer's side); made once, never deleted
    bool lockMade = false;
    uint16_t capacity = 0;
    uint8_t* storage = nullptr;
    std::atomic<uint16_t> readIndex{0};
    std::atomic<uint16_t> writeIndex{0};
};

extern ReceiveBufferState receiveBuffer;

namespace ReceiveBuffer {

void reset();     // only while neither thread runs; makes the lock the first time
uint16_t level(); // consumer; under the lock
bool put(const uint8_t* source, uint16_t count);       // producer; takes no lock
uint16_t get(uint8_t* destination, uint16_t maxCount); // consumer; under the lock

} // namespace ReceiveBuffer
