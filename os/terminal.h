// The console as a screen: whether a stream is a terminal, its width, and ANSI cursor movement
// (which Windows 10 consoles take once virtual-terminal processing is switched on).
#pragma once

#include <cstdio>

namespace Os {

bool isTerminal(std::FILE* stream);
// Switches on ANSI escape sequences for the stream's console; false when it cannot take them.
bool enableTerminalSequences(std::FILE* stream);
// Columns of the terminal behind the stream; 0 when not known.
int terminalColumns(std::FILE* stream);

} // namespace Os
