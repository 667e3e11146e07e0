// Checks the fuzz targets share: what a handler may change in the session record.
#pragma once

#include "protocol/wire_format.h"
#include "session/session_state.h"

#include <cstdint>
#include <cstring>

namespace FuzzChecks {

inline void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

struct Snapshot {
    uint32_t words[CommandCount][3];
    uint32_t identity;
};

inline Snapshot takeSnapshot() {
    Snapshot s{};
    for (int k = 0; k < CommandCount; ++k) {
        const ReplySlot& slot = sessionState.replies[k];
        s.words[k][0] = slot.received.load(std::memory_order_relaxed);
        s.words[k][1] = slot.ok.load(std::memory_order_relaxed);
        s.words[k][2] = slot.retry.load(std::memory_order_relaxed);
    }
    s.identity = sessionState.identity.load(std::memory_order_relaxed);
    return s;
}

inline bool sameSnapshot(const Snapshot& a, const Snapshot& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A handler answers in its own slot only, raises it, and only FWID may change identity.
inline void checkHandled(int row, const Snapshot& before) {
    const Snapshot after = takeSnapshot();
    for (int k = 0; k < CommandCount; ++k) {
        for (int w = 0; w < 3; ++w) {
            check(k == row ? after.words[k][w] <= 1 : after.words[k][w] == before.words[k][w]);
        }
    }
    check(after.words[row][0] == 1);
    check(row == static_cast<int>(CommandIndex::Fwid) || after.identity == before.identity);
}

} // namespace FuzzChecks
