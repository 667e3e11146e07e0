// A block of lines redrawn in place at the bottom of a terminal, no more often than every
// RedrawMs: the live views of a port list and of a watch. Elsewhere (not a terminal) nothing is
// drawn and the callers print plain lines instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace LiveScreen {

constexpr uint32_t RedrawMs = 100;

struct Screen {
    std::FILE* out = stdout;
    bool live = false; // out is a terminal that takes the cursor sequences
    bool dirty = true; // something changed since the last drawing
    size_t drawn = 0;  // lines of the block on the screen
    std::chrono::steady_clock::time_point lastDraw;
};

// Decides once whether the block is drawn in place on out.
void begin(Screen& screen, std::FILE* out);

// Draws lines over the block drawn before, each cleared to its end; lines of the old block
// beyond the new one are cleared. Nothing when not live.
void draw(Screen& screen, const std::vector<std::string>& lines);

// True when the block changed and was last drawn at least RedrawMs ago.
bool due(const Screen& screen);

// The columns of out when it is a terminal that says, else 0.
int columns(const Screen& screen);

} // namespace LiveScreen
