#include "os/console.h"

#include <windows.h>

#include <io.h>

namespace Os {

namespace {

// A process started without one of its standard handles has no descriptor behind the stream.
bool missing(int fd) {
    const intptr_t handle = _get_osfhandle(fd);
    return handle == -1 || handle == -2 || handle == 0;
}

} // namespace

unsigned ensureStandardStreams() {
    unsigned closed = 0;
    std::FILE* const streams[] = {stdin, stdout, stderr};
    const char* const modes[] = {"r", "w", "w"};
    for (int fd = 0; fd <= 2; ++fd) {
        if (missing(fd)) {
            closed |= 1u << fd;
            std::FILE* reopened = std::freopen("NUL", modes[fd], streams[fd]);
            static_cast<void>(reopened); // the stream stays unusable when NUL cannot be opened
        }
    }
    return closed;
}

std::FILE* takeStandardOutput() {
    std::fflush(stdout);
    const int original = _dup(1);
    if (original < 0) {
        return nullptr;
    }
    if (_dup2(2, 1) < 0) {
        _close(original);
        return nullptr;
    }
    // Binary: JSON Lines end in "\n" alone on every platform.
    return _fdopen(original, "wb");
}

} // namespace Os
