#include "os/terminal.h"

#include <io.h>
#include <windows.h>

namespace Os {

namespace {

HANDLE consoleOf(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

} // namespace

bool isTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return _isatty(_fileno(stream)) != 0 && GetConsoleMode(consoleOf(stream), &mode) != 0;
}

bool enableTerminalSequences(std::FILE* stream) {
    DWORD mode = 0;
    const HANDLE console = consoleOf(stream);
    return GetConsoleMode(console, &mode) != 0 &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int terminalColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(consoleOf(stream), &info) == 0) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

} // namespace Os
