#include "os/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace Os {

bool isTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

bool enableTerminalSequences(std::FILE* stream) {
    return isTerminal(stream); // terminals on POSIX take them as they are
}

int terminalColumns(std::FILE* stream) {
    winsize size{};
    return ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

} // namespace Os
