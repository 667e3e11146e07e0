#include "station/live_screen.h"

#include "os/terminal.h"

namespace LiveScreen {

void begin(Screen& screen, std::FILE* out) {
    screen.out = out;
    screen.live = Os::isTerminal(out) && Os::enableTerminalSequences(out);
}

void draw(Screen& screen, const std::vector<std::string>& lines) {
    if (!screen.live) {
        return;
    }
    std::string text;
    if (screen.drawn > 0) {
        text.append("\x1b[").append(std::to_string(screen.drawn)).append("A"); // to its first line
    }
    for (const std::string& line : lines) {
        text.append("\r").append(line).append("\x1b[K\n");
    }
    if (lines.size() < screen.drawn) {
        text.append("\x1b[J"); // the lines of ports that went away
    }
    std::fputs(text.c_str(), screen.out);
    std::fflush(screen.out);
    screen.drawn = lines.size();
    screen.lastDraw = std::chrono::steady_clock::now();
    screen.dirty = false;
}

bool due(const Screen& screen) {
    return screen.dirty && std::chrono::steady_clock::now() - screen.lastDraw >=
                               std::chrono::milliseconds(RedrawMs);
}

int columns(const Screen& screen) {
    return Os::terminalColumns(screen.out);
}

} // namespace LiveScreen
