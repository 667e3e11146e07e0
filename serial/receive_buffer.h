// The ring between the receive thread (the one producer) and the reply reader (the one consumer).
// It never allocates and takes a chunk whole or not at all.
#pragma once

#include "os/os.h"

#include <atomic>
#include <cstdint>

inline constexpr uint16_t ReceiveBufferCapacity = 8192; // holds at most 8191 bytes
inline constexpr uint16_t ReadChunkLimit = ReceiveBufferCapacity - 1;

struct ReceiveBufferState {
    Os::Lock lock; // taken only by the consumer, around level and get
    uint16_t capacity = 0;
    uint8_t* storage = nullptr;
    std::atomic<uint16_t> readIndex{0};
    std::atomic<uint16_t> writeIndex{0};
};

extern ReceiveBufferState receiveBuffer;

namespace ReceiveBuffer {

void reset(); // only while neither thread runs
uint16_t level();
bool put(const uint8_t* source, uint16_t count);        // producer
uint16_t get(uint8_t* destination, uint16_t maxCount); // consumer

} // namespace ReceiveBuffer
