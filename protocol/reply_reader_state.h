// The reply reader's single record, visible to the tests and benchmarks that watch its drain
// passes. Only reply_reader.cpp changes it.
#pragma once

#include "os/os.h"
#include "protocol/reply_reader.h"
#include "protocol/wire_format.h"

#include <atomic>
#include <cstdint>

inline constexpr uint32_t ReaderStopLimitMs = 5000;
// A pass drains at most one full ring (8191 bytes), which takes four steps of 2048 or fewer.
inline constexpr int MaxDrainSteps = 4;

struct ReplyReaderState {
    std::atomic<uint32_t> readerRunning{0};
    Os::EventHandle dataReadyEvent = nullptr; // owned by the serial module
    Os::EventHandle readerStopEvent = nullptr;
    Os::ThreadHandle readerThread = nullptr;
    std::atomic<uint32_t> readerEnded{1};
    uint8_t stagingArea[StagingAreaSize] = {};
    char tokenStorage[TokenStorageSize] = {};
    // The byte counts of the steps of the last drain pass that took any bytes.
    std::atomic<uint16_t> lastPassSteps[MaxDrainSteps] = {};
    std::atomic<uint16_t> lastPassStepCount{0};
};

extern ReplyReaderState replyReaderState;
